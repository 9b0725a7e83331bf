/*
 * powctl - the power service from a device shell: what is reserved, by whom
 * and since when, the flags, the weekly timer, the semaphores, the trace
 * area and the service's history.
 *
 * Commands that change or query through the library go through it exactly
 * as a device process would; `--trace MASK` shows the library's own trace.
 * Before any library call, the object it would map is checked (a short one
 * would kill this process with SIGBUS) and the semaphore it would wait for
 * without limit is waited for here first, visibly and within --timeout.
 * Looks (status, watch, semlog, sem show, history) never wait.
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
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/mman.h>
#include <unistd.h>

namespace {

const AreaNames kNames;

/* As grep has it: a question is answered 0 (yes) or 1 (no); 2 means no
 * answer, whether the command line or the device was at fault. */
enum Exit { kOk = 0, kNo = 1, kFailed = 2, kUsage = 2 };

/* Options every command takes. */
struct Common {
    unsigned long long traceMask = 0;
    WaitLimit limit; /* --timeout */
    bool json = false;
};
Common g_common;

/* ---- Before a library call ------------------------------------------------- */

/* The library maps its objects without looking at their size: check first,
 * through the kit, and say what is wrong and what to do. */
bool objectUsable(const std::string& name, size_t size, bool writable)
{
    LIB_POW_OwnerError error = {};
    void* area = LIB_POW_ownerMap(name.c_str(), size, writable ? 1 : 0, &error);
    if (area == nullptr) {
        fail(explainObjectError(error));
        return false;
    }
    munmap(area, size);
    return true;
}

/* The library waits for its semaphores without limit, by contract, and
 * takes one it may not open for one not made yet (it then answers as if
 * the area were empty). Before calling it, wait here until the semaphore is
 * free, visibly and within --timeout, and refuse one this user may not
 * open. The library's own take follows and may still meet a holder that
 * came in between; that wait is the library's. */
bool powerReady()
{
    return objectUsable(kNames.pwr, sizeof(PwrSharedArea), true) && semaphoreFree("POW", kNames.semPow, g_common.limit);
}

bool calendarReady()
{
    return objectUsable(kNames.nvd, sizeof(NvdSharedArea), true) && semaphoreFree("NVD", kNames.semNvd, g_common.limit);
}

/* ---- Commands -----------------------------------------------------------------
 * Each section below ends with the declaration of its commands, next to the
 * functions that run them; main declares the sections in the order --help
 * lists them. */

/* The command line's values, as CLI11 fills them while it parses. */
struct Args {
    int intervalMs = 500;
    double watchSeconds = 0;
    int count = 1;
    double hold = 0;
    bool noRelease = false;
    int index = 0;
    int releasePid = 0;
    bool force = false;
    int value = 0;
    int year = 0, month = 0;
    std::string dateText, onOff, calendarFile;
    int which = 0;
    double seconds = 0;
    bool libraryListing = false;
    int historyLines = 0;
    std::string runDir;
    std::vector<std::string> sends, clears;
};

void addJsonFlag(CLI::App* command, const char* help = "one JSON object, for scripts")
{
    command->add_flag("--json", g_common.json, help);
}

/* A library call on the power area, once the area is there to attach. */
std::function<int()> onPower(std::function<int()> run)
{
    return [run] { return powerReady() ? run() : kFailed; };
}

int printed(int value)
{
    printf("%d\n", value);
    return kOk;
}

/* ---- status ------------------------------------------------------------------ */

bool lookAtPower(PowerSnapshot& s)
{
    LIB_POW_OwnerError error = {};
    if (readPower(kNames, true, s, error))
        return true;
    fail(explainObjectError(error));
    return false;
}

const char kIndex0Note[] =
    "index 0 is the power service's own (powsvc run claims it at start); the sweep never releases it, so "
    "'ended' there means the service is not running";

/* The audit's verdict, its figures and each of its notes (states the
 * library itself can leave, such as a total below the sum of the counts,
 * which let the device sleep while an index still counts). */
std::string consistencyLine(const PowerSnapshot& s)
{
    std::string line = s.audit.damage == 0 ? "no damage"
                                           : std::to_string(s.audit.damage) +
                                                 " damage (powctl audit names it, powctl repair mends it)";
    line += "; total " + std::to_string(s.audit.total) + ", sum of the counts " + std::to_string(s.audit.countSum) +
            ", lost indices: " + lostIndices(s);
    for (const LIB_POW_Finding& f : s.findings)
        if (!f.damage)
            line += std::string("; note: ") + f.text;
    if (!s.underPow && s.powHolder != 0)
        line += "; read while " + holderName(s.powHolder) + " held POW, so it may be mid-change";
    return line;
}

const char* rowState(const IndexRow& r)
{
    return r.pid == 0 ? "nobody" : r.running ? "running" : "ended";
}

/* A flag byte as the library reads it (any byte but 0 is 1), with the byte
 * itself when it is neither 0 nor 1. */
std::string flagText(uint8_t byte)
{
    return byte <= 1 ? std::to_string(byte) : "1 (byte " + std::to_string(byte) + ")";
}

/* What is wrong with the objects besides the power area, which status
 * has read: the calendar, the trace area, the three semaphores. */
std::vector<LIB_POW_Finding> otherObjects()
{
    std::vector<LIB_POW_Finding> found;
    for (const LIB_POW_Finding& f : objectFindings(kNames))
        if (f.kind == LIB_POW_SEMAPHORE_DAMAGED || f.value != 0)
            found.push_back(f);
    return found;
}

std::string objectsLine(const std::vector<LIB_POW_Finding>& objects)
{
    if (objects.empty())
        return "whole (calendar, trace area, semaphores)";
    std::string line = std::to_string(objects.size()) + " damage:";
    for (const LIB_POW_Finding& f : objects)
        line += std::string(" ") + f.text + ";";
    line.pop_back();
    return line + " (powctl audit names it; powctl repair re-makes a damaged semaphore, powsvc create --reset a "
                  "short area)";
}

