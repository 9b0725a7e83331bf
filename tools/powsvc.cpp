/*
 * powsvc - stands in for the device's power service: makes, resets and
 * removes the shared objects that every LIB_POW user attaches, runs as the
 * one service of the device (keeping a history of what it sees), and
 * writes records into the semaphore trace area so that its viewer has
 * something to show.
 */
#include "area_owner.h"
#include "cli_usage.h"
#include "LIB_PowerService.h"
#include "power_view.h"
#include "semaphore_wait.h"
#include "service_files.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;

void onStopSignal(int)
{
    g_stop = 1;
}

/* Exit status: 0 done, 2 failed or a command line it cannot use, as
 * powctl has it (which keeps 1 for the answer no). */
int fail(const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "powsvc: %s\n", message.c_str());
    return 2;
}

/* Waits, visibly and within --timeout, for each semaphore a reset is
 * about to take: POW and NVD, and any semaphore of another user, which the
 * reset replaces once it is free. A squatter may hold its own for ever: that
 * one is waited for LIB_POW_FOREIGN_WAIT_MS at most when no --timeout is
 * given, then left alone. Whatever stands at a name but is no semaphore is
 * left to the reset, which removes it. False after saying why not. */
bool semaphoresFree(const AreaNames& names, const WaitLimit& limit)
{
    const struct {
        const char* label;
        const std::string& name;
        bool guard; /* guards an area: the reset takes it even when it is ours */
    } sems[] = {{"POW", names.semPow, true}, {"NVD", names.semNvd, true}, {"HddReady", names.semRdy, false}};
    for (const auto& [label, name, guard] : sems) {
        struct stat st;
        if (PLAT_semOpen(name.c_str()) == 0 && PLAT_errnoGet() != EACCES)
            continue; /* nothing there, or no semaphore: nobody can be inside it */
        bool foreign = PLAT_semStat(name.c_str(), &st) == 0 && st.st_uid != geteuid();
        if (!foreign && !guard)
            continue;
        WaitLimit bound = limit;
        if (foreign && bound.seconds < 0)
            bound.seconds = LIB_POW_FOREIGN_WAIT_MS / 1000.0;
        std::string error;
        if (waitForSemaphore("powsvc", label, name, bound, error))
            continue;
        fail(error + (foreign ? "; semaphore " + name + " belongs to " + userName(st.st_uid) +
                                    ", not to this service: left in place while in use (stop that process, then "
                                    "reset again)"
                              : ""));
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

std::string seconds(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%g", value);
    return text;
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

/* What one audit of the table found: the damage, the holders this
 * process may not signal, and the ended holders (index and pid). */
struct Seen {
    std::string damage, unseen;
    std::vector<std::pair<int, pid_t>> ended;
};

void collectSeen(const LIB_POW_Finding* finding, void* context)
{
    Seen& seen = *static_cast<Seen*>(context);
    if (finding->damage)
        seen.damage += std::string(seen.damage.empty() ? "" : ", ") + LIB_POW_ownerFindingName(finding->kind) +
                       " (" + finding->text + ")";
    if (finding->kind == LIB_POW_HOLDER_NOT_SIGNALLABLE)
        seen.unseen += std::string(seen.unseen.empty() ? "" : "; ") + finding->text;
    if (finding->kind == LIB_POW_HOLDER_ENDED && finding->index > 0)
        seen.ended.emplace_back(finding->index, static_cast<pid_t>(finding->value));
}

struct TickState {
    std::string lastError, lastUnseen;
    double lastSweep = 0;
};

/* One audit per tick (a clean table costs one short holding of POW and no
 * line). Damage a client killed in the middle of a change left behind is
 * mended at once, with one line naming what was found and what changed.
 * Once a second the library's sweep releases the indices of ended holders;
 * it counts a holder this process may not signal as ended too and would
 * release its index under it, so it runs only when every holder is
 * visible. Otherwise the service says which ones it cannot see and
 * releases the ended ones itself, each only if it still holds the pid
 * found ended (checked under POW). */
void auditRepairSweep(const LIB_POW_Names& names, int timeoutMs, TickState& state)
{
    Seen seen;
    LIB_POW_OwnerError error = {};
    if (LIB_POW_ownerAudit(&names, nullptr, timeoutMs, collectSeen, &seen, nullptr, &error) < 0) {
        sayOnce(state.lastError, "error", std::string("audit skipped: ") + error.text);
        return;
    }
    LIB_POW_RepairReport report = {};
    int changes = seen.damage.empty() ? 0 : LIB_POW_ownerRepair(&names, nullptr, timeoutMs, &report, &error);
    sayOnce(state.lastError, "error", changes < 0 ? std::string("repair skipped: ") + error.text : "");
    char text[1024];
    if (changes > 0)
        say("repair", "repaired the reservation table: found " + seen.damage + "; changed " +
                          LIB_POW_ownerDescribeRepair(&report, text, sizeof text));
    if (monotonicSeconds() - state.lastSweep < 1.0)
        return;
    state.lastSweep = monotonicSeconds();
    if (seen.unseen.empty())
        LIB_POW_IsHddSleepDelay();
    sayOnce(state.lastUnseen, "error",
            seen.unseen.empty() ? ""
                                : "sweep skipped: " + seen.unseen +
                                      " (run the service as root or with CAP_KILL); ended holders are released one by one");
    for (size_t k = 0; !seen.unseen.empty() && k < seen.ended.size(); ++k) {
        auto [index, pid] = seen.ended[k];
        if (LIB_POW_ownerRelease(&names, nullptr, index, pid, timeoutMs, &error) > 0)
            say("release", "released index " + std::to_string(index) + " of ended pid " + std::to_string(pid));
    }
}

/* The three objects as the service opened them at start. A mapping of an
 * object that is then cut short kills whoever touches the lost part with
 * SIGBUS: the library's mapping in this process included. So every tick
 * looks at their sizes first (fstat: the very objects mapped, whatever
 * their names now lead to) and leaves them alone while one is short. */
struct Watched {
    std::string name;
    size_t size;
    int fd;
};

std::vector<Watched> openObjects(const AreaNames& names)
{
    std::vector<Watched> objects = {{names.pwr, sizeof(PwrSharedArea), -1},
                                    {names.nvd, sizeof(NvdSharedArea), -1},
                                    {names.semLog, sizeof(SemLogArea), -1}};
    for (Watched& o : objects)
        o.fd = LIB_POW_ownerOpen(o.name.c_str(), o.size, 0, nullptr);
    return objects;
}

/* "" when every object is whole; else what is wrong and what to do. */
std::string shortObjects(const std::vector<Watched>& objects)
{
    std::string text;
    for (const Watched& o : objects) {
        struct stat st;
        if (o.fd == -1 || fstat(o.fd, &st) != 0 || static_cast<size_t>(st.st_size) >= o.size)
            continue;
        text += (text.empty() ? "" : "; ") + o.name + " is " + std::to_string(st.st_size) +
                " bytes, shorter than its layout (" + std::to_string(o.size) + " bytes)";
    }
    return text.empty() ? text
                        : text + ": clients would crash on it (SIGBUS); the service leaves the areas alone until "
                                 "powsvc create --reset --force remakes them (with the device's jobs stopped)";
}

/* The history's record of what changed in the area since the last tick. */
void recordChanges(const AreaNames& names, PowerSnapshot& was, bool& haveWas)
{
    PowerSnapshot now;
    LIB_POW_OwnerError error = {};
    if (!readPower(names.pwr, "", now, error))
        return;
    if (haveWas)
        for (const std::string& line : changes(was, now)) {
            size_t blank = line.find(' '); /* "index 3 taken ..." is kept as event "index", text "3 taken ..." */
            appendHistory(line.substr(0, blank), line.substr(blank + 1));
        }
    was = now;
    haveWas = true;
}

/* The service's own loop: keep index 0, mend the table on every tick, take
 * reset requests, sweep ended holders once a second, and decide when the
 * device may save power: when nothing has been reserved for a whole grace
 * period. One service per device: the pid file's lock says who runs. */
int runService(const AreaNames& names, const RunOptions& run, const WaitLimit& limit)
{
    if (run.traced)
        LIB_POW_setLogLevel(static_cast<unsigned>(run.traceMask));
    pid_t running = 0;
    std::string lockError;
    if (!openRunDirectory(run.directory, true, lockError))
        return fail(lockError);
    int lock = claimService(running, lockError);
    if (lock == -1) {
        std::string why = lockError.empty() ? "a power service runs already as " + describeHolder(running) +
                                                  "; one per device (stop it first)"
                                            : lockError;
        appendHistory("refused", "pid " + std::to_string(getpid()) + " not started: " + why);
        return fail(why);
    }
    AreaOptions options;
    options.index0Pid = getpid();
    LIB_POW_OwnerError error = {};
    std::string claimError;
    if (!createAreas(names, options, error) || !waitForSemaphore("powsvc", "POW", names.semPow, limit, claimError) ||
        !claimIndex0(names, getpid(), limit.leftMs(), claimError)) {
        std::string why = claimError.empty() ? explainObjectError(error) : claimError;
        appendHistory("refused", "pid " + std::to_string(getpid()) + " not started: " + why);
        releaseService(lock);
        return fail(why);
    }
    std::vector<Watched> objects = openObjects(names);
    struct stat area;
    if (fstat(objects[0].fd, &area) == 0) /* group-readable at most when the areas are for a group */
        setHistoryAccess(area.st_gid, 0600 | (area.st_mode & 0044));
    signal(SIGINT, onStopSignal);
    signal(SIGTERM, onStopSignal);
    say("start", "running as pid " + std::to_string(getpid()) + ": areas ready, delay index 0 is ours");

    bool saving = false;
    double lastActive = monotonicSeconds();
    TickState state;
    std::string lastShort;
    PowerSnapshot was;
    bool haveWas = false;
    for (; !g_stop; usleep(static_cast<useconds_t>(run.tickMs) * 1000)) {
        std::string broken = shortObjects(objects);
        if (broken.empty() && !lastShort.empty())
            say("areas", "the areas are whole again; the service goes on");
        sayOnce(lastShort, "error", broken);
        if (!broken.empty())
            continue;
        auditRepairSweep(names.kit(), run.tickMs, state);
        double now = monotonicSeconds();
        if (LIB_POW_getResetAutoSleepTimer(true) == 2) {
            say("timer", std::string("auto-sleep timer reset requested") + (saving ? "; leaving power saving" : ""));
            saving = false;
            lastActive = now;
        }
        if (LIB_POW_getDelayPowerSaveTaskNoneReserved(true))
            say("saving", "reservations dropped to none");
        if (LIB_POW_IsPowerSaveDelay()) {
            if (saving)
                say("saving", "leaving power saving: a delay is reserved");
            saving = false;
            lastActive = now;
        } else if (!saving && now - lastActive >= run.graceSeconds) {
            say("saving", "entering power saving: no delay for " + seconds(run.graceSeconds) + " s");
            saving = true;
        }
        recordChanges(names, was, haveWas);
    }
    say("stop", "stopping; the areas stay in place");
    releaseService(lock);
    return 0;
}

/* Index 0's holder in an existing power area; -1 when there is none. */
pid_t index0Holder(const AreaNames& names)
{
    LIB_POW_OwnerError error = {};
    auto* area = static_cast<const PwrSharedArea*>(
        LIB_POW_ownerMap(names.pwr.c_str(), sizeof(PwrSharedArea), 0, &error));
    if (area == nullptr)
        return -1;
    pid_t pid = __atomic_load_n(&area->sl_DelayPid[0], __ATOMIC_RELAXED);
    munmap(const_cast<PwrSharedArea*>(area), sizeof(PwrSharedArea));
    return pid;
}

/* A reset under a running service would take delay index 0 from it (and
 * every reservation from the device's jobs): refused unless forced, and
 * then index 0 stays with the service unless --index0-pid says otherwise. */
int createObjects(const AreaNames& names, AreaOptions options, bool index0Given, bool force, const WaitLimit& limit)
{
    ServiceRecord record;
    std::string error;
    if (options.reset && !findService(record, error))
        return fail(error);
    pid_t service = record.lockHolder;
    if (service != 0 && !force)
        return fail("the power service runs as " + describeHolder(service) +
                    "; a reset would take delay index 0 from it: stop it first, or powsvc create --reset --force "
                    "(index 0 stays with it)");
    if (service != 0 && !index0Given)
        options.index0Pid = service;
    if (options.reset && !semaphoresFree(names, limit))
        return 2;
    options.timeoutMs = limit.leftMs();
    pid_t before = options.reset || !index0Given ? -1 : index0Holder(names);
    LIB_POW_OwnerError kitError = {};
    if (!createAreas(names, options, kitError))
        return fail(explainObjectError(kitError));
    if (before != -1 && before != options.index0Pid)
        fprintf(stderr,
                "powsvc: the areas existed already: --index0-pid %d ignored, index 0 stays with pid %d "
                "(--reset rewrites them)\n",
                options.index0Pid, before);
    return 0;
}

/* Removing the objects under a running service would leave it on unlinked
 * areas while new clients make and use new ones: refuse, or stop it. */
int removeObjects(const AreaNames& names, bool force)
{
    ServiceRecord record;
    std::string error;
    if (!findService(record, error))
        return fail(error);
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
    if (!removeAreas(names, error))
        return fail(error);
    return 0;
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

/* Permission bits, written in octal as chmod takes them. */
CLI::Validator octalMode()
{
    return CLI::Validator(
        [](std::string& text) {
            bool octal = !text.empty() && text.size() <= 4 && text.find_first_not_of("01234567") == std::string::npos;
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

const char kFooter[] =
    "Exit status: 0 done, 2 failed (one line on stderr says why) or a command line it cannot use.\n\n"
    "Numbers are decimal (08 is eight); --trace and --sem-id also take 0x hexadecimal, --mode is octal.\n\n"
    "Waiting: create --reset takes the POW and NVD semaphores, run takes POW; one that another process\n"
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
    app.formatter(std::make_shared<EveryCommandFormatter>());
    app.require_subcommand(1);
    app.set_version_flag("--version", "powsvc (LIB_POW) " LIBPOW_VERSION);
    app.set_help_all_flag("--help-all", "print the help of every command, at every depth");
    app.footer(kFooter);

    AreaOptions options;
    bool index0Given = false;
    CLI::App* create = app.add_subcommand("create", "make the three shared objects when missing");
    create->add_flag("--reset", options.reset, "rewrite objects that already exist to their initial state");
    create
        ->add_option("--index0-pid", options.index0Pid,
                     "process kept at delay index 0 (default: nobody); ignored, with a note, when the areas "
                     "exist and --reset is not given")
        ->transform(wholeNumber(0, 4194304));
    create->add_option("--group", options.group, "access group (name or number) of every object");
    create
        ->add_option("--mode", options.mode,
                     "permission bits, in octal (a leading 0 means octal here only; default 0660 with a group, "
                     "0666 without)")
        ->transform(octalMode());
    bool force = false;
    create->add_flag("--force", force, "--reset also while a service runs (delay index 0 stays with it)");
    WaitLimit limit;
    auto timeoutOption = [&limit](CLI::App* command) {
        command
            ->add_option("--timeout", limit.seconds,
                         "give up (exit 2) when a semaphore it needs is still held after this many seconds; "
                         "default: wait, saying who holds it")
            ->check(secondsNumber(3600, true));
    };
    timeoutOption(create);
    CLI::App* remove = app.add_subcommand("remove", "unlink the three objects and the three semaphores");
    remove->add_flag("--force", force,
                     "also when a service runs: stop it first (SIGTERM, up to 10 s; only a process proven to be "
                     "the service)");
    std::string runDir;
    auto runDirOption = [&runDir](CLI::App* command) {
        command->add_option("--run-dir", runDir,
                            "the service's runtime directory (pid file, history); default $" POWSVC_RUN_DIR_VARIABLE
                            ", else " POWSVC_RUN_DIR);
    };
    runDirOption(create);
    runDirOption(remove);

    RunOptions run;
    CLI::App* serve = app.add_subcommand(
        "run", "be the power service in the foreground until SIGINT/SIGTERM; refused while another runs");
    serve->add_option("--grace", run.graceSeconds, "seconds without any delay before power saving")
        ->check(secondsNumber(3600, true));
    serve->add_option("--tick-ms", run.tickMs, "milliseconds between looks at the area")
        ->transform(wholeNumber(10, 10000));
    timeoutOption(serve);
    runDirOption(serve);
    serve->add_option("--trace", run.traceMask, "library log mask for the service, decimal or 0x hex (e.g. 0x10)")
        ->transform(maskNumber());

    CLI::App* semlog = app.add_subcommand("semlog", "write the semaphore trace area");
    semlog->require_subcommand(1);
    SemLogInput record;
    CLI::App* semlogAdd = semlog->add_subcommand(
        "add", "append one record after the marked one and mark it (after record 100: back to 1)");
    semlogAdd->add_option("NAME", record.semName, "semaphore name (at most 51 characters)")
        ->required()
        ->check(atMost(51));
    semlogAdd->add_option("STATUS", record.status, "status text (at most 7 characters)")->required()->check(atMost(7));
    semlogAdd->add_option("VALUE", record.value, "value")->required()->transform(wholeNumber(-2147483647, 2147483647));
    semlogAdd->add_option("--sem-id", record.semId, "semaphore handle to show (default 0)")->transform(maskNumber());
    CLI::App* semlogClear = semlog->add_subcommand("clear", "zero every record and the mark");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return reportParseError(app, e, "powsvc");
    }
    index0Given = create->count("--index0-pid") > 0;
    run.traced = serve->count("--trace") > 0;
    LIB_POW_CreateOptions access = {0, 0, -1, options.group.empty() ? nullptr : options.group.c_str(), options.mode,
                                    nullptr};
    LIB_POW_OwnerError accessError = {};
    if (*create && LIB_POW_ownerCheckAccess(&access, &accessError) != 0)
        return reportUsage("powsvc create", accessError.text);

    limit.started = monotonicSeconds();
    AreaNames names;
    std::string error;
    run.directory = runDirectory(runDir);
    if ((*remove || (*create && options.reset)) && !openRunDirectory(run.directory, false, error))
        return fail(error);
    if (*serve)
        return runService(names, run, limit);
    if (*create)
        return createObjects(names, options, index0Given, force, limit);
    if (*remove)
        return removeObjects(names, force);
    bool ok = true;
    if (*semlogAdd) {
        int position = 0;
        ok = appendSemLogRecord(names.semLog, record, position, error);
    } else if (*semlogClear)
        ok = clearSemLog(names.semLog, error);
    return ok ? 0 : fail(error);
}
