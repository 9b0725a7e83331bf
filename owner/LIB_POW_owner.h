/*
 * LIB_POW_owner.h - the owner kit: what the power service links to make,
 * check and mend the shared objects that every LIB_POW client attaches
 * (libLIB_POW_owner.so.1).
 *
 * Read this first
 * ---------------
 * - The layouts, names and lock rules are in LIB_POW_areas.h. The client
 *   library only attaches the objects; making them, their first content and
 *   their repair after a crash are the owner's job, done with these calls.
 * - Start-up: LIB_POW_ownerCreate (or LIB_POW_ownerSetUp, which says what
 *   it did with each object) makes the three areas and the POW, NVD and
 *   HddReady semaphores when they are missing. Each new object is written
 *   whole under a private name and then linked into place, so no client
 *   ever maps a half-made one.
 * - One object per name for the device's life: clients may start before
 *   the service and make the semaphores themselves (mode 0666). An existing
 *   object that is whole is adopted: it gets the asked owner, group and
 *   mode in place (fchown, fchmod), never a new object, so every process
 *   that has it keeps meeting the one object. What is re-made in place, and
 *   what is replaced (only with `reset`, only while no process has it, or
 *   with `force`), is told at LIB_POW_ownerSetUp.
 * - Names in /dev/shm: every one is opened without following a symbolic
 *   link and without waiting (a FIFO never blocks an open), and judged by
 *   what the descriptor is (a regular file, its owner, its length) before
 *   anything is read or mapped.
 * - Objects cut short: a client maps an area without looking at its length
 *   and dies of SIGBUS past its end. Every call here that reads or writes a
 *   mapping or a semaphore does it under LIB_POW_ownerGuard, so an object
 *   cut short at that moment makes the call fail (EFAULT), not the
 *   service die; the service can guard its own calls the same way.
 * - Every tick (once a second is plenty): LIB_POW_ownerRepair. It takes POW
 *   for a few microseconds, reads the reservation table and mends what a
 *   process killed in the middle of a change can leave behind: a total above
 *   the sum of the counts (the device would never save power again), indices
 *   neither held nor free, stack entries that are not free indices. A clean
 *   table is not written at all. What it changed comes back in a report.
 * - LIB_POW_ownerAudit reads the table the same way and reports every
 *   finding with its evidence, damage and notes, without changing anything:
 *   for an operator's "what is wrong" and for logs.
 * - The audit and the repair never release an index whose holder has ended
 *   (the clients' sweep does that, LIB_POW_IsHddSleepDelay), never change a
 *   holder or a count, and never put back index 0 or an index the owner
 *   keeps off the stack. Only LIB_POW_ownerRelease, an operator's override,
 *   clears holders and counts (lowering the total by as much).
 * - Semaphores: calls that take one say so, and take it with the caller's
 *   time limit (milliseconds; -1 waits for ever). None holds two at once.
 *   Do not call them while your thread holds the same semaphore.
 * - Results: 0 done, -1 failed with the reason in `error` (when not null):
 *   errno in `code` (ETIMEDOUT when a semaphore was not had in time) and one
 *   line of text naming the object.
 * - Threads: every call may be made from any thread; nothing is cached.
 */
#ifndef LIB_POW_OWNER_H
#define LIB_POW_OWNER_H

#include "LIB_POW_areas.h"

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define LIB_POW_OWNER_API __attribute__((visibility("default")))
#else
#define LIB_POW_OWNER_API
#endif

/* The six object names. Every call takes a pointer to them; a null pointer
 * means the device's own names (LIB_POW_areas.h). Tests and tools point
 * them at private copies. */
typedef struct LIB_POW_Names {
    const char* pwrArea;
    const char* nvdArea;
    const char* semLogArea;
    const char* semPow;
    const char* semNvd;
    const char* semRdy;
} LIB_POW_Names;

/* Why a call failed: errno (0 when no system call failed) and one line. */
typedef struct LIB_POW_OwnerError {
    int code;
    char text[256];
} LIB_POW_OwnerError;

/* Which indices the owner never puts on the free stack. A null policy
 * means index 0 only. Pass the same policy to the first content
 * (LIB_POW_CreateOptions, LIB_POW_ownerInitPower), the audit and the repair:
 * under another one the table looks damaged. */
typedef struct LIB_POW_Policy {
    unsigned char keptOff[LIB_POW_DELAY_INDEX_COUNT]; /* 1: kept off the stack */
} LIB_POW_Policy;