void printStatus(const PowerSnapshot& s, const std::vector<LIB_POW_Finding>& objects)
{
    const PwrSharedArea& a = s.image;
    printf("delay total: %d (%s)\n", a.DelayTaskNum, a.DelayTaskNum != 0 ? "power saving is delayed" : "nothing reserved");
    printf("free-index stack depth: %d\n", a.us_FreeIndexNum);
    printf("flags: hdd-ready=%s reset-timer=0x%x none-reserved=%s hdd-sleep-delay=%s\n", flagText(a.b_HddReady).c_str(),
           a.uc_ResetAutoSleepTimer, flagText(a.b_DelayPowerSaveTaskNoneReserved).c_str(),
           flagText(a.b_HddSleepDelay).c_str());
    printf("consistency: %s\n", consistencyLine(s).c_str());
    printf("objects: %s\n", objectsLine(objects).c_str());
    printf("indices with a holder or a count: %zu\n", s.rows.size());
    if (s.rows.empty())
        return;
    auto cell = [](const std::string& text) { return text.empty() ? "-" : printable(text); };
    std::vector<std::vector<std::string>> rows;
    for (const IndexRow& r : s.rows) {
        ProcessInfo p = lookUpProcess(r.pid);
        rows.push_back({std::to_string(r.index), std::to_string(r.pid), cell(p.user), cell(p.name), rowState(r),
                        std::to_string(r.count), p.started ? shortTime(p.started) : "-", cell(p.cmdline)});
    }
    printTable({{"index", 5, true}, {"pid", 8, true}, {"user", 10, false}, {"process", 16, false},
                {"state", 8, false}, {"count", 6, true}, {"since", 10, false}, {"command", 0, false}},
               rows, "  ");
    if (s.rows.front().index == 0)
        printf("%s\n", kIndex0Note);
}

/* JSON keeps the order its fields are set in, as a reader expects. */
using Json = nlohmann::ordered_json;

/* One line of JSON; a byte that is not UTF-8 (a process name, a command
 * line) becomes U+FFFD, as JSON text must be UTF-8. */
