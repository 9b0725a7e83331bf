/*
 * The jam log's path lookup on arbitrary bytes, taken as a NUL-terminated
 * string in a heap buffer of exactly its size (so AddressSanitizer catches
 * a read past the terminator), against a plain rule written out here.
 */
#include "LIB_PowerService_internal.h"

#include <cstring>
#include <memory>

namespace {

const char* const kCodes[26] = {"adrm", "appm", "autm", "chrm", "devm", "ntfm", "prfm", "resm", "srvm",
                                "usrm", "winm", "adps", "auts", "bass", "chrs", "dcms", "devs", "exts",
                                "faxs", "icvs", "jobs", "mnts", "pwrs", "ssts", "strs", "wsds"};

/* First row whose channel, first and last letter (and, where another
 * service shares those two, second letter) agree. */
int referenceRow(const char* path) {
    if (strlen(path) != 25)
        return -1;
    for (int row = 0; row < 104; ++row) {
        const char* code = kCodes[row / 4];
        bool shared = false;
        for (const char* other : kCodes)
            shared |= other != code && other[0] == code[0] && other[3] == code[3];
        if (path[19] == "afns"[row % 4] && path[21] == code[0] && path[24] == code[3] && (!shared || path[22] == code[1]))
            return row;
    }
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64)
        return 0; /* longer inputs only exercise the length test */
    std::unique_ptr<char[]> path(new char[size + 1]);
    memcpy(path.get(), data, size);
    path[size] = '\0';
    if (SockSendIndexSearch(path.get()) != referenceRow(path.get()))
        __builtin_trap();
    return 0;
}