/* ---- Making the objects ------------------------------------------------- */

/* How long powsvc's reset, given no limit, waits for another user's
 * semaphore (a squatter may hold it for ever) before leaving it alone. */
#define LIB_POW_FOREIGN_WAIT_MS 2000

typedef struct LIB_POW_CreateOptions {
    int reset;         /* 1: re-make the objects that are wrong (short, damaged,
                          not adoptable); whole ones are kept */
    pid_t index0Pid;   /* process kept at delay index 0 (0: nobody) */
    int timeoutMs;     /* limit for each semaphore a reset takes; -1: none
                          (powsvc passes LIB_POW_FOREIGN_WAIT_MS when one
                          belongs to another user) */
    const char* group; /* access group (name or number) of every object; null: none */
    unsigned int mode; /* permission bits, read and write only, owner and group
                          both rw (clients open every object read-write), and
                          with a group none for others; 0: 0660 with a
                          group, 0666 without */
    const LIB_POW_Policy* policy; /* indices kept off the first stack; null: index 0 */
} LIB_POW_CreateOptions;

/* Writes a power area's first content into `area`: nothing reserved, the
 * total 0, index0Pid at index 0, the flags 0, and on the free stack every
 * index the policy does not keep off, the lowest on top: under a null
 * policy 1 to 255 with 1 on top. Index 0 goes on the stack only when the
 * policy lets it and index0Pid is 0. Takes: none (the caller holds POW if
 * clients may see `area`). */
LIB_POW_OWNER_API void LIB_POW_ownerInitPower(PwrSharedArea* area, pid_t index0Pid, const LIB_POW_Policy* policy);

/* LIB_POW_ownerSetUp with `options` alone: nothing re-made unless wrong,
 * nothing in use replaced, no report. Null options: no reset, nobody at
 * index 0, no limit. Takes: as LIB_POW_ownerSetUp. */
LIB_POW_OWNER_API int LIB_POW_ownerCreate(const LIB_POW_Names* names, const LIB_POW_CreateOptions* options,
                                          LIB_POW_OwnerError* error);

/* The six objects, as bits for choosing some of them. */
#define LIB_POW_OBJ_PWR 0x01u
#define LIB_POW_OBJ_NVD 0x02u
#define LIB_POW_OBJ_SEMLOG 0x04u
#define LIB_POW_OBJ_SEM_POW 0x08u
#define LIB_POW_OBJ_SEM_NVD 0x10u
#define LIB_POW_OBJ_SEM_RDY 0x20u
#define LIB_POW_OBJ_ALL 0x3fu

/* What a set-up did with one object. */
typedef enum LIB_POW_ObjectAction {
    LIB_POW_OBJECT_MADE = 1, /* missing: made */
    LIB_POW_OBJECT_KEPT,     /* whole and as asked: left as it was */
    LIB_POW_OBJECT_ADOPTED,  /* whole: given the asked owner, group or mode in place */
    LIB_POW_OBJECT_REMADE,   /* re-made in place, the same object: a damaged semaphore,
                                a short area lengthened, an area rewritten as asked */
    LIB_POW_OBJECT_REPLACED  /* could not be adopted: removed and made anew */
} LIB_POW_ObjectAction;

typedef struct LIB_POW_ObjectReport {
    unsigned object;             /* one LIB_POW_OBJ_ bit */
    const char* name;            /* its name, as in LIB_POW_Names */
    LIB_POW_ObjectAction action;
    char text[320];              /* one line: the object, what was found and done */
} LIB_POW_ObjectReport;

typedef struct LIB_POW_SetUpOptions {
    LIB_POW_CreateOptions create; /* group, mode, index 0, limit; `reset`: re-make the
                                     objects that are wrong, keep the whole ones */
    unsigned remake; /* LIB_POW_OBJ_ bits, 0 for none: only these objects are set up, each
                        area rewritten to its first content even when whole, each semaphore
                        re-made when damaged (a whole one never: it may be held); the other
                        objects are left as they are, not even looked at */
    int force;       /* replace an object that cannot be adopted even while processes
                        have it open or mapped; the report names them: they must restart */
    /* Each object's outcome, once, in the order of LIB_POW_OBJ_; may be null. */
    void (*report)(const LIB_POW_ObjectReport* report, void* context);
    /* Called just before the calendar's days are lost (its words rewritten,
     * NVD held, or the object replaced) with a descriptor of the object as
     * it stands, for keeping them; a non-zero result leaves the calendar as
     * it was and the set-up fails (ECANCELED). May be null. */
    int (*beforeCalendarLost)(int fd, void* context);
    void* context;
} LIB_POW_SetUpOptions;

