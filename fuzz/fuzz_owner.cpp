/* The owner's audit and repair over any power area image: nothing outside the 2060 bytes is touched (an
 * exact-size heap block, for ASan), every finding names an index or position that exists, one repair leaves
 * no damage and a second one nothing to do, and holders and counts are never changed. The first input byte
 * picks the policy. The rest is a list of 16-bit stores into a fresh area (word number, value: four bytes
 * each), so that short inputs reach every field; an input longer than the area lies over it whole instead. */
#include "LIB_POW_owner.h"

#include <cstdlib>
#include <cstring>

namespace {

void checkFinding(const LIB_POW_Finding* f, void*)
{
    if (f->index < -1 || f->index >= LIB_POW_DELAY_INDEX_COUNT || f->position < -1 ||
        f->position >= LIB_POW_DELAY_INDEX_COUNT || memchr(f->text, '\0', sizeof f->text) == nullptr)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    LIB_POW_Policy policy = {};
    for (int i = 0; i < LIB_POW_DELAY_INDEX_COUNT; ++i)
        policy.keptOff[i] = (data[0] >> (i % 8)) & 1;
    const LIB_POW_Policy* chosen = data[0] == 0 ? nullptr : &policy;
    auto* area = static_cast<PwrSharedArea*>(malloc(sizeof(PwrSharedArea)));
    if (area == nullptr)
        return 0;
    LIB_POW_ownerInitPower(area, 0, chosen);
    if (size - 1 >= sizeof *area) {
        memcpy(area, data + 1, sizeof *area);
    } else {
        auto* words = reinterpret_cast<uint16_t*>(area);
        for (size_t k = 1; k + 4 <= size; k += 4)
            words[((data[k] << 8) | data[k + 1]) % (sizeof *area / 2)] = static_cast<uint16_t>((data[k + 2] << 8) | data[k + 3]);
    }
    PwrSharedArea before;
    memcpy(&before, area, sizeof before);

    LIB_POW_ownerAuditImage(area, chosen, checkFinding, nullptr, nullptr);
    LIB_POW_RepairReport report;
    LIB_POW_ownerRepairArea(area, chosen, &report);
    char text[64];
    LIB_POW_ownerDescribeRepair(&report, text, sizeof text);
    if (LIB_POW_ownerAuditImage(area, chosen, checkFinding, nullptr, nullptr) != 0 ||
        LIB_POW_ownerRepairArea(area, chosen, &report) != 0 ||
        memcmp(before.sl_DelayPid, area->sl_DelayPid, sizeof before.sl_DelayPid) != 0 ||
        memcmp(before.ss_DelayCount, area->ss_DelayCount, sizeof before.ss_DelayCount) != 0)
        abort();
    free(area);
    return 0;
}
