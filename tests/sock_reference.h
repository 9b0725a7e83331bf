/* sock_reference.h - the socket path table and its lookup rule written out independently of the library, for
 * the lookup's tests and its fuzzer. */
#pragma once

#include <cstring>
#include <string>

namespace sock_reference {

/* Service codes in row order; the channel letters a, f, n, s make the rows. */
inline const char* const kCodes[26] = {"adrm", "appm", "autm", "chrm", "devm", "ntfm", "prfm", "resm", "srvm",
                                       "usrm", "winm", "adps", "auts", "bass", "chrs", "dcms", "devs", "exts",
                                       "faxs", "icvs", "jobs", "mnts", "pwrs", "ssts", "strs", "wsds"};

inline std::string path(int row) { return std::string("/var/spool/sockets/") + "afns"[row % 4] + "_" + kCodes[row / 4]; }

/* The second letter matters only where another service shares the first and last. */
inline bool secondLetterDecides(int service) {
    for (const char* other : kCodes)
        if (other != kCodes[service] && other[0] == kCodes[service][0] && other[3] == kCodes[service][3])
            return true;
    return false;
}

/* A C string of length 25, then the first row that agrees at every examined position. */
inline int row(const char* text) {
    if (strlen(text) != 25)
        return -1;
    for (int row = 0; row < 104; ++row) {
        const char* code = kCodes[row / 4];
        if (text[19] == "afns"[row % 4] && text[21] == code[0] && text[24] == code[3] &&
            (!secondLetterDecides(row / 4) || text[22] == code[1]))
            return row;
    }
    return -1;
}

} // namespace sock_reference