/* Makes, adopts, re-makes or replaces each of the six objects, semaphores
 * first (a rewrite of an area holds the one that guards it), and reports
 * each (options->report). For each name:
 * - missing: made whole under a private name and linked into place;
 * - a regular file of this process's user (of any user when it runs as
 *   root and every process that has it could use it under the new access)
 *   and whole: adopted, its owner, group and mode set in place when they
 *   differ from what is asked; kept otherwise;
 * - a semaphore of that kind that is damaged (PLAT_semCheck): re-made in
 *   its own file, free (PLAT_semRemake);
 * - an area of that kind shorter than its layout: refused (EINVAL, its
 *   length and the one needed in the text) unless `reset`, which lengthens
 *   it and rewrites it to its first content in place;
 * - anything else (another user's object this service may not take over,
 *   a link, a FIFO, a directory, a file it may not open): refused (EEXIST,
 *   naming it, its owner and mode) unless `reset`; then replaced, while no
 *   process has it open or mapped (EBUSY names those that do, unless
 *   `force`).
 * Areas are rewritten under their guard (POW for the power area, NVD for
 * the calendar), so no client is halfway through a change then. Stops at
 * the first object it cannot set up, with `error` set; the objects before
 * it are done. Takes: POW and NVD in turn, for rewrites. */
LIB_POW_OWNER_API int LIB_POW_ownerSetUp(const LIB_POW_Names* names, const LIB_POW_SetUpOptions* options,
                                         LIB_POW_OwnerError* error);

/* The checks of LIB_POW_ownerCreate on options->group and options->mode
 * alone: 0, or -1 with the reason (EINVAL) and a mode that works. Touches
 * nothing. Takes: none. */
LIB_POW_OWNER_API int LIB_POW_ownerCheckAccess(const LIB_POW_CreateOptions* options, LIB_POW_OwnerError* error);

/* Removes whatever stands at the three areas' and the three semaphores'
 * names (never a link's target; an empty directory too); missing ones are
 * not an error. Processes that have them mapped keep the old objects.
 * Takes: none. */
LIB_POW_OWNER_API int LIB_POW_ownerRemove(const LIB_POW_Names* names, LIB_POW_OwnerError* error);

/* Opens the existing object `name` read-write or read only, never
 * following a link and never waiting, and checks the descriptor: a regular
 * file at least `size` long. The descriptor (close it), or -1 with `error`
 * set: ENOENT missing, EACCES no permission (its owner and mode in the
 * text), EEXIST something else stands there (a link, a FIFO, a directory:
 * named with its owner), EINVAL shorter than `size` (its length in the
 * text). Takes: none. */
LIB_POW_OWNER_API int LIB_POW_ownerOpen(const char* name, size_t size, int writable, LIB_POW_OwnerError* error);

/* LIB_POW_ownerOpen, then maps `size` bytes shared. The address, or null
 * with `error` set as there. Unmap with munmap(address, size). Takes:
 * none. */
LIB_POW_OWNER_API void* LIB_POW_ownerMap(const char* name, size_t size, int writable, LIB_POW_OwnerError* error);

/* A copy of the power area, each field read whole as its writers store it.
 * With `tryPow`, the copy is made under POW when POW is free at that moment
 * (a look never waits): `underPow` (may be null) says whether it was, and
 * `powHolder` (may be null) gets who held POW when it was not. 0, or -1
 * with `error` set as LIB_POW_ownerOpen sets it, or EFAULT when the area
 * was cut short while being read. Takes: POW, only when free. */
LIB_POW_OWNER_API int LIB_POW_ownerCopyPower(const LIB_POW_Names* names, int tryPow, PwrSharedArea* copy,
                                             int* underPow, pid_t* powHolder, LIB_POW_OwnerError* error);

/* The trace area, which has no semaphore: its owner is its one writer.
 * A copy of it; one record appended after the marked one and marked (after
 * the last position, back to the first), its PID and TID stored last so
 * that a reader never meets half a record; every record and the mark
 * cleared. 0, or -1 with `error` set as LIB_POW_ownerCopyPower. Takes:
 * none. */
