/* The jam log's path lookup on arbitrary bytes, taken as a NUL-terminated string in a heap buffer of exactly
 * its size (so AddressSanitizer catches a read past the terminator), against the rule written out for the
 * tests. */
#include "LIB_PowerService_internal.h"
#include "sock_reference.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64)
        return 0; /* longer inputs only exercise the length test */
    std::unique_ptr<char[]> path(new char[size + 1]);
    memcpy(path.get(), data, size);
    path[size] = '\0';
    if (SockSendIndexSearch(path.get()) != sock_reference::row(path.get()))
        __builtin_trap();
    return 0;
}
