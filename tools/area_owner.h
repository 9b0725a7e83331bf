/*
 * area_owner.h - making and removing the power service's shared objects.
 *
 * This is the part of the power service that the library relies on: the
 * three shared-memory objects exist, are large enough and start in a state
 * the library can work with. powsvc and the tests use it.
 */
#ifndef LIBPOW_AREA_OWNER_H
#define LIBPOW_AREA_OWNER_H

#include <string>
#include <sys/types.h>

struct PwrSharedArea;

/* The names of the device's objects. Tests point them at private copies. */
struct AreaNames {
    std::string pwr = "/shm_PWR_SharedArea";
    std::string nvd = "/shm_NVD_SharedArea";
    std::string semLog = "/shm_LIB_POW_SemLogArea";
    std::string semPow = "sem_POW_Shm_SemName";
    std::string semNvd = "sem_NVD_Shm_SemName";
    std::string semRdy = "sem_POW_Shm_SemNameHddReady";
};

struct AreaOptions {
    bool reset = false;   /* rewrite objects that already exist */
    pid_t index0Pid = 0;  /* process kept at delay index 0; 0 = nobody */
};

/* Fills a power area as the library expects to find it: nothing reserved,
 * indices 1..255 on the free stack with 1 on top, index 0 kept for
 * index0Pid and never on the stack. */
void initPwrArea(PwrSharedArea* area, pid_t index0Pid);

/* Makes each object that is missing (or rewrites each one, with reset).
 * A new object is written whole under a temporary name and then linked
 * into place, so no process ever opens a half-made one. Returns true, or
 * false with a one-line reason in `error`. */
bool createAreas(const AreaNames& names, const AreaOptions& options, std::string& error);

/* Unlinks the three objects and the three semaphores. Missing ones are not
 * an error. Returns true, or false with the reason in `error`. */
bool removeAreas(const AreaNames& names, std::string& error);

/* Maps an existing object read-write; nullptr with `error` set on failure. */
void* mapArea(const std::string& name, size_t size, std::string& error);

/* One semaphore trace record as a writer hands it over; the writer's own
 * process id, thread id and tick count are filled in by appendSemLogRecord. */
struct SemLogInput {
    std::string semName;  /* at most 51 characters */
    std::string status;   /* at most 7 characters */
    int value = 0;
    unsigned int semId = 0;
};

/* Writes one record into the trace area `name` at the position that Count
 * selects as the next one (Count itself, i.e. just after the marked record)
 * and advances Count to mark it. After position 99 the next write goes to
 * position 0 again (a ring: the oldest record is overwritten, the listing
 * still shows all 100 and marks the newest). A Count outside 0..99 also
 * restarts at 0. Meant for one writer at a time. Returns true and the
 * position written, or false with the reason in `error`. */
bool appendSemLogRecord(const std::string& name, const SemLogInput& input, int& position,
                        std::string& error);

/* Records `pid` at delay index 0, under the POW semaphore as every change
 * of the reservation table must be. */
bool claimIndex0(const AreaNames& names, pid_t pid, std::string& error);

/* Zeroes the whole trace area: no records, Count 0. */
bool clearSemLog(const std::string& name, std::string& error);

#endif
