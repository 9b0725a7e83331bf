/*
 * library_call.h - a call into the client library that an object cut short
 * under it cannot turn into the caller's death. The library maps the areas
 * and semaphores without looking at their length, as its contract has it;
 * the tools and the service call it through here.
 */
#ifndef LIBPOW_LIBRARY_CALL_H
#define LIBPOW_LIBRARY_CALL_H

#include "area_owner.h"
#include "LIB_PowerService.h"
#include "PLAT_semLib.h"

/* call() under the owner kit's SIGBUS guard: true when it ran to its end.
 * After a fault the call is abandoned where it was, possibly holding one
 * of the library's semaphores: each is given back (a give by a thread that
 * does not hold it changes nothing), so the next call does not wait for
 * this thread for ever. */
inline bool libraryCall(const std::function<void()>& call)
{
    if (guardedCall(call))
        return true;
    for (SemId held : {g_semPowID, g_semNvdID, g_semRdyID})
        if (held != nullptr)
            guardedCall([held] { PLAT_semGive(held); });
    return false;
}

#endif
