/* A device program in plain C, built against an installed LIB_POW. */
#include <LIB_PowerService.h>
#include <stdio.h>

int main(void)
{
    unsigned char days = 0, weekday = 9;
    LIB_POW_setLogLevel(0);
    if (LIB_POW_getWeeklyTimerLastDate(2024, 2, &days) != 0 || days != 29)
        return 1;
    if (LIB_POW_getWeeklyTimerFirstWeek(2026, 12, &weekday) != 0 || weekday != 2)
        return 1;
    SemId none = g_semPowID; /* the exported globals link too */
    printf("consumer ok: February 2024 has %d days, %s\n", days, none == 0 ? "no POW handle yet" : "?");
    return none == 0 ? 0 : 1;
}
