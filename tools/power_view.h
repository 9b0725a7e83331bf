/*
 * power_view.h - what powctl and powsvc show of the power area: a copy of
 * the reservation table with the owner kit's audit of it, who each holder
 * is, and the differences between two looks (for watch and the service's
 * history).
 */
#ifndef LIBPOW_POWER_VIEW_H
#define LIBPOW_POWER_VIEW_H

#include "LIB_POW_owner.h"
#include "area_owner.h"

#include <ctime>
#include <string>
#include <sys/types.h>
#include <vector>

/* Who a holder is, from /proc: empty texts and 0 when unknown (ended, or
 * not ours to read). */
struct ProcessInfo {
    std::string name;    /* /proc/PID/comm */
    std::string cmdline; /* /proc/PID/cmdline, arguments joined by blanks */
    std::string user;    /* owner of /proc/PID */
    time_t started = 0;  /* the process's start, wall clock */
};
ProcessInfo lookUpProcess(pid_t pid);

/* A user's name, or its number when it has none. */
std::string userName(uid_t uid);

/* When the process started, in clock ticks after boot (/proc/PID/stat):
 * with its pid, it names one process for the life of the system. 0 when
 * unknown. */
unsigned long long processStartTicks(pid_t pid);

/* kill(pid, 0) as the library's sweep sees it, and as a person would:
 * EPERM means the process runs but this one may not signal it. */
bool processRuns(pid_t pid);

/* One delay index that has a holder or a count. */
struct IndexRow {
    int index;
    pid_t pid;  /* 0: nobody holds it */
    int count;
    bool running;
};

struct PowerSnapshot {
    PwrSharedArea image;     /* the copy everything below is read from */
    bool underPow = false;   /* copied while this process held POW */
    pid_t powHolder = 0;     /* who held POW when it could not be had */
    std::vector<IndexRow> rows;
    LIB_POW_AuditSummary audit = {};
    std::vector<LIB_POW_Finding> findings;
};

/* A copy of the power area through the kit, audited. With `tryPow`, the
 * copy is taken under POW when POW is free at that moment; a look never
 * waits. False with the kit's error. */
bool readPower(const AreaNames& names, bool tryPow, PowerSnapshot& snapshot, LIB_POW_OwnerError& error);

/* The lost indices the audit found, e.g. "7 9", or "none". */
std::string lostIndices(const PowerSnapshot& snapshot);

/* The differences between two looks, one line each, in the order: index
 * changes by index, the total, the flags. Holders that are new are named
 * with who they are. */
std::vector<std::string> changes(const PowerSnapshot& was, const PowerSnapshot& now);

/* "pid 123 (powctl, user root, since 05:01:46): powctl delay reserve" */
std::string describeHolder(pid_t pid);
/* The short form for one-line messages: "pid 123 (powctl)", "pid 123 (ended)". */
std::string holderName(pid_t pid);

/* Times: "05:01:46.337" now; a start time as ps shows it ("05:01:46"
 * today, "2026-04-30" before); ISO 8601 local time for JSON. */
std::string clockNow();
std::string shortTime(time_t when);
std::string isoTime(time_t when);

/* Text from outside (a process's name or command line, a trace record's
 * field) fit for one line of text: control characters and bytes that are
 * not UTF-8 become \n, \r, \t or \xHH. */
std::string printable(const std::string& text);

/* Prints a header line and the rows under it, each column as wide as its
 * widest cell (at least `width`), cells one blank apart, every line
 * starting with `indent`. Every row has a cell for each column, printed as
 * given: make them printable. */
struct Column {
    const char* title;
    size_t width;
    bool right; /* numbers: aligned to the right */
};
void printTable(const std::vector<Column>& columns, const std::vector<std::vector<std::string>>& rows,
                const std::string& indent);

#endif