LIB_POW_OWNER_API int LIB_POW_ownerCopySemLog(const LIB_POW_Names* names, SemLogArea* copy,
                                              LIB_POW_OwnerError* error);
LIB_POW_OWNER_API int LIB_POW_ownerAppendSemLog(const LIB_POW_Names* names, const SemLogRecord* record,
                                                LIB_POW_OwnerError* error);
LIB_POW_OWNER_API int LIB_POW_ownerClearSemLog(const LIB_POW_Names* names, LIB_POW_OwnerError* error);

/* The start of a service: LIB_POW_ownerKeepIndex0 with a count of 0 (a
 * service that has just started has made no request), under a null
 * policy. Takes: POW. */
LIB_POW_OWNER_API int LIB_POW_ownerClaimIndex0(const LIB_POW_Names* names, pid_t pid, int timeoutMs,
                                               LIB_POW_OwnerError* error);

/* An operator's override: releases delay index `index` (or, with index -1,
 * every index that `pid` holds) with everything it counts, as the clients'
 * sweep releases the index of an ended holder: the total and the count are
 * lowered by the count, the none-reserved note is raised when the total
 * reaches 0, the holder is cleared and the index pushed back on the stack
 * (unless the owner keeps it off: index 0 under a null policy). An index
 * nobody holds is left alone, except one given by number that still
 * counts requests: its count is cleared and the total lowered by as much,
 * and it stays where it is (on the stack or not). Returns the number of
 * indices released or cleared, or -1 with `error` set. Takes: POW. */
LIB_POW_OWNER_API int LIB_POW_ownerRelease(const LIB_POW_Names* names, const LIB_POW_Policy* policy, int index,
                                           pid_t pid, int timeoutMs, LIB_POW_OwnerError* error);

/* The calendar's day words, copied under NVD through a descriptor (pread),
 * so an object cut short cannot fault: what it still holds, the rest 0.
 * `bytes` (may be null) gets the object's length. Takes: NVD. */
LIB_POW_OWNER_API int LIB_POW_ownerReadCalendar(const LIB_POW_Names* names, NvdSharedArea* copy, size_t* bytes,
                                                int timeoutMs, LIB_POW_OwnerError* error);

/* Writes the day words of `image` into the calendar in one holding of NVD
 * (its head and tail are left alone), so clients see all of it or none.
 * Takes: NVD. */
LIB_POW_OWNER_API int LIB_POW_ownerWriteCalendar(const LIB_POW_Names* names, const NvdSharedArea* image,
                                                 int timeoutMs, LIB_POW_OwnerError* error);

/* Runs fn(context) on the calling thread so that a SIGBUS raised inside
 * it, by a read or write of a mapped object past the end another process
 * has just cut it to, ends fn instead of the process. Returns fn's result,
 * or `faulted` when a fault ended it; whatever fn held then (a semaphore,
 * memory) is the caller's to give back. Guards nest. The first call
 * installs a SIGBUS handler for the process; a fault outside every guard
 * goes on to the handler before it (by default the process ends, as
 * without the guard). Takes: none. */
typedef int (*LIB_POW_GuardedFn)(void* context);
LIB_POW_OWNER_API int LIB_POW_ownerGuard(LIB_POW_GuardedFn fn, void* context, int faulted);

/* The process holding semaphore `semName` now (a look without the lock, for
 * messages): its pid, 0 when free, -1 when the semaphore does not exist or
 * cannot be opened. Takes: none. */
LIB_POW_OWNER_API pid_t LIB_POW_ownerSemHolder(const char* semName);

/* ---- Audit ----------------------------------------------------------------- */

