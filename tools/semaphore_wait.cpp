#include "semaphore_wait.h"

#include "PLAT_semLib.h"
#include "area_owner.h"
#include "power_view.h"
#include "program.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

double monotonicSeconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

int WaitLimit::leftMs() const
{
    if (seconds < 0)
        return -1;
    double left = seconds - (monotonicSeconds() - started);
    return left > 0 ? static_cast<int>(left * 1000) : 0;
}

namespace {

/* True, with `error` saying so and what mends it, when semaphore `name` is
 * damaged (PLAT_semCheck finds why). */
bool damaged(const std::string& name, std::string& error)
{
    char why[200] = "";
    if (PLAT_semCheck(name.c_str(), why, sizeof why) != 1)
        return false;
    error = "semaphore " + name + " " + why + ": every take of it fails or waits (powctl repair, or the running "
            "service, re-makes it in place)";
    return true;
}

} // namespace

std::string secondsText(double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%g", seconds);
    return text;
}

std::string semaphoreOpenError(const std::string& name, int err)
{
    struct stat st;
    std::string error;
    char access[200];
    if ((err == EACCES || err == EPERM) && PLAT_semStat(name.c_str(), &st) == 0)
        return "semaphore " + name + ": permission denied (" +
               LIB_POW_ownerAccessText(st.st_uid, st.st_gid, st.st_mode, access, sizeof access) +
               "): run this as the objects' owner or a member of their group";
    if (damaged(name, error))
        return error;
    return "semaphore " + name + " cannot be opened: " + strerror(err);
}

bool waitForSemaphore(const std::string& label, const std::string& name, const WaitLimit& limit, std::string& error)
{
    SemId sem = PLAT_semOpen(name.c_str());
    if (sem == 0 && PLAT_errnoGet() == ENOENT)
        return true;
    if (sem == 0) {
        error = semaphoreOpenError(name, PLAT_errnoGet());
        return false;
    }
    pid_t told = 0;
    for (;;) {
        int left = limit.leftMs();
        int slice = left < 0 || left > 100 ? 100 : left;
        int taken = -1, err = 0;
        pid_t holder = 0;
        /* The record may be cut short under us: a fault ends the wait. */
        bool whole = guardedCall([&] {
            taken = PLAT_semTake(sem, slice > 0 ? slice : PLAT_NO_WAIT);
            err = PLAT_errnoGet();
            if (taken == 0)
                PLAT_semGive(sem);
            else
                holder = PLAT_semHolder(sem);
        });
        if (whole && taken == 0)
            return true;
        if (!whole || (err != ETIMEDOUT && err != EAGAIN)) {
            if (!damaged(name, error))
                error = "semaphore " + name + " cannot be taken: " + strerror(whole ? err : EFAULT);
            return false;
        }
        /* A holder that is gone and was never recovered holds it for ever. */
        if (holder > 0 && !processRuns(holder) && damaged(name, error))
            return false;
        if (limit.leftMs() == 0) {
            error = "gave up after " + secondsText(limit.seconds) + " s: " + label + " is still held by " +
                    holderName(holder);
            return false;
        }
        if (monotonicSeconds() - limit.started >= 0.5 && holder != told) {
            fprintf(stderr, "%s: waiting for %s, held by %s\n", g_program.c_str(), label.c_str(),
                    holderName(holder).c_str());
            told = holder;
        }
    }
}

bool semaphoreFree(const std::string& label, const std::string& name, const WaitLimit& limit)
{
    std::string error;
    if (waitForSemaphore(label, name, limit, error))
        return true;
    fail(error);
    return false;
}
