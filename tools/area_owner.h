/*
 * area_owner.h - the power service stand-in's side of the shared objects:
 * the owner kit's calls with C++ strings, and the writer of the semaphore
 * trace area. powsvc, powctl and the tests use it.
 */
#ifndef LIBPOW_AREA_OWNER_H
#define LIBPOW_AREA_OWNER_H

#include "LIB_POW_owner.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

/* The names of the device's objects. Tests point them at private copies. */
struct AreaNames {
    std::string pwr = LIB_POW_PWR_AREA_NAME;
    std::string nvd = LIB_POW_NVD_AREA_NAME;
    std::string semLog = LIB_POW_SEMLOG_AREA_NAME;
    std::string semPow = LIB_POW_SEM_POW_NAME;
    std::string semNvd = LIB_POW_SEM_NVD_NAME;
    std::string semRdy = LIB_POW_SEM_RDY_NAME;

    /* The owner kit's view of the same names; valid while this lives. */
    LIB_POW_Names kit() const
    {
        return {pwr.c_str(), nvd.c_str(), semLog.c_str(), semPow.c_str(), semNvd.c_str(), semRdy.c_str()};
    }
};

struct AreaOptions {
    bool reset = false;   /* rewrite objects that already exist */
    pid_t index0Pid = 0;  /* process kept at delay index 0; 0 = nobody */
    std::string group;    /* access group of every object; empty: none */
    unsigned mode = 0;    /* permission bits; 0: the kit's default */
    int timeoutMs = -1;   /* limit for each semaphore a reset takes */
};

/* The kit's create options (strings valid while `options` lives). */
LIB_POW_CreateOptions createOptions(const AreaOptions& options);
/* The owner kit's calls with C++ strings: each returns true, or false with
 * the kit's one-line reason in `error`. */
bool createAreas(const AreaNames& names, const AreaOptions& options, std::string& error);
bool removeAreas(const AreaNames& names, std::string& error);
/* The kit's one line about an object it could not map or make, with what
 * the operator can do about it. */
std::string explainObjectError(const LIB_POW_OwnerError& error);

/* call() under the owner kit's SIGBUS guard: true when it ran to its end,
 * false when an object it read or wrote was cut short under it (the call
 * is abandoned where the fault hit). */
bool guardedCall(const std::function<void()>& call);

/* For the kit's audits: appends each finding to the
 * std::vector<LIB_POW_Finding> that `context` points to. */
void collectFinding(const LIB_POW_Finding* finding, void* context);

/* What is wrong with the six objects now, as the kit's audits find it: the
 * areas missing, no regular file or short, and the damaged semaphores. */
std::vector<LIB_POW_Finding> objectFindings(const AreaNames& names);

/* After a fault, one line on what was cut short, and what to do. */
std::string faultText(const AreaNames& names);

/* One semaphore trace record as a writer hands it over; the writer's own
 * process id, thread id and tick count are filled in by appendSemLogRecord.
 * The writer keeps the texts within their fields (powsvc refuses longer
 * ones while it parses); a longer one would be cut without its end mark. */
struct SemLogInput {
    std::string semName;  /* at most 51 characters */
    std::string status;   /* at most 7 characters */
    int value = 0;
    unsigned int semId = 0;
};

/* Writes one record into the trace area through the kit, at the position
 * that Count selects as the next one (Count itself, i.e. just after the
 * marked record), and advances Count to mark it. After position 99 the next
 * write goes to position 0 again (a ring: the oldest record is overwritten,
 * the listing still shows all 100 and marks the newest). A Count outside
 * 0..99 also restarts at 0. Meant for one writer at a time. False with the
 * reason in `error`. */
bool appendSemLogRecord(const AreaNames& names, const SemLogInput& input, std::string& error);

/* Zeroes the whole trace area: no records, Count 0. */
bool clearSemLog(const AreaNames& names, std::string& error);

#endif