typedef enum LIB_POW_FindingKind {
    /* Damage: what a process killed in the middle of a change (or a stray
     * writer) leaves, and no sequence of library calls does, with one
     * exception: a client that counts on an index it does not hold can
     * leave a total above the counts (the pop that hands that index out
     * drops its counts; its own later resets would lower the total again).
     * LIB_POW_ownerRepair mends damage, that case included. */
    LIB_POW_TOTAL_ABOVE_COUNTS = 1, /* the total can never come back to 0 */
    LIB_POW_LOST_INDEX,             /* neither held, nor free, nor kept off */
    LIB_POW_FREE_COUNT_TOO_BIG,     /* us_FreeIndexNum above 256 */
    LIB_POW_STACK_ENTRY_INVALID,    /* above 255, or an index kept off the stack */
    LIB_POW_STACK_ENTRY_TWICE,      /* an index on the stack a second time */
    LIB_POW_STACK_ENTRY_HELD,       /* a held index offered to the next request */
    LIB_POW_SEMAPHORE_DAMAGED,      /* a semaphore's record cut, overwritten or wedged:
                                       every take of it fails or waits for ever */
    LIB_POW_INDEX0_NOT_OWNERS,      /* index 0 holds another pid or count than the
                                       service's own (LIB_POW_ownerKeepIndex0) */
    LIB_POW_AREA_UNUSABLE,          /* an area missing, not a regular file or short:
                                       clients cannot attach it, or die of SIGBUS on it */
    /* Notes: states the library's own calls can leave; nothing to mend. */
    LIB_POW_TOTAL_BELOW_COUNTS = 100, /* a reset on an index that counted 0 */
    LIB_POW_COUNTS_WRAPPED,           /* a count past 32767: total and counts not comparable */
    LIB_POW_COUNT_NOT_HELD,           /* a request counted on an index nobody holds */
    LIB_POW_HOLDER_ENDED,             /* the next sweep releases it (never index 0) */
    LIB_POW_HOLDER_NOT_SIGNALLABLE    /* runs, but this process may not signal it */
} LIB_POW_FindingKind;

typedef struct LIB_POW_Finding {
    LIB_POW_FindingKind kind;
    int damage;     /* 1: damage, 0: a note */
    int index;      /* the delay index concerned, or -1 */
    int position;   /* the stack position concerned, or -1 */
    long value;     /* the total, an entry, a pid or a count, by kind */
    char text[160]; /* one line with the evidence */
} LIB_POW_Finding;

typedef void (*LIB_POW_FindingFn)(const LIB_POW_Finding* finding, void* context);

/* A kind's short name for logs and JSON, e.g. "lost-index"; "unknown" for
 * a value that is not a kind. */
LIB_POW_OWNER_API const char* LIB_POW_ownerFindingName(LIB_POW_FindingKind kind);

/* "owner NAME, group NAME, mode 0NNN", as the kit's messages name a file's
 * access (a number where the name is unknown), in `text` (cut to fit
 * `size`), which it returns. Takes: none. */
LIB_POW_OWNER_API const char* LIB_POW_ownerAccessText(uid_t owner, gid_t group, unsigned mode, char* text,
                                                      size_t size);

typedef struct LIB_POW_AuditSummary {
    int damage;     /* findings that are damage */
    int notes;      /* findings that are notes */
    int total;      /* DelayTaskNum as read */
    long countSum;  /* the sum of the 256 counts */
    int freeCount;  /* us_FreeIndexNum as read */
    int held;       /* indices with a holder */
} LIB_POW_AuditSummary;

/* Audits a copy of a power area: calls `fn` once per finding, damage first
 * (fn may be null), and fills `summary` (may be null). Looks at the bytes
 * only: whatever they hold, nothing outside `image` is read. Holders are
 * not checked (see LIB_POW_ownerAudit). Returns the number of damage
 * findings. Takes: none. */
LIB_POW_OWNER_API int LIB_POW_ownerAuditImage(const PwrSharedArea* image, const LIB_POW_Policy* policy,
                                              LIB_POW_FindingFn fn, void* context,
                                              LIB_POW_AuditSummary* summary);

/* Copies the reservation table under POW (held for the copy only), audits
 * the copy and then asks the system whether each holder still runs
 * (kill(pid, 0)), adding the notes for ended holders and for those this
 * process may not signal. Returns the number of damage findings, or -1 with
 * `error` set. Takes: POW. */
LIB_POW_OWNER_API int LIB_POW_ownerAudit(const LIB_POW_Names* names, const LIB_POW_Policy* policy, int timeoutMs,
                                         LIB_POW_FindingFn fn, void* context, LIB_POW_AuditSummary* summary,
                                         LIB_POW_OwnerError* error);

/* Checks the records of the POW, NVD and HddReady semaphores without
 * taking or mapping them (PLAT_semCheck): one LIB_POW_SEMAPHORE_DAMAGED
 * finding (damage; `value` 0, 1 or 2 for POW, NVD, HddReady) for each one
 * that is damaged. A semaphore nobody has made yet is not damage. Returns
 * the number damaged, or -1 with `error` set. Takes: none. */
LIB_POW_OWNER_API int LIB_POW_ownerAuditSemaphores(const LIB_POW_Names* names, LIB_POW_FindingFn fn, void* context,
                                                   LIB_POW_OwnerError* error);

