/*
 * powsvc - stands in for the device's power service: makes, resets and
 * removes the shared objects that every LIB_POW user attaches, runs as the
 * one service of the device (keeping a history of what it sees), and
 * writes records into the semaphore trace area so that its viewer has
 * something to show.
 */
#include "area_owner.h"
#include "calendar_file.h"
#include "cli_usage.h"
#include "library_call.h"
#include "power_view.h"
#include "program.h"
#include "semaphore_wait.h"
#include "service_files.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <optional>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const AreaNames kNames;

/* Waits, visibly and within --timeout, for POW and NVD, which a reset takes
 * to rewrite the areas they guard, when they are this user's own. Another
 * user's is not waited for here (a squatter may hold its own for ever): the
 * kit adopts it only when every process that has it may keep it, and then
 * takes it within LIB_POW_FOREIGN_WAIT_MS when no --timeout is given. False
 * after saying why not; `foreign` tells whether one was another user's. */
bool semaphoresFree(const AreaNames& names, const WaitLimit& limit, bool& foreign)
{
    foreign = false;
    const std::pair<const char*, const std::string*> guards[] = {{"POW", &names.semPow}, {"NVD", &names.semNvd}};
    for (const auto& [label, name] : guards) {
        struct stat st;
        if (PLAT_semStat(name->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue; /* nothing there, or no semaphore: nobody can be inside it */
        if (st.st_uid != geteuid()) {
            foreign = true;
            continue;
        }
        if (!semaphoreFree(label, *name, limit))
            return false;
    }
    return true;
}

/* One line of the service's log, stamped to the millisecond so that it can
 * be lined up with `powctl watch`, and kept in the history. */
void say(const std::string& event, const std::string& message)
{
    printf("%s %s\n", clockNow().c_str(), message.c_str());
    fflush(stdout);
    appendHistory(event, message);
}

/* A problem is said once, when it appears or changes, not on every tick. */
void sayOnce(std::string& last, const std::string& event, const std::string& text)
{
    if (!text.empty() && text != last)
        say(event, text);
    last = text;
}

struct RunOptions {
    std::string directory; /* the runtime directory: pid file and history */
    double graceSeconds = 5;
    int tickMs = 200;
    unsigned long long traceMask = 0;
    bool traced = false;
};

/* The command line's values, as CLI11 fills them while it parses. */
struct Args {
    AreaOptions options;              /* create's */
    CLI::Option* index0Pid = nullptr; /* create --index0-pid: given or not */
    std::vector<std::string> objects; /* create --only, reset's NAMEs */
    bool force = false;
    WaitLimit limit; /* --timeout */
    std::string runDir;
    RunOptions run;
    CLI::Option* trace = nullptr; /* run --trace: given or not */
    SemLogInput record;
};

void addTimeoutOption(CLI::App* command, Args& a)
{
    command
        ->add_option("--timeout", a.limit.seconds,
                     "give up (exit 2) when a semaphore it needs is still held after this many seconds; "
                     "default: wait, saying who holds it")
        ->check(secondsNumber(3600, true));
}

void addRunDirOption(CLI::App* command, Args& a)
{
    command->add_option("--run-dir", a.runDir,
                        "the service's runtime directory (pid file, history); default $" POWSVC_RUN_DIR_VARIABLE
                        ", else " POWSVC_RUN_DIR);
}

/* What one audit of the table found: the damage, the holders this
 * process may not signal, and the ended holders (index and pid). */
struct Seen {
    std::vector<LIB_POW_Finding> damage; /* the first finding of each kind of damage */
    std::map<int, int> count;             /* and how many there were of that kind */
    std::string unseen;
    std::vector<std::pair<int, pid_t>> ended;

    /* Adds "kind (evidence), kind (evidence) and 254 more like it" to a
     * list of such. */
    void addDamageTo(std::string& text) const
    {
        for (const LIB_POW_Finding& f : damage) {
            text += (text.empty() ? "" : ", ") + std::string(LIB_POW_ownerFindingName(f.kind)) + " (" + f.text + ")";
            if (count.at(f.kind) > 1)
                text += " and " + std::to_string(count.at(f.kind) - 1) + " more like it";
        }
    }
};

void collectSeen(const LIB_POW_Finding* finding, void* context)
{
    Seen& seen = *static_cast<Seen*>(context);
    if (finding->damage && ++seen.count[finding->kind] == 1)
        seen.damage.push_back(*finding);
    if (finding->kind == LIB_POW_HOLDER_NOT_SIGNALLABLE)
        seen.unseen += std::string(seen.unseen.empty() ? "" : "; ") + finding->text;
    if (finding->kind == LIB_POW_HOLDER_ENDED && finding->index > 0)
        seen.ended.emplace_back(finding->index, static_cast<pid_t>(finding->value));
}

/* What the running service keeps from one tick to the next: what it said
 * last about each problem and each object (empty: nothing wrong), so that
 * a problem is said once, when it appears or changes, and once more when
 * it is gone; when it last swept; whether it saves power and since when no
 * delay was seen; and the power area as the last tick saw it. */
struct Watch {
    std::string lastError, lastUnseen, lastFault;
    std::map<std::string, std::string> said;
    double lastSweep = 0;
    bool saving = false;
    double lastActive = monotonicSeconds();
    std::optional<PowerSnapshot> was;
};

/* The object a finding of the kit's object audits is about. */
const std::string& findingObject(const AreaNames& names, const LIB_POW_Finding& f)
{
    const std::string* areas[] = {&names.pwr, &names.nvd, &names.semLog};
    const std::string* semaphores[] = {&names.semPow, &names.semNvd, &names.semRdy};
    return *(f.kind == LIB_POW_SEMAPHORE_DAMAGED ? semaphores : areas)[f.value >= 0 && f.value < 3 ? f.value : 0];
}

/* Each object on its own: a damaged semaphore of this service's user (of
 * any, as root) is re-made in its own file at once; any other trouble is
 * said once, and the service goes on with the objects that are whole.
 * True when the power area and POW are fit for this tick's work. */
bool lookAtObjects(const AreaNames& names, Watch& w)
{
    std::map<std::string, std::string> trouble;
    for (const LIB_POW_Finding& f : objectFindings(names)) {
        const std::string& name = findingObject(names, f);
        struct stat st;
        bool ours = PLAT_semStat(name.c_str(), &st) == 0 && (st.st_uid == geteuid() || geteuid() == 0);
        if (f.kind == LIB_POW_SEMAPHORE_DAMAGED && ours && PLAT_semRemake(name.c_str()) == 0) {
            say("repair", std::string(f.text) + "; re-made in its own file, free: every process that has it meets "
                                                "the mended one");
            continue;
        }
        trouble[name] = f.text;
    }
    for (const std::string* name : {&names.pwr, &names.nvd, &names.semLog, &names.semPow, &names.semNvd, &names.semRdy}) {
        std::string& said = w.said[*name];
        const std::string& now = trouble[*name];
        if (!now.empty() && now != said)
            say("error", now + ": the service goes on with the other objects (powsvc create --reset --force "
                               "re-makes what is wrong)");
        else if (now.empty() && !said.empty())
            say("areas", *name + " is whole again; the service takes care of it again");
        said = now;
    }
    return trouble[names.pwr].empty() && trouble[names.semPow].empty();
}

/* One audit (a clean table costs one short holding of POW), then index 0
 * kept the service's own: its pid, and no request of its own (powsvc makes
 * none). Damage a client killed in the middle of a change left behind, or
 * garbage at index 0, is mended at once. Returns the stores made, or -1
 * with `error`; `line` gets what was found and changed ("" when nothing
 * was, or when `starting` and the one store was this service's pid at
 * index 0, taking over from the last one) and `seen` the audit's
 * findings. */
int auditAndKeepIndex0(const LIB_POW_Names& names, int timeoutMs, bool starting, Seen& seen, std::string& line,
                       LIB_POW_OwnerError& error)
{
    Seen index0;
    LIB_POW_RepairReport report = {};
    line.clear();
    if (LIB_POW_ownerAudit(&names, nullptr, timeoutMs, collectSeen, &seen, nullptr, &error) < 0)
        return -1;
    int changes =
        LIB_POW_ownerKeepIndex0(&names, nullptr, getpid(), 0, timeoutMs, collectSeen, &index0, &report, &error);
    if (changes <= 0 || (starting && changes == 1 && seen.damage.empty() && report.changes == 0))
        return changes;
    std::string found;
    index0.addDamageTo(found);
    seen.addDamageTo(found);
    std::string changed = index0.damage.empty() ? "" : "index 0 set to pid " + std::to_string(getpid()) + ", count 0";
    if (report.changes > 0) {
        char text[1024];
        changed += (changed.empty() ? "" : "; ") + std::string(LIB_POW_ownerDescribeRepair(&report, text, sizeof text));
    }
    line = "repaired the reservation table: found " + found + "; changed " + changed;
    return changes;
}

/* Every tick: the audit and index 0 as above, with one line when anything
 * was mended. Once a second the
 * library's sweep releases the indices of ended holders; it counts a
 * holder this process may not signal as ended too and would release its
 * index under it, so it runs only when every holder is visible. Otherwise
 * the service says which ones it cannot see and releases the ended ones
 * itself, each only if it still holds the pid found ended (checked under
 * POW). */
void auditRepairSweep(const LIB_POW_Names& names, int timeoutMs, Watch& w)
{
    Seen seen;
    std::string line;
    LIB_POW_OwnerError error = {};
    int changes = auditAndKeepIndex0(names, timeoutMs, false, seen, line, error);
    sayOnce(w.lastError, "error", changes < 0 ? std::string("repair skipped: ") + error.text : "");
    if (changes < 0)
        return;
    if (!line.empty())
        say("repair", line);
    if (monotonicSeconds() - w.lastSweep < 1.0)
        return;
    w.lastSweep = monotonicSeconds();
    if (seen.unseen.empty()) {
        libraryCall([] { LIB_POW_IsHddSleepDelay(); });
        w.lastUnseen.clear();
        return;
    }
    sayOnce(w.lastUnseen, "error",
            "sweep skipped: " + seen.unseen +
                " (run the service as root or with CAP_KILL); ended holders are released one by one");
    for (auto [index, pid] : seen.ended)
        if (LIB_POW_ownerRelease(&names, nullptr, index, pid, timeoutMs, &error) > 0)
            say("release", "released index " + std::to_string(index) + " of ended pid " + std::to_string(pid));
}

/* The history's record of what changed in the area since the last tick. */
void recordChanges(const AreaNames& names, Watch& w)
{
    PowerSnapshot now;
    LIB_POW_OwnerError error = {};
    if (!readPower(names, false, now, error))
        return;
    if (w.was)
        for (const std::string& line : changes(*w.was, now)) {
            size_t blank = line.find(' '); /* "index 3 taken ..." is kept as event "index", text "3 taken ..." */
            appendHistory(line.substr(0, blank), line.substr(blank + 1));
        }
    w.was = now;
}

/* One set-up of the objects through the kit: the names, and the lines
 * saying what it did (with `all`, also the objects kept as they were). */
struct SetUpRun {
    const AreaNames& names;
    bool all = false;
    std::vector<std::string> lines;
};

void collectObjectLine(const LIB_POW_ObjectReport* report, void* context)
{
    auto& run = *static_cast<SetUpRun*>(context);
    if (run.all || report->action != LIB_POW_OBJECT_KEPT)
        run.lines.push_back(report->text);
}

/* The calendar's days, kept in the runtime directory before anything
 * rewrites, replaces or removes the calendar (given the object as it
 * stands). 0 when kept, which is said on stdout. */
int keepCalendar(int fd, void* context)
{
    const AreaNames& names = static_cast<SetUpRun*>(context)->names;
    NvdSharedArea image;
    size_t bytes = 0;
    std::string path, error;
    if (!readCalendarImage(fd, image, bytes))
        error = "cannot read " + names.nvd + ": " + strerror(errno);
    else if (keepFile("calendar", calendarText(image, bytes, names.nvd + " as it stood at " + clockNow()), path, error))
        printf("kept the days of %s in %s (powctl timer import %s puts them back)\n", names.nvd.c_str(), path.c_str(),
               path.c_str());
    if (!error.empty())
        fprintf(stderr, "powsvc: %s: the calendar is left as it is\n", error.c_str());
    fflush(stdout);
    return error.empty() ? 0 : -1;
}

/* The kit's set-up with this program's options. */
bool setUpObjects(SetUpRun& run, const AreaOptions& options, unsigned remake, bool force, LIB_POW_OwnerError& error)
{
    LIB_POW_Names kit = run.names.kit();
    LIB_POW_SetUpOptions setUp = {.create = createOptions(options), .remake = remake, .force = force ? 1 : 0,
                                  .report = collectObjectLine, .beforeCalendarLost = keepCalendar, .context = &run};
    return LIB_POW_ownerSetUp(&kit, &setUp, &error) == 0;
}

/* The power-saving decisions of one tick, through the library as any
 * client reads the flags. */
void decide(Watch& w, double graceSeconds)
{
    double now = monotonicSeconds();
    if (LIB_POW_getResetAutoSleepTimer(true) == 2) {
        say("timer", std::string("auto-sleep timer reset requested") + (w.saving ? "; leaving power saving" : ""));
        w.saving = false;
        w.lastActive = now;
    }
    if (LIB_POW_getDelayPowerSaveTaskNoneReserved(true))
        say("saving", "reservations dropped to none");
    if (LIB_POW_IsPowerSaveDelay()) {
        if (w.saving)
            say("saving", "leaving power saving: a delay is reserved");
        w.saving = false;
        w.lastActive = now;
    } else if (!w.saving && now - w.lastActive >= graceSeconds) {
        say("saving", "entering power saving: no delay for " + secondsText(graceSeconds) + " s");
        w.saving = true;
    }
}

/* Start-up: one service per device (the pid file's lock says who runs),
 * the objects made or adopted, index 0 taken and the table mended under
 * POW, stop signals caught. Returns the lock, or -1 when the service may
 * not run: said on stderr and in the history. */
int startService(const AreaNames& names, const RunOptions& run, const WaitLimit& limit)
{
    if (run.traced)
        LIB_POW_setLogLevel(static_cast<unsigned>(run.traceMask));
    pid_t running = 0;
    std::string why;
    /* A runtime directory refused leaves no history to write: the refusal is only said. */
    int lock = openRunDirectory(run.directory, true, why) ? claimService(running, why) : -1;
    if (lock == -1 && why.empty())
        why = "a power service runs already as " + describeHolder(running) + "; one per device (stop it first)";
    AreaOptions options;
    options.index0Pid = getpid();
    LIB_POW_OwnerError error = {};
    std::string repaired;
    SetUpRun objects{names, false, {}};
    Seen seen;
    bool ready = lock != -1 && setUpObjects(objects, options, 0, false, error) &&
                 waitForSemaphore("POW", names.semPow, limit, why);
    if (ready && !guardedCall([&] {
            ready = auditAndKeepIndex0(names.kit(), limit.leftMs(), true, seen, repaired, error) >= 0;
        })) {
        why = faultText(names);
        ready = false;
    }
    if (!ready) {
        if (why.empty())
            why = explainObjectError(error);
        appendHistory("refused", "pid " + std::to_string(getpid()) + " not started: " + why);
        if (lock != -1)
            releaseService(lock);
        fail(why);
        return -1;
    }
    int power = LIB_POW_ownerOpen(names.pwr.c_str(), 0, 0, nullptr);
    struct stat area;
    if (power != -1 && fstat(power, &area) == 0) /* group-readable at most when the areas are for a group */
        setHistoryAccess(area.st_gid, 0600 | (area.st_mode & 0044));
    if (power != -1)
        close(power);
    catchStopSignals();
    say("start", "running as pid " + std::to_string(getpid()) + ": areas ready, delay index 0 is ours");
    for (const std::string& line : objects.lines)
        say("areas", line);
    if (!repaired.empty())
        say("repair", repaired);
    return lock;
}

/* One tick: keep index 0, mend the table, take reset requests, sweep
 * ended holders once a second, and decide when the device may save power:
 * when nothing has been reserved for a whole grace period. Each object is
 * looked after on its own: one cut short or damaged is said once and left
 * alone, and the rest of the tick goes on (the power area's work needs the
 * power area and POW). A fault that an object cut short between the look
 * and the use raises ends that part of the tick, not the service. */
void serviceTick(const AreaNames& names, const RunOptions& run, Watch& w)
{
    if (!lookAtObjects(names, w))
        return;
    bool whole = guardedCall([&] { auditRepairSweep(names.kit(), run.tickMs, w); }) &&
                 libraryCall([&] { decide(w, run.graceSeconds); });
    sayOnce(w.lastFault, "error", whole ? "" : faultText(names));
    if (whole)
        recordChanges(names, w);
}

/* The service in the foreground, a tick at a time, until SIGINT or
 * SIGTERM. */
int runService(const AreaNames& names, const RunOptions& run, const WaitLimit& limit)
{
    int lock = startService(names, run, limit);
    if (lock == -1)
        return 2;
    Watch watch;
    for (; g_stopSignal == 0; usleep(static_cast<useconds_t>(run.tickMs) * 1000))
        serviceTick(names, run, watch);
    say("stop", "stopping; the areas stay in place");
    releaseService(lock);
    return 0;
}

void addServiceCommands(CLI::App& app, Args& a, Commands& c)
{
    CLI::App* run = command(&app, c, "run",
                            "be the power service in the foreground until SIGINT/SIGTERM; refused while another runs",
                            [&a] {
                                a.run.traced = a.trace->count() > 0;
                                a.run.directory = runDirectory(a.runDir);
                                return runService(kNames, a.run, a.limit);
                            });
    run->add_option("--grace", a.run.graceSeconds, "seconds without any delay before power saving")
        ->check(secondsNumber(3600, true));
    run->add_option("--tick-ms", a.run.tickMs, "milliseconds between looks at the area")
        ->transform(wholeNumber(10, 10000));
    addTimeoutOption(run, a);
    addRunDirOption(run, a);
    a.trace = run->add_option("--trace", a.run.traceMask,
                              "library log mask for the service, decimal or 0x hex (e.g. 0x10)")
                  ->transform(maskNumber());
}

/* Index 0's holder in an existing power area; -1 when there is none. */
pid_t index0Holder(const AreaNames& names)
{
    LIB_POW_Names kit = names.kit();
    PwrSharedArea copy;
    LIB_POW_OwnerError error = {};
    return LIB_POW_ownerCopyPower(&kit, 0, &copy, nullptr, nullptr, &error) == 0 ? copy.sl_DelayPid[0] : -1;
}

/* The running service, if any, as its runtime directory says (there,
 * resets and removals also keep the calendar's days): it must be the
 * service's user's own. */
bool findServiceIn(const std::string& runDir, ServiceRecord& record)
{
    std::string error;
    if (openRunDirectory(runDirectory(runDir), true, error) && findService(record, error))
        return true;
    fail(error);
    return false;
}

/* A reset under a running service would rewrite what the service works on
 * (delay index 0 included, should the power area be re-made): refused
 * unless forced, and then index 0 stays with the service unless
 * --index0-pid says otherwise. A reset re-makes only the objects that are
 * wrong, or with `remake` the ones named, and says what it did with each;
 * the calendar's days are kept in the runtime directory before they go. */
int createObjects(const AreaNames& names, AreaOptions options, unsigned remake, bool index0Given, bool force,
                  const WaitLimit& limit, const std::string& runDir)
{
    bool reset = options.reset || remake != 0;
    ServiceRecord record;
    if (reset && !findServiceIn(runDir, record))
        return 2;
    pid_t service = record.lockHolder;
    if (service != 0 && !force)
        return fail("the power service runs as " + describeHolder(service) +
                    "; a reset would rewrite what it works on: stop it first, or add --force (index 0 stays with "
                    "it)");
    if (service != 0 && !index0Given)
        options.index0Pid = service;
    bool foreign = false;
    if (reset && !semaphoresFree(names, limit, foreign))
        return 2;
    options.timeoutMs = limit.leftMs() < 0 && foreign ? LIB_POW_FOREIGN_WAIT_MS : limit.leftMs();
    pid_t before = reset || !index0Given ? -1 : index0Holder(names);
    SetUpRun run{names, reset, {}};
    LIB_POW_OwnerError kitError = {};
    bool done = setUpObjects(run, options, remake, force, kitError);
    for (const std::string& line : run.lines)
        printf("%s\n", line.c_str());
    if (!done)
        return fail(explainObjectError(kitError));
    if (before != -1 && before != options.index0Pid)
        fprintf(stderr,
                "powsvc: the areas existed already: --index0-pid %d ignored, index 0 stays with pid %d "
                "(powsvc create --only power --index0-pid %d rewrites the power area)\n",
                options.index0Pid, before, options.index0Pid);
    return 0;
}

/* Removing the objects under a running service would leave it on unlinked
 * areas while new clients make and use new ones: refuse, or stop it. */
int removeObjects(const AreaNames& names, bool force, const std::string& runDir)
{
    ServiceRecord record;
    std::string error;
    if (!findServiceIn(runDir, record))
        return 2;
    pid_t service = record.lockHolder;
    if (service != 0 && !force)
        return fail("the power service runs as " + describeHolder(service) +
                    "; stop it first, or powsvc remove --force stops it and removes");
    if (service != 0) {
        if (!signalService(record, SIGTERM, error))
            return fail(error);
        double until = monotonicSeconds() + 10;
        while (findService(record, error) && record.lockHolder == service && monotonicSeconds() < until)
            usleep(50 * 1000);
        if (record.lockHolder == service)
            return fail("the power service, pid " + std::to_string(service) + ", did not stop within 10 s");
        printf("stopped the power service, pid %d\n", service);
    }
    SetUpRun run{names, false, {}};
    int calendar = LIB_POW_ownerOpen(names.nvd.c_str(), 0, 0, nullptr);
    bool kept = calendar == -1 || keepCalendar(calendar, &run) == 0;
    if (calendar != -1)
        close(calendar);
    if (!kept)
        return 2;
    if (!removeAreas(names, error))
        return fail(error);
    return 0;
}

/* The six objects by the names a person gives them: their own names (an
 * area's with or without its slash) or short ones. */
struct ObjectName {
    const char* shortName;
    unsigned bit;
    std::string AreaNames::*name;
};
const ObjectName kObjectNames[] = {
    {"power", LIB_POW_OBJ_PWR, &AreaNames::pwr},       {"calendar", LIB_POW_OBJ_NVD, &AreaNames::nvd},
    {"trace", LIB_POW_OBJ_SEMLOG, &AreaNames::semLog}, {"POW", LIB_POW_OBJ_SEM_POW, &AreaNames::semPow},
    {"NVD", LIB_POW_OBJ_SEM_NVD, &AreaNames::semNvd},  {"HddReady", LIB_POW_OBJ_SEM_RDY, &AreaNames::semRdy},
};

/* The kit's bits of the objects named; 0 for none of them. */
unsigned objectBits(const std::vector<std::string>& texts)
{
    unsigned bits = 0;
    for (const std::string& text : texts)
        for (const ObjectName& o : kObjectNames) {
            const std::string& name = kNames.*o.name;
            if (text == o.shortName || text == name || (name[0] == '/' && text == name.substr(1)))
                bits |= o.bit;
        }
    return bits;
}

CLI::Validator objectName()
{
    return CLI::Validator(
        [](std::string& text) {
            return objectBits({text}) != 0 ? std::string()
                                           : "'" + text + "' is none of the six objects: power, calendar, trace, "
                                                          "POW, NVD, HddReady (or their names in /dev/shm)";
        },
        "NAME");
}

/* Permission bits, written in octal as chmod takes them. */
CLI::Validator octalMode()
{
    return CLI::Validator(
        [](std::string& text) {
            bool octal = !text.empty() && text.find_first_not_of("01234567") == std::string::npos; /* any leading 0s */
            unsigned long value = octal ? std::strtoul(text.c_str(), nullptr, 8) : 0;
            if (!octal || value > 0777)
                return "'" + text + "' is not a mode: octal, 0 to 0777 (e.g. 0660)";
            if (value == 0) /* which the kit would take for its default */
                return "'" + text + "' locks every process out: give owner and group read and write (e.g. 0660)";
            text = std::to_string(value);
            return std::string();
        },
        "OCTAL");
}

/* --group and --mode are checked before anything is made. */
int createCommand(const Args& a)
{
    const AreaOptions& o = a.options;
    LIB_POW_CreateOptions access = {0, 0, -1, o.group.empty() ? nullptr : o.group.c_str(), o.mode, nullptr};
    LIB_POW_OwnerError error = {};
    if (LIB_POW_ownerCheckAccess(&access, &error) != 0)
        return reportUsage("powsvc create", error.text);
    return createObjects(kNames, o, objectBits(a.objects), a.index0Pid->count() > 0, a.force, a.limit, a.runDir);
}

void addObjectCommands(CLI::App& app, Args& a, Commands& c)
{
    CLI::App* create = command(&app, c, "create",
                               "make the six shared objects when missing, adopt whole ones in place (owner, group, "
                               "mode), re-make damaged semaphores of ours in their own files; say what changed",
                               [&a] { return createCommand(a); });
    create->add_flag("--reset", a.options.reset,
                     "also re-make the objects that are wrong (short, not adoptable) and keep every whole one, "
                     "saying which; the calendar's days are kept in the runtime directory before they go");
    create
        ->add_option("--only", a.objects,
                     "re-make this object alone (repeat for more), even when whole: as powsvc reset")
        ->check(objectName());
    a.index0Pid = create
                      ->add_option("--index0-pid", a.options.index0Pid,
                                   "process kept at delay index 0 (default: nobody); ignored, with a note, when the "
                                   "areas exist and --reset is not given")
                      ->transform(wholeNumber(0, 4194304));
    create->add_option("--group", a.options.group, "access group (name or number) of every object");
    create
        ->add_option("--mode", a.options.mode,
                     "permission bits, in octal (a leading 0 means octal here only; default 0660 with a group, "
                     "0666 without)")
        ->transform(octalMode());
    create->add_flag("--force", a.force,
                     "--reset also while a service runs (delay index 0 stays with it), and replace an object that "
                     "cannot be adopted while processes have it (named: they must restart)");
    addTimeoutOption(create, a);
    addRunDirOption(create, a);

    CLI::App* remove = command(&app, c, "remove", "unlink the three objects and the three semaphores",
                               [&a] { return removeObjects(kNames, a.force, a.runDir); });
    remove->add_flag("--force", a.force,
                     "also when a service runs: stop it first (SIGTERM, up to 10 s; only a process proven to be "
                     "the service)");
    addRunDirOption(remove, a);

    CLI::App* reset = command(
        &app, c, "reset",
        "re-make the named objects alone, in place: an area rewritten to its first content (the calendar's days "
        "kept in the runtime directory first), a damaged semaphore re-made (a whole one is kept: it may be held)",
        [&a] { return createObjects(kNames, a.options, objectBits(a.objects), false, a.force, a.limit, a.runDir); });
    reset->add_option("NAME", a.objects, "power, calendar, trace, POW, NVD, HddReady, or an object's name")
        ->required()
        ->check(objectName());
    reset->add_flag("--force", a.force,
                    "also while a service runs (delay index 0 stays with it), and replace an object that cannot be "
                    "adopted while processes have it");
    addTimeoutOption(reset, a);
    addRunDirOption(reset, a);
}

/* The trace record's text fields are fixed-width; refuse what would not
 * fit while parsing, so it is reported as the usage error it is. */
CLI::Validator atMost(size_t characters)
{
    return CLI::Validator(
        [characters](std::string& text) {
            return text.size() > characters ? "'" + text + "' is longer than " + std::to_string(characters) +
                                                  " characters"
                                            : std::string();
        },
        "");
}

void addSemLogCommands(CLI::App& app, Args& a, Commands& c)
{
    CLI::App* semlog = group(&app, "semlog", "write the semaphore trace area");
    CLI::App* add = command(semlog, c, "add",
                            "append one record after the marked one and mark it (after record 100: back to 1)", [&a] {
                                std::string error;
                                return appendSemLogRecord(kNames, a.record, error) ? 0 : fail(error);
                            });
    add->add_option("NAME", a.record.semName, "semaphore name (at most 51 characters)")->required()->check(atMost(51));
    add->add_option("STATUS", a.record.status, "status text (at most 7 characters)")->required()->check(atMost(7));
    add->add_option("VALUE", a.record.value, "value")->required()->transform(wholeNumber(-2147483647, 2147483647));
    add->add_option("--sem-id", a.record.semId, "semaphore handle to show (default 0)")->transform(maskNumber());
    command(semlog, c, "clear", "zero every record and the mark", [] {
        std::string error;
        return clearSemLog(kNames, error) ? 0 : fail(error);
    });
}

const char kFooter[] =
    "Exit status: 0 done, 2 failed (one line on stderr says why) or a command line it cannot use.\n\n"
    "Numbers are decimal (08 is eight); --trace and --sem-id also take 0x hexadecimal, --mode is octal.\n\n"
    "Waiting: create --reset and reset take the POW and NVD semaphores, run takes POW; one that another process\n"
    "holds is waited for, saying after half a second 'waiting for POW, held by pid N (name)' on stderr;\n"
    "--timeout SECONDS gives up.\n\n"
    "Files: the areas and semaphores in /dev/shm; the running service's pid (" POWSVC_PID_NAME ") and its\n"
    "history (" POWSVC_HISTORY_NAME ", powctl history prints it) in its runtime directory, " POWSVC_RUN_DIR ",\n"
    "or --run-dir, or $" POWSVC_RUN_DIR_VARIABLE ": the service's user's own, writable by no other user (run\n"
    "refuses one that is not).";

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"powsvc: the power service's shared objects (stand-in for the device's owner)", "powsvc"};
    describeProgram(app, "powsvc (LIB_POW) " LIBPOW_VERSION, kFooter);
    Args args;
    Commands commands;
    addObjectCommands(app, args, commands);
    addServiceCommands(app, args, commands);
    addSemLogCommands(app, args, commands);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return reportParseError(app, e);
    }
    args.limit.started = monotonicSeconds();
    std::string path;
    return commands.at(deepestCommand(app, path))();
}
