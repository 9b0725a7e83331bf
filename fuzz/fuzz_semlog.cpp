/* The trace viewer over arbitrary area contents: the input fills an exactly-sized heap copy of the area (the
 * rest zero), installed as the attached area, so AddressSanitizer catches any read outside the 8004 bytes.
 * The listing goes to /dev/null. */
#include "LIB_PowerService_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    auto* area = static_cast<SemLogArea*>(calloc(1, kSemLogAreaSize));
    if (area == nullptr)
        return 0;
    memcpy(area, data, size < size_t(kSemLogAreaSize) ? size : kSemLogAreaSize);
    storeWord(g_libPowState.pst_SemLogArea, area);
    LIB_POW_showSemLog();
    fflush(stdout);
    storeWord(g_libPowState.pst_SemLogArea, static_cast<SemLogArea*>(nullptr));
    free(area);
    return 0;
}