/* Checks the three areas by name, without mapping them: one
 * LIB_POW_AREA_UNUSABLE finding (damage; `value` 0, 1 or 2 for the power,
 * calendar and trace area) for each that is missing, not a regular file or
 * shorter than its layout. One this process may not open is not judged.
 * Returns the number unusable. Takes: none. */
LIB_POW_OWNER_API int LIB_POW_ownerAuditAreas(const LIB_POW_Names* names, LIB_POW_FindingFn fn, void* context);

/* ---- Repair ---------------------------------------------------------------- */

/* Writes a fresh, free record over each damaged semaphore in its own file
 * (PLAT_semRemake: the same object, so clients that have it keep meeting
 * it); whole ones are never touched. Returns the number re-made, or -1 with
 * `error` set. Takes: none. */
LIB_POW_OWNER_API int LIB_POW_ownerRepairSemaphores(const LIB_POW_Names* names, LIB_POW_OwnerError* error);

/* What one repair changed. A repair changes the table only where the audit
 * finds damage; `changes` 0 means nothing was written. */
typedef struct LIB_POW_RepairReport {
    int changes;           /* stores made to the table */
    int totalBefore;       /* DelayTaskNum before and after: lowered to */
    int totalAfter;        /* the sum of the counts when it was above it */
    int noteRaised;        /* the none-reserved note was raised (total now 0) */
    int freeCountBefore;   /* us_FreeIndexNum before and after */
    int freeCountAfter;
    int droppedCount;      /* stack entries taken off, with their values */
    uint16_t dropped[LIB_POW_DELAY_INDEX_COUNT];
    int pushedCount;       /* lost indices put back on the stack */
    uint16_t pushed[LIB_POW_DELAY_INDEX_COUNT];
} LIB_POW_RepairReport;

/* Mends the damage of a power area that the caller holds POW for, in place,
 * in this order: a free count above 256 is cut to 256; invalid, repeated
 * and held stack entries are taken off (the top entry moves into the hole,
 * then the count drops); a total above the sum of the counts is lowered to
 * the sum (raising the none-reserved note when that is 0); lost indices are
 * pushed back, lowest first. Each step is one or two stores in an order
 * that a kill between any two leaves no more damage than before, and the
 * next repair finishes the job. Nothing outside `area` is read or written,
 * whatever it holds. Returns report->changes. Takes: none itself. */
LIB_POW_OWNER_API int LIB_POW_ownerRepairArea(PwrSharedArea* area, const LIB_POW_Policy* policy,
                                              LIB_POW_RepairReport* report);

/* Maps the power area, takes POW, runs LIB_POW_ownerRepairArea and gives
 * POW back. Returns the number of changes, or -1 with `error` set. Takes:
 * POW (a few microseconds on a full table). */
LIB_POW_OWNER_API int LIB_POW_ownerRepair(const LIB_POW_Names* names, const LIB_POW_Policy* policy, int timeoutMs,
                                          LIB_POW_RepairReport* report, LIB_POW_OwnerError* error);

/* Index 0 as the service holds it: `pid`, counting `count` requests of its
 * own. Under POW, another holder or count there (a garbage pid, a count an
 * earlier run or a stray writer left) is damage: one
 * LIB_POW_INDEX0_NOT_OWNERS finding through fn (may be null), and it is set
 * right, the count first (a count raised has the total raised before it,
 * as a request does), then the holder. Then the rest of the table is
 * mended as by LIB_POW_ownerRepairArea, which lowers a total left above the
 * counts (`report`, may be null). Returns the number of stores made (0:
 * index 0 was the service's and the table whole), or -1 with `error` set.
 * Takes: POW. */
LIB_POW_OWNER_API int LIB_POW_ownerKeepIndex0(const LIB_POW_Names* names, const LIB_POW_Policy* policy, pid_t pid,
                                              int count, int timeoutMs, LIB_POW_FindingFn fn, void* context,
                                              LIB_POW_RepairReport* report, LIB_POW_OwnerError* error);

/* The report as one line for a log, e.g. "total 5 -> 3 (the sum of the
 * counts); 2 lost indices pushed back: 7 9". Returns `text`. */
LIB_POW_OWNER_API const char* LIB_POW_ownerDescribeRepair(const LIB_POW_RepairReport* report, char* text,
                                                          size_t size);

#ifdef __cplusplus
}
#endif

#endif
