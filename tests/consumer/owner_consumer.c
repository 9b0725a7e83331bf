/* A power service in plain C, built against an installed owner kit: the
 * first content of a power area audits clean, a lost index is found and
 * mended. */
#include <LIB_POW_owner.h>
#include <stdio.h>

int main(void)
{
    static PwrSharedArea area;
    LIB_POW_ownerInitPower(&area, 0, NULL);
    if (LIB_POW_ownerAuditImage(&area, NULL, NULL, NULL, NULL) != 0)
        return 1;
    area.us_FreeIndexNum -= 1; /* index 1, the top, is lost */
    LIB_POW_RepairReport report;
    char text[128];
    if (LIB_POW_ownerAuditImage(&area, NULL, NULL, NULL, NULL) != 1 || LIB_POW_ownerRepairArea(&area, NULL, &report) != 2)
        return 1;
    printf("owner consumer ok: %s\n", LIB_POW_ownerDescribeRepair(&report, text, sizeof text));
    return 0;
}