void printJson(const Json& value)
{
    printf("%s\n", value.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

/* The audit's findings as a JSON list, as `audit --json` gives them. */
Json findingsJson(const std::vector<LIB_POW_Finding>& findings)
{
    Json list = Json::array();
    for (const LIB_POW_Finding& f : findings)
        list.push_back({{"kind", LIB_POW_ownerFindingName(f.kind)}, {"damage", f.damage != 0}, {"index", f.index},
                        {"position", f.position}, {"value", f.value}, {"text", f.text}});
    return list;
}

void printStatusJson(const PowerSnapshot& s, const std::vector<LIB_POW_Finding>& objects)
{
    const PwrSharedArea& a = s.image;
    Json lost = Json::array();
    for (const LIB_POW_Finding& f : s.findings)
        if (f.kind == LIB_POW_LOST_INDEX)
            lost.push_back(f.index);
    Json held = Json::array();
    for (const IndexRow& r : s.rows) {
        ProcessInfo p = lookUpProcess(r.pid);
        held.push_back({{"index", r.index}, {"pid", r.pid}, {"count", r.count}, {"state", rowState(r)},
                        {"running", r.running}, {"process", p.name.empty() ? "?" : p.name}, {"cmdline", p.cmdline},
                        {"user", p.user}, {"started", isoTime(p.started)},
                        {"started_unix", static_cast<long long>(p.started)}});
    }
    printJson({{"total", a.DelayTaskNum},
               {"free_depth", a.us_FreeIndexNum},
               {"flags",
                {{"hdd_ready", a.b_HddReady != 0}, {"reset_timer", a.uc_ResetAutoSleepTimer},
                 {"none_reserved", a.b_DelayPowerSaveTaskNoneReserved != 0}, {"hdd_sleep_delay", a.b_HddSleepDelay != 0}}},
               {"flag_bytes",
                {{"hdd_ready", a.b_HddReady}, {"none_reserved", a.b_DelayPowerSaveTaskNoneReserved},
                 {"hdd_sleep_delay", a.b_HddSleepDelay}}},
               {"objects", {{"damage", objects.size()}, {"findings", findingsJson(objects)}}},
               {"consistency",
                {{"damage", s.audit.damage}, {"notes", s.audit.notes}, {"count_sum", s.audit.countSum}, {"lost", lost},
                 {"under_pow", s.underPow}, {"findings", findingsJson(s.findings)}}},
               {"index0", kIndex0Note},
               {"held", held}});
}

int statusCommand()
{
    PowerSnapshot s;
    if (!lookAtPower(s))
        return kFailed;
    std::vector<LIB_POW_Finding> objects = otherObjects();
    g_common.json ? printStatusJson(s, objects) : printStatus(s, objects);
    return s.audit.damage > 0 || !objects.empty() ? kNo : kOk;
}

void addStatusCommand(CLI::App& app, Commands& c)
{
    addJsonFlag(command(&app, c, "status",
                        "the power area at a glance: flags, a consistency line, the other objects' state, every "
                        "index with a holder or a count, and who each holder is (user, process, since when, command "
                        "line); exit 1 when it shows damage",
                        statusCommand));
}

/* ---- watch ------------------------------------------------------------------- */

/* A job interrupted by a signal has cleaned up, and says it did not finish. */
int interruptedExit()
{
    return g_stopSignal != 0 ? 128 + g_stopSignal : kOk;
}

int watchPower(int intervalMs, double seconds)
{
    PowerSnapshot was;
    if (!lookAtPower(was))
        return kFailed;
    catchStopSignals();
    auto held = std::count_if(was.rows.begin(), was.rows.end(), [](const IndexRow& r) { return r.pid != 0; });
    printf("%s watching %s (total %d, %td held); Ctrl-C ends\n", clockNow().c_str(), kNames.pwr.c_str(),
           was.image.DelayTaskNum, held);
    for (const IndexRow& r : was.rows)
        printf("%s index %d %s, count %d\n", clockNow().c_str(), r.index,
               r.pid != 0 ? ("held by " + describeHolder(r.pid)).c_str() : "held by nobody", r.count);
    fflush(stdout);
    double started = monotonicSeconds();
    while (g_stopSignal == 0 && (seconds <= 0 || monotonicSeconds() - started < seconds)) {
        usleep(static_cast<useconds_t>(intervalMs) * 1000);
        PowerSnapshot now;
        if (!lookAtPower(now))
            return kFailed;
        for (const std::string& line : changes(was, now))
            printf("%s %s\n", clockNow().c_str(), line.c_str());
        fflush(stdout);
        was = now;
    }
    return seconds > 0 ? interruptedExit() : kOk; /* without --seconds, a signal is how a watch ends */
}

void addWatchCommand(CLI::App& app, Args& a, Commands& c)
{
    CLI::App* watch = command(&app, c, "watch",
                              "print each change of the power area with a timestamp: indices taken and released, "
                              "every change of a count or of the total, the flags",
                              [&a]() -> int { return watchPower(a.intervalMs, a.watchSeconds); });
    watch->add_option("--interval", a.intervalMs, "milliseconds between looks")->transform(wholeNumber(10, 60000));
    watch->add_option("--seconds", a.watchSeconds, "stop after this long (default: until interrupted)")
        ->check(secondsNumber(86400, false));
}

/* ---- delays ------------------------------------------------------------------ */

int reserveDelay(int count, double holdSeconds, bool noRelease)
{
    if (!powerReady())
        return kFailed;
    /* Handlers first: whoever sees the "reserved" line may stop the job at
     * once and must get the release, not a default death. */
    catchStopSignals();
    short index = LIB_POW_setPowerSaveDelay(-1);
    if (index == -1)
        return fail("no delay index could be reserved (free-index stack empty?)");
    for (int n = 1; n < count; ++n)
        LIB_POW_setPowerSaveDelay(index);
    printf("pid %d reserved delay index %d, count %d\n", getpid(), index, count);
    fflush(stdout);
    holdUntilStopped(holdSeconds);
    if (noRelease) {
        printf("pid %d exits without resetting index %d, as a crashed job would\n", getpid(), index);
        return interruptedExit();
    }
    for (int n = 0; n < count; ++n)
        LIB_POW_resetPowerSaveDelay(index);
    printf("pid %d reset index %d %d time(s); it stays held until this process ends\n", getpid(), index, count);
    if (g_stopSignal != 0)
        printf("pid %d was stopped by signal %d before its hold was over\n", getpid(), static_cast<int>(g_stopSignal));
    return interruptedExit();
}

/* The library's sweep counts a holder it may not signal (kill gives EPERM)
 * as ended and releases its index while it runs: refuse unless forced. */
int sweep(bool force)
{
    PowerSnapshot before;
    if (!lookAtPower(before))
        return kFailed;
    std::string blind;
    for (const IndexRow& r : before.rows)
        if (r.index != 0 && r.pid != 0 && kill(r.pid, 0) != 0 && errno == EPERM)
            blind += (blind.empty() ? "" : ", ") + describeHolder(r.pid) + " at index " + std::to_string(r.index);
    if (!blind.empty() && !force)
        return fail("sweep refused: this process (uid " + std::to_string(getuid()) +
                        ") may not signal " + blind +
                        "; the library would take them for ended and release their indices while they "
                        "run. Sweep as their user or root, or --force");
    if (!powerReady())
        return kFailed;
    bool delay = LIB_POW_IsHddSleepDelay();
    PowerSnapshot after;
    if (lookAtPower(after)) {
        for (const IndexRow& r : before.rows) {
            auto same = [&r](const IndexRow& a) { return a.index == r.index && a.pid == r.pid; };
            if (r.pid != 0 && std::none_of(after.rows.begin(), after.rows.end(), same))
                printf("released index %d (pid %d, count %d)\n", r.index, r.pid, r.count);
        }
    }
    printf("hdd-sleep-delay=%d\n", delay);
    return kOk;
}

/* The library counts a reset off the device's total even on an index that
 * counts nothing, so the total falls below what the other indices count
 * and the device may sleep under their jobs: refused (unless forced),
 * naming those jobs. */
bool resetCounts(int index)
{
    PowerSnapshot s;
    if (!lookAtPower(s))
        return false;
    std::string cut;
    for (const IndexRow& r : s.rows) {
        if (r.index == index && r.count != 0)
            return true;
        if (r.count > 0)
            cut += (cut.empty() ? "" : ", ") + std::string("index ") + std::to_string(r.index) + " (count " +
                   std::to_string(r.count) + ", " + (r.pid != 0 ? holderName(r.pid) : "held by nobody") + ")";
    }
    fail("index " + std::to_string(index) + " counts no request: a reset would lower the device's total (" +
             std::to_string(s.image.DelayTaskNum) + ") all the same" +
             (cut.empty() ? "" : ", cutting into the counts of " + cut + ": the device could sleep under them") +
             "; --force resets anyway");
    return false;
}

/* An operator's override: an index, or every index of a process, released
 * with everything it counts, through the owner kit under POW. A holder that
 * still runs goes on resetting its index after the release, and each of
 * those resets lowers the total that other indices' counts make up: the
 * device could then sleep while one of them still counts. So a live holder
 * (like index 0) is released only with --force. */
int releaseDelay(int index, pid_t pid, bool force)
{
    PowerSnapshot before;
    if (!lookAtPower(before))
        return kFailed;
    std::vector<IndexRow> targets;
    for (const IndexRow& r : before.rows)
        if (pid != 0 ? r.pid == pid : r.index == index && (r.pid != 0 || r.count > 0))
            targets.push_back(r);
    if (targets.empty())
        return fail(pid != 0 ? "pid " + std::to_string(pid) + " holds no delay index"
                             : "index " + std::to_string(index) + " is not held and counts nothing: nothing to release");
    ServiceRecord service;
    std::string error;
    if (targets.front().index == 0 && openRunDirectory(runDirectory(""), false, error) && findService(service, error) &&
        service.lockHolder != 0)
        return fail("index 0 is the running power service's own (" + describeHolder(service.lockHolder) +
                        "): it is never released while the service runs, --force or not");
    if (targets.front().index == 0 && !force)
        return fail("index 0 is the power service's own (held by " + describeHolder(targets.front().pid) +
                        "); release it only with --force");
    for (const IndexRow& r : targets)
        if (r.running && !force)
            return fail("index " + std::to_string(r.index) + " is held by " + holderName(r.pid) +
                            ", which still runs: its later resets would lower the total below the other "
                            "indices' counts and let the device sleep while they count; stop it first, "
                            "or --force");
    if (!powerReady())
        return kFailed;
    LIB_POW_OwnerError kitError = {};
    int released = LIB_POW_ownerRelease(nullptr, nullptr, pid != 0 ? -1 : index, pid, g_common.limit.leftMs(), &kitError);
    if (released < 0)
        return fail(kitError.text);
    for (const IndexRow& r : targets)
        if (r.pid != 0)
            printf("released index %d (pid %d, count %d)\n", r.index, r.pid, r.count);
        else
            printf("cleared the count of index %d, which nobody holds (count %d)\n", r.index, r.count);
    return kOk;
}

void addDelayCommands(CLI::App& app, Args& a, Commands& c)
{
    CLI::App* delay = group(&app, "delay", "power-save delay reservations");
    CLI::App* reserve = command(delay, c, "reserve", "act as a job: reserve, count, hold, reset",
                                [&a]() -> int { return reserveDelay(a.count, a.hold, a.noRelease); });
    reserve->add_option("--count", a.count, "requests to count on the index")->transform(wholeNumber(1, 32767));
    reserve->add_option("--hold", a.hold, "seconds to hold before resetting")->check(secondsNumber(86400, true));
    reserve->add_flag("--no-release", a.noRelease, "exit without resetting, as a crashed job would");
    command(delay, c, "check",
            "is power saving delayed (LIB_POW_IsPowerSaveDelay): prints it; exit 0 delayed, 1 not, 2 no answer",
            onPower([]() -> int {
                bool delayed = LIB_POW_IsPowerSaveDelay();
                printf("%s\n", delayed ? "delayed" : "not delayed");
                return delayed ? kOk : kNo;
            }));
    command(delay, c, "set", "count one request on INDEX", onPower([&a]() -> int {
                short got = LIB_POW_setPowerSaveDelay(static_cast<short>(a.index));
                printf("%d\n", got);
                return got == -1 ? fail("the request was refused") : kOk;
            }))
        ->add_option("INDEX", a.index, "delay index")
        ->required()
        ->transform(wholeNumber(0, 255));
    CLI::App* reset = command(delay, c, "reset", "count one request off INDEX; refused when INDEX counts none", [&a]() -> int {
        if (!a.force && !resetCounts(a.index))
            return kFailed;
        if (!powerReady())
            return kFailed;
        LIB_POW_resetPowerSaveDelay(static_cast<short>(a.index));
        return kOk;
    });
    reset->add_option("INDEX", a.index, "delay index")->required()->transform(wholeNumber(0, 255));
    reset->add_flag("--force", a.force,
                    "reset also an index that counts nothing: the library then lowers the device's total, "
                    "which other indices' counts make up");
    CLI::App* release = command(delay, c, "release",
                                "operator override: release INDEX (or every index of --pid) with everything it "
                                "counts, under POW, as the sweep releases an ended holder's",
                                [&a]() -> int { return releaseDelay(a.index, a.releasePid, a.force); });
    release->add_option("INDEX", a.index, "delay index")->transform(wholeNumber(0, 255));
    release->add_option("--pid", a.releasePid, "release every index this process holds")
        ->transform(wholeNumber(1, 4194304));
    release->add_flag("--force", a.force,
                      "release also an index whose holder still runs, or index 0, the power service's own");
    command(&app, c, "sweep",
            "release the indices of ended holders (LIB_POW_IsHddSleepDelay) and say which; refused when this "
            "process may not signal a holder",
            [&a]() -> int { return sweep(a.force); })
        ->add_flag("--force", a.force, "sweep even so: such holders are released while they run");
}

/* ---- flags ------------------------------------------------------------------- */

void addFlagCommands(CLI::App& app, Args& a, Commands& c)
{
    CLI::App* hddReady = group(&app, "hdd-ready", "the hard disk ready flag");
    command(hddReady, c, "get", "print the flag, 0 or 1", onPower([]() -> int { return printed(LIB_POW_isHddReady()); }));
    command(hddReady, c, "set", "set the flag", onPower([&a]() -> int {
                LIB_POW_setHddReady(a.value == 1);
                return kOk;
            }))
        ->add_option("VALUE", a.value, "0 or 1")
        ->required()
        ->transform(wholeNumber(0, 1));
    CLI::App* resetTimer = group(&app, "reset-timer", "the auto-sleep timer reset request");
    command(resetTimer, c, "request", "request a reset (the byte becomes 0x2)", onPower([]() -> int {
                LIB_POW_putResetAutoSleepTimer();
                return kOk;
            }));
    for (bool take : {false, true})
        command(resetTimer, c, take ? "take" : "peek",
                take ? "print the request and clear it" : "print the request, leave it standing", onPower([take]() -> int {
                    printf("0x%x\n", LIB_POW_getResetAutoSleepTimer(take));
                    return kOk;
                }));
    CLI::App* noneReserved = group(&app, "none-reserved", "the note that the reservations dropped to none");
    for (bool take : {false, true})
        command(noneReserved, c, take ? "take" : "peek",
                take ? "print the note and clear it" : "print the note, leave it standing",
                onPower([take]() -> int { return printed(LIB_POW_getDelayPowerSaveTaskNoneReserved(take)); }));
    CLI::App* sleepDelay = group(&app, "hdd-sleep-delay", "the HDD sleep delay flag");
    command(sleepDelay, c, "get",
            "print the flag, a look that releases nothing (LIB_POW_IsHddSleepDelay would also sweep: powctl sweep)",
            []() -> int {
                PowerSnapshot s;
                return lookAtPower(s) ? printed(s.image.b_HddSleepDelay) : kFailed;
            });
    command(sleepDelay, c, "clear", "clear the flag", onPower([]() -> int {
                LIB_POW_setPowerSaveDelayForService();
                return kOk;
            }));
}

/* ---- calendar -------------------------------------------------------------- */

/* DATE as the parser checks it, so that a bad one is the usage error it is. */
CLI::Validator calendarDate()
{
    return CLI::Validator(
        [](std::string& text) {
            int year, month, day;
            std::string fault = dateFault(text, year, month, day);
            return fault.empty() ? fault : "'" + text + "': " + fault;
        },
        "YYYY-MM-DD");
}

const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

/* The switched-on days of a month; false when the library could not say. */
bool daysOn(int year, int month, std::vector<int>& on, int& last)
{
    unsigned char lastDay = 0;
    unsigned short y = static_cast<unsigned short>(year);
    unsigned char m = static_cast<unsigned char>(month);
    if (LIB_POW_getWeeklyTimerLastDate(y, m, &lastDay) != 0)
        return false;
    last = lastDay;
    for (int day = 1; day <= last; ++day) {
        bool isOn = false;
        if (LIB_POW_getWeeklyTimerDateOn(y, m, static_cast<unsigned char>(day), &isOn) != 0)
            return false;
        if (isOn)
            on.push_back(day);
    }
    return true;
}

/* One month as `cal` lays it out, Sunday first; a switched-on day carries
 * a '*' after its number. */
void showMonth(int year, int month, const std::vector<int>& on, int last)
{
    unsigned char first = 0;
    LIB_POW_getWeeklyTimerFirstWeek(static_cast<unsigned short>(year), static_cast<unsigned char>(month), &first);
    std::string title = std::string(kMonthNames[month - 1]) + " " + std::to_string(year);
    int width = 7 * 3 - 1;
    printf("%*s%s\n", static_cast<int>((width - title.size()) / 2), "", title.c_str());
    printf("Su Mo Tu We Th Fr Sa\n");
    std::string row(static_cast<size_t>(first) * 3, ' ');
    for (int day = 1; day <= last; ++day) {
        char cell[8];
        snprintf(cell, sizeof cell, "%2d%c", day, std::count(on.begin(), on.end(), day) ? '*' : ' ');
        row += cell;
        if ((first + day) % 7 == 0 || day == last) {
            row.erase(row.find_last_not_of(' ') + 1);
            printf("%s\n", row.c_str());
            row.clear();
        }
    }
    printf("\n");
}

int showTimer(int year, int month)
{
    if (!calendarReady())
        return kFailed;
    Json months = Json::array();
    for (int m = month ? month : 1; m <= (month ? month : 12); ++m) {
        std::vector<int> on;
        int last = 0;
        if (!daysOn(year, m, on, last))
            return fail("reading the weekly timer failed (the calendar area or its semaphore)");
        if (g_common.json)
            months.push_back({{"month", m}, {"on", on}});
        else
            showMonth(year, m, on, last);
    }
    if (g_common.json)
        printJson({{"year", year}, {"months", months}});
    return kOk;
}

int timerDay(const std::string& dateText, const std::string& onOff, bool set)
{
    int year = 0, month = 0, date = 0;
    dateFault(dateText, year, month, date); /* checked while parsing */
    if (!calendarReady())
        return kFailed;
    unsigned short y = static_cast<unsigned short>(year);
    unsigned char m = static_cast<unsigned char>(month), day = static_cast<unsigned char>(date);
    bool on = false;
    signed char rc = set ? LIB_POW_setWeeklyTimerDateOn(y, m, day, onOff == "on")
                         : LIB_POW_getWeeklyTimerDateOn(y, m, day, &on);
    if (rc == -1)
        return fail("the calendar area or its semaphore could not be had (see the trace line above)");
    if (rc != 0)
        return fail("the library refused " + dateText + " (" + std::to_string(rc) + ")");
    if (!set && g_common.json)
        printJson({{"date", dateText}, {"on", on}});
    else if (!set)
        printf("%s %s\n", dateText.c_str(), on ? "on" : "off");
    return kOk;
}

/* The calendar's days as text (calendar_file.h), to FILE or stdout; read
 * under NVD through a descriptor, so a calendar cut short gives the days it
 * still holds and says which months it lacks. */
int exportTimer(const std::string& file)
{
    if (!semaphoreFree("NVD", kNames.semNvd, g_common.limit))
        return kFailed;
    NvdSharedArea image;
    size_t bytes = 0;
    LIB_POW_OwnerError error = {};
    if (LIB_POW_ownerReadCalendar(nullptr, &image, &bytes, g_common.limit.leftMs(), &error) != 0)
        return fail(explainObjectError(error));
    std::string text = calendarText(image, bytes, kNames.nvd + " at " + clockNow());
    if (file.empty() || file == "-") {
        fputs(text.c_str(), stdout);
        return kOk;
    }
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool written = fd != -1 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int err = errno;
    if (fd != -1 && close(fd) != 0 && written) {
        written = false;
        err = errno;
    }
    return written ? kOk : fail("cannot write " + file + ": " + strerror(err));
}

/* Days from text back into the calendar: every day listed on, every other
 * off, written in one holding of NVD, so clients see all of it or none. A
 * bad line changes nothing. */
int importTimer(const std::string& file)
{
    std::ifstream in(file == "-" ? "/dev/stdin" : file);
    std::stringstream text;
    text << in.rdbuf();
    if (!in.good())
        return fail("cannot read " + file + ": " + strerror(errno));
    NvdSharedArea image = {};
    std::string error;
    if (!parseCalendarText(text.str(), file, image, error))
        return fail(error + " (nothing imported)");
    if (!calendarReady())
        return kFailed;
    LIB_POW_OwnerError kitError = {};
    if (LIB_POW_ownerWriteCalendar(nullptr, &image, g_common.limit.leftMs(), &kitError) != 0)
        return fail(explainObjectError(kitError));
    size_t on = 0;
    for (const auto& word : image.ul_DateOnBits)
        for (uint8_t byte : word)
            on += static_cast<size_t>(__builtin_popcount(byte));
    printf("%zu day%s on, every other day off, from %s\n", on, on == 1 ? "" : "s", file.c_str());
    return kOk;
}

void addTimerCommands(CLI::App& app, Args& a, Commands& c)
{
    CLI::App* timer = group(&app, "timer", "the weekly power timer calendar");
    CLI::App* show = command(timer, c, "show", "month grids with switched-on days marked '*'",
                             [&a]() -> int { return showTimer(a.year, a.month); });
    show->add_option("YEAR", a.year, "year")->required()->transform(wholeNumber(2000, 2089));
    show->add_option("MONTH", a.month, "month (default: the whole year)")->transform(wholeNumber(1, 12));
    addJsonFlag(show);
    CLI::App* set = command(timer, c, "set", "switch a day on or off", [&a]() -> int { return timerDay(a.dateText, a.onOff, true); });
    set->add_option("DATE", a.dateText, "the day, 2000-01-01 to 2089-12-31")->required()->check(calendarDate());
    set->add_option("STATE", a.onOff, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    CLI::App* get = command(timer, c, "get", "is a day switched on", [&a]() -> int { return timerDay(a.dateText, "", false); });
    get->add_option("DATE", a.dateText, "the day, 2000-01-01 to 2089-12-31")->required()->check(calendarDate());
    addJsonFlag(get);
    command(timer, c, "export",
            "write the switched-on days as text, one YYYY-MM-DD a line (what timer import reads back)",
            [&a]() -> int { return exportTimer(a.calendarFile); })
        ->add_option("FILE", a.calendarFile, "where to write them (default or -: stdout)");
    command(timer, c, "import",
            "make the calendar what FILE says: each day listed on (a date, optionally 'on' or 'off'), every other "
            "off, all at once; '#' starts a comment",
            [&a]() -> int { return importTimer(a.calendarFile); })
        ->add_option("FILE", a.calendarFile, "the text to read (-: stdin)")
        ->required();
}

/* ---- semaphores -------------------------------------------------------------- */

/* The three semaphores in the order sem hold numbers them (1 to 3), each
 * with the library's handle of it. */
struct Semaphore {
    const char* label;
    const std::string& name;
    SemId& handle;
};
const Semaphore kSemaphores[] = {
    {"POW", kNames.semPow, g_semPowID}, {"NVD", kNames.semNvd, g_semNvdID}, {"HddReady", kNames.semRdy, g_semRdyID}};

int holdSemaphore(int which, double seconds)
{
    const Semaphore& sem = kSemaphores[which - 1];
    if (!semaphoreFree(sem.label, sem.name, g_common.limit))
        return kFailed;
    catchStopSignals();
    LIB_POW_dbgSemLock(which);
    if (sem.handle == 0)
        return fail(std::string("the ") + sem.label + " semaphore could not be taken");
    printf("pid %d holds the %s semaphore for %g s\n", getpid(), sem.label, seconds);
    fflush(stdout);
    holdUntilStopped(seconds);
    LIB_POW_dbgSemUnLock(which);
    printf("pid %d gave the %s semaphore back\n", getpid(), sem.label);
    return interruptedExit();
}

/* The dump shows the handles this process holds; look them up by name
 * first (without taking anything) so that a fresh shell sees them all. A
 * semaphore nobody has used yet is left unmade: a look must not change the
 * device. */
int showSemaphores()
{
    std::string error; /* the first semaphore this user may not open */
    if (g_common.json) {
        Json semaphores = Json::array();
        for (const Semaphore& sem : kSemaphores) {
            pid_t holder = LIB_POW_ownerSemHolder(sem.name.c_str());
            ProcessInfo p = lookUpProcess(holder);
            /* Not there, or there but not ours to open: told apart. */
            std::string refused;
            if (holder < 0 && PLAT_semOpen(sem.name.c_str()) == 0 && PLAT_errnoGet() != ENOENT)
                refused = semaphoreOpenError(sem.name, PLAT_errnoGet());
            semaphores.push_back({{"semaphore", sem.label}, {"name", sem.name},
                                  {"made", holder >= 0 || !refused.empty()}, {"holder", holder > 0 ? holder : 0},
                                  {"holder_running", holder > 0 && processRuns(holder)}, {"process", p.name},
                                  {"cmdline", p.cmdline}, {"user", p.user}, {"error", refused}});
            if (error.empty())
                error = refused;
        }
        printJson({{"semaphores", semaphores}});
        return error.empty() ? kOk : fail(error);
    }
    std::vector<std::string> unmade;
    for (const Semaphore& sem : kSemaphores) {
        sem.handle = PLAT_semOpen(sem.name.c_str());
        if (sem.handle == 0 && PLAT_errnoGet() == ENOENT)
            unmade.push_back(sem.name);
        else if (sem.handle == 0 && error.empty())
            error = semaphoreOpenError(sem.name, PLAT_errnoGet());
    }
    LIB_POW_semShow();
    for (const std::string& name : unmade)
        printf("%s: not made yet (no process has locked it)\n", name.c_str());
    return error.empty() ? kOk : fail(error);
}

void addSemaphoreCommands(CLI::App& app, Args& a, Commands& c)
{
    CLI::App* sem = group(&app, "sem", "the three named semaphores");
    addJsonFlag(command(sem, c, "show", "dump the three semaphores (--json: who holds each)", showSemaphores));
    CLI::App* hold = command(sem, c, "hold", "take semaphore N (1 POW, 2 NVD, 3 HddReady) and hold it",
                             [&a]() -> int { return holdSemaphore(a.which, a.seconds); });
    hold->add_option("N", a.which, "1, 2 or 3")->required()->transform(wholeNumber(1, 3));
    hold->add_option("SECONDS", a.seconds, "how long")->required()->check(secondsNumber(3600, true));
}

/* ---- audit and repair ------------------------------------------------------ */

/* The owner kit's audits: each object on its own (the calendar and trace
 * areas' lengths, the three semaphores' records) and the reservation
 * table, copied under POW, or without it when POW itself is damaged. Exit
 * 0 when all is clean, 1 on damage (notes do not count), 2 when it could
 * not look. */
int auditTable()
{
    if (!objectUsable(kNames.pwr, sizeof(PwrSharedArea), false))
        return kFailed;
    std::vector<LIB_POW_Finding> findings = objectFindings(kNames);
    bool powDamaged = false;
    for (const LIB_POW_Finding& f : findings)
        powDamaged = powDamaged || (f.kind == LIB_POW_SEMAPHORE_DAMAGED && f.value == 0);
    LIB_POW_AuditSummary s = {};
    LIB_POW_OwnerError error = {};
    PowerSnapshot look;
    if (powDamaged) { /* a take of POW would fail or wait for ever */
        if (!lookAtPower(look))
            return kFailed;
        s = look.audit;
        findings.insert(findings.end(), look.findings.begin(), look.findings.end());
    } else {
        if (!semaphoreFree("POW", kNames.semPow, g_common.limit))
            return kFailed;
        if (LIB_POW_ownerAudit(nullptr, nullptr, g_common.limit.leftMs(), collectFinding, &findings, &s, &error) < 0)
            return fail(error.text);
    }
    int objects = 0;
    for (const LIB_POW_Finding& f : findings)
        objects += f.kind == LIB_POW_SEMAPHORE_DAMAGED || f.kind == LIB_POW_AREA_UNUSABLE;
    s.damage += objects;
    std::stable_partition(findings.begin(), findings.end(), [](const LIB_POW_Finding& f) { return f.damage != 0; });
    if (g_common.json) {
        printJson({{"damage", s.damage}, {"notes", s.notes}, {"total", s.total}, {"count_sum", s.countSum},
                   {"free_count", s.freeCount}, {"held", s.held}, {"under_pow", !powDamaged},
                   {"findings", findingsJson(findings)}});
    } else {
        for (const LIB_POW_Finding& f : findings)
            printf("%s: %s\n", f.damage ? "damage" : "note", f.text);
        printf("%d damage, %d note%s (total %d, sum of the counts %ld, free %d, held %d)%s\n", s.damage, s.notes,
               s.notes == 1 ? "" : "s", s.total, s.countSum, s.freeCount, s.held,
               powDamaged ? "; the table was read without POW, which is damaged" : "");
    }
    return s.damage > 0 ? kNo : kOk;
}

/* Mends what the kit can mend in place: damaged semaphores are re-made in
 * their own files (so every process that has one meets the mended one),
 * then the table's damage, under POW. */
int repairTable()
{
    if (!objectUsable(kNames.pwr, sizeof(PwrSharedArea), true))
        return kFailed;
    std::vector<LIB_POW_Finding> damaged;
    LIB_POW_OwnerError error = {};
    LIB_POW_ownerAuditSemaphores(nullptr, collectFinding, &damaged, nullptr);
    if (!damaged.empty() && LIB_POW_ownerRepairSemaphores(nullptr, &error) < 0)
        return fail(error.text);
    for (const LIB_POW_Finding& f : damaged)
        printf("re-made %s: in its own file, free\n", f.text);
    if (!powerReady())
        return kFailed;
    LIB_POW_RepairReport report = {};
    if (LIB_POW_ownerRepair(nullptr, nullptr, g_common.limit.leftMs(), &report, &error) < 0)
        return fail(error.text);
    char text[1024];
    if (report.changes > 0 || damaged.empty())
        printf("%s\n", LIB_POW_ownerDescribeRepair(&report, text, sizeof text));
    return kOk;
}

void addAuditCommands(CLI::App& app, Commands& c)
{
    addJsonFlag(command(&app, c, "audit",
                        "check each object (areas' lengths, semaphores' records) and the reservation table for "
                        "damage (exit 1 when found, 2 when it could not look)",
                        auditTable));
    command(&app, c, "repair",
            "mend the damage the audit finds (damaged semaphores re-made in their own files, the table) and say "
            "what changed",
            repairTable);
}

/* ---- listings ------------------------------------------------------------------ */

/* The trace area oldest first, in columns under their header. The writer
 * fills it as a ring: once all 100 records are used, the oldest is the one
 * after the marked (newest) one. */
int listSemLog(bool libraryListing)
{
    if (libraryListing) {
        if (!objectUsable(kNames.semLog, sizeof(SemLogArea), true))
            return kFailed;
        LIB_POW_showSemLog();
        return kOk;
    }
    LIB_POW_Names kit = kNames.kit();
    LIB_POW_OwnerError error = {};
    SemLogArea copy;
    if (LIB_POW_ownerCopySemLog(&kit, &copy, &error) != 0)
        return fail(explainObjectError(error));
    int used = 0;
    while (used < LIB_POW_SEMLOG_RECORD_COUNT && (copy.records[used].PID != 0 || copy.records[used].TID != 0))
        ++used;
    int newest = copy.Count >= 1 && copy.Count <= used ? copy.Count - 1 : -1;
    int first = used == LIB_POW_SEMLOG_RECORD_COUNT && newest >= 0 ? (newest + 1) % used : 0;
    /* The writer is another program: a text field may lack its NUL or hold
     * control characters. */
    auto text = [](const char* field, size_t width) { return printable(std::string(field, strnlen(field, width))); };
    auto hex = [](uint32_t value) {
        char cell[16];
        snprintf(cell, sizeof cell, "0x%08x", value);
        return std::string(cell);
    };
    std::vector<std::vector<std::string>> rows;
    for (int k = 0; k < used; ++k) {
        int n = (first + k) % used;
        const SemLogRecord& r = copy.records[n];
        rows.push_back({std::to_string(n + 1), std::to_string(r.tic), std::to_string(r.PID), hex(r.TID),
                        text(r.SemName, sizeof r.SemName), hex(r.SemID), text(r.Status, sizeof r.Status),
                        std::to_string(r.Value), n == newest ? " *** newest" : ""});
    }
    printTable({{"pos", 4, false}, {"tick", 11, false}, {"pid", 8, false}, {"tid", 10, false}, {"semaphore", 9, false},
                {"id", 10, false}, {"status", 7, false}, {"value", 11, true}, {"", 0, false}},
               rows, "");
    printf("%d record%s, oldest first\n", used, used == 1 ? "" : "s");
    return kOk;
}

int showHistory(const std::string& directory, int lines)
{
    std::vector<std::string> all;
    std::string error;
    if (!openRunDirectory(directory, false, error) || !readHistory(all, error))
        return fail(error);
    size_t from = lines > 0 && all.size() > static_cast<size_t>(lines) ? all.size() - lines : 0;
    if (!g_common.json) {
        for (size_t n = from; n < all.size(); ++n)
            printf("%s\n", printable(all[n]).c_str());
        return kOk;
    }
    Json events = Json::array();
    for (size_t n = from; n < all.size(); ++n) {
        std::istringstream in(all[n]);
        std::string date, time, event, text;
        in >> date >> time >> event;
        std::getline(in >> std::ws, text);
        events.push_back({{"time", date + " " + time}, {"event", event}, {"text", text}});
    }
    printJson(events);
    return kOk;
}

/* Socket paths may be given by their short name, "a_adrm". */
std::string socketPath(const std::string& name)
{
    return name.find('/') == std::string::npos ? "/var/spool/sockets/" + name : name;
}

int jamLog(const std::vector<std::string>& sends, const std::vector<std::string>& clears)
{
    for (const std::string& send : sends) {
        std::vector<std::string> parts;
        std::stringstream in(send);
        for (std::string part; std::getline(in, part, ':');)
            parts.push_back(part);
        size_t eq = parts.empty() ? std::string::npos : parts[0].find('=');
        if (eq == std::string::npos || parts.size() > 3)
            return reportUsage("powctl jamlog", "--send: '" + send + "' is not DST=SRC[:KIND[:SEQ]]");
        std::string dst = socketPath(parts[0].substr(0, eq));
        std::string src = socketPath(parts[0].substr(eq + 1));
        unsigned long long kind = 0, seq = 0;
        if ((parts.size() > 1 && !parseMask(parts[1], kind)) || (parts.size() > 2 && !parseMask(parts[2], seq)))
            return reportUsage("powctl jamlog", "--send: '" + send + "': KIND and SEQ are numbers, decimal or 0x hexadecimal");
        if (SockSendIndexSearch(dst.data()) == -1)
            return reportUsage("powctl jamlog", "--send: '" + dst + "' is not a known socket path");
        LIB_POW_setSockSendLog(dst.data(), src.data(), static_cast<unsigned long>(kind),
                               static_cast<unsigned long>(seq));
    }
    for (std::string dst : clears)
        LIB_POW_clearSockSendLog(socketPath(dst).data());
    LIB_POW_getSockSendJamLog();
    return kOk;
}

void addListingCommands(CLI::App& app, Args& a, Commands& c)
{
    command(&app, c, "semlog", "list the semaphore trace area, oldest record first",
            [&a]() -> int { return listSemLog(a.libraryListing); })
        ->add_flag("--library", a.libraryListing, "the library's own listing (LIB_POW_showSemLog), in area order");
    CLI::App* history = command(&app, c, "history",
                                "what the running power service saw: indices taken and released, total changes, "
                                "repairs, power-saving decisions (kept by powsvc run in its runtime directory)",
                                [&a]() -> int { return showHistory(runDirectory(a.runDir), a.historyLines); });
    history->add_option("--lines", a.historyLines, "only the last N lines")->transform(wholeNumber(1, 100000));
    history->add_option("--run-dir", a.runDir,
                        "the service's runtime directory; default $" POWSVC_RUN_DIR_VARIABLE ", else " POWSVC_RUN_DIR);
    addJsonFlag(history, "a JSON list of the events, one object each, for scripts");
    CLI::App* jamlog = command(&app, c, "jamlog", "record socket sends in this process and list its jam log",
                               [&a]() -> int { return jamLog(a.sends, a.clears); });
    jamlog->add_option("--send", a.sends, "DST=SRC[:KIND[:SEQ]] (paths or short names like a_adrm)");
    jamlog->add_option("--clear", a.clears, "DST whose record is cleared after the sends");
}

/* --trace and --timeout on every command, so that each one's --help shows
 * them and they may stand before or after the command. */
void addCommonOptions(CLI::App* app)
{
    app->add_option("--trace", g_common.traceMask,
                    "library log mask for this run, decimal or 0x hex (1 failures, 0x10 decisions, 0x71 all)")
        ->transform(maskNumber())
        ->group(kCommonOptions);
    app->add_option("--timeout", g_common.limit.seconds,
                    "give up (exit 2) when a semaphore this command needs is still held after this many "
                    "seconds; default: wait, saying who holds it")
        ->check(secondsNumber(3600, true))
        ->group(kCommonOptions);
    for (CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; })) {
        sub->footer("");
        addCommonOptions(sub);
    }
}

const char kFooter[] =
    "Exit status: 0 done; 1 the answer no: delay check not delayed, audit or status found damage; 2 failed\n"
    "(one line on stderr says why) or a command line it cannot use; 128+N when stopped by signal N before its time was\n"
    "over (after giving back what it took).\n\n"
    "Numbers are decimal (08 is eight); --trace, --sem-id and jamlog's KIND and SEQ also take 0x hexadecimal.\n\n"
    "Waiting: the library waits for a semaphore without limit. Before calling it, powctl waits itself: after\n"
    "half a second it says 'waiting for POW, held by pid N (name)' on stderr; --timeout SECONDS gives up.\n"
    "status, watch, semlog, sem show and history never wait.\n\n"
    "Index 0 is the power service's own: the sweep never releases it.";

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"powctl: look at and drive the device power service through LIB_POW", "powctl"};
    describeProgram(app, "powctl (LIB_POW) " LIBPOW_VERSION, kFooter);
    app.fallthrough();
    app.add_flag("--json", g_common.json, "JSON output, for the commands that have it");
    Args args;
    Commands commands;
    addStatusCommand(app, commands);
    addWatchCommand(app, args, commands);
    addDelayCommands(app, args, commands);
    addFlagCommands(app, args, commands);
    addTimerCommands(app, args, commands);
    addSemaphoreCommands(app, args, commands);
    addAuditCommands(app, commands);
    addListingCommands(app, args, commands);
    addCommonOptions(&app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return reportParseError(app, e);
    }
    g_common.limit.started = monotonicSeconds();
    std::string path = app.get_name();
    CLI::App* command = deepestCommand(app, path);
    if (g_common.json && command->get_option_no_throw("--json") == nullptr)
        return reportUsage(path, "--json: this command has no JSON output");
    if (path == "powctl delay release" && (args.releasePid != 0) == (command->count("INDEX") > 0))
        return reportUsage(path, "give INDEX or --pid PID, one of them");
    for (CLI::App* at = command; at != nullptr; at = at->get_parent())
        if (at->count("--trace") > 0)
            LIB_POW_setLogLevel(static_cast<unsigned>(g_common.traceMask));

    /* Every command reads or writes mapped objects, through the library or
     * the kit: one cut short under it ends the command with a line saying
     * so, never the process with a bus error. */
    int rc = kFailed;
    if (!libraryCall([&] { rc = commands.at(command)(); }))
        return fail(faultText(kNames));
    return rc;
}
