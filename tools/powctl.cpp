/*
 * powctl - the power service from a device shell: what is reserved and by
 * whom, the flags, the weekly timer, the semaphores and the trace area.
 *
 * Every command goes through the shared library exactly as a device process
 * would; `--trace MASK` shows the library's own trace of the command.
 * Exit codes: 0 done, 1 the library reported a failure (or an area is
 * missing), 2 bad usage.
 */
#include "area_owner.h"
#include "cli_usage.h"
#include "LIB_PowerService.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const AreaNames kNames;

enum Exit { kOk = 0, kFailed = 1, kUsage = 2 };

/* A one-line failure that names what went wrong. */
int fail(int code, const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "powctl: %s\n", message.c_str());
    return code;
}

bool areaExists(const std::string& name)
{
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd == -1)
        return false;
    close(fd);
    return true;
}

int missingArea(const std::string& name)
{
    return fail(kFailed, "shared area " + name + " not found (is the power service running? powsvc create makes it)");
}

/* ---- Reading the power area ------------------------------------------- */

/* Words other processes change as we look: one load each. */
template <typename T>
T loadWord(const T& word)
{
    return __atomic_load_n(&word, __ATOMIC_RELAXED);
}

struct Holder {
    int index;
    pid_t pid;
    int count;
    bool running;
    std::string name;
};

struct PowerSnapshot {
    int total = 0;
    int freeDepth = 0;
    int resetTimer = 0;
    bool noneReserved = false;
    bool hddSleepDelay = false;
    bool hddReady = false;
    std::vector<Holder> held;
};

std::string processName(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

bool processRuns(pid_t pid)
{
    return kill(pid, 0) == 0 || errno == EPERM;
}

/* Read without any semaphore: a look at a device that may be wedged must
 * never wait. The table can be mid-change; the next look settles it. */
PowerSnapshot readPower(const PwrSharedArea* area)
{
    PowerSnapshot s;
    s.total = loadWord(area->DelayTaskNum);
    s.freeDepth = loadWord(area->us_FreeIndexNum);
    s.resetTimer = loadWord(area->uc_ResetAutoSleepTimer);
    s.noneReserved = loadWord(area->b_DelayPowerSaveTaskNoneReserved) != 0;
    s.hddSleepDelay = loadWord(area->b_HddSleepDelay) != 0;
    s.hddReady = loadWord(area->b_HddReady) != 0;
    for (int i = 0; i < LIB_POW_DELAY_INDEX_COUNT; ++i) {
        pid_t pid = loadWord(area->sl_DelayPid[i]);
        if (pid != 0)
            s.held.push_back({i, pid, loadWord(area->ss_DelayCount[i]), processRuns(pid), processName(pid)});
    }
    return s;
}

const PwrSharedArea* mapPower(std::string& error)
{
    return static_cast<const PwrSharedArea*>(mapArea(kNames.pwr, sizeof(PwrSharedArea), error));
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) >= 0x20)
            out += c;
    }
    return out + "\"";
}

void printStatus(const PowerSnapshot& s)
{
    printf("delay total: %d (%s)\n", s.total, s.total != 0 ? "power saving is delayed" : "nothing reserved");
    printf("free-index stack depth: %d\n", s.freeDepth);
    printf("flags: hdd-ready=%d reset-timer=0x%x none-reserved=%d hdd-sleep-delay=%d\n", s.hddReady,
           s.resetTimer, s.noneReserved, s.hddSleepDelay);
    printf("held indices: %zu\n", s.held.size());
    if (!s.held.empty())
        printf("  %5s %8s %-16s %-8s %6s\n", "index", "pid", "process", "state", "count");
    for (const Holder& h : s.held)
        printf("  %5d %8d %-16s %-8s %6d\n", h.index, h.pid, h.name.c_str(), h.running ? "running" : "ended",
               h.count);
}

void printStatusJson(const PowerSnapshot& s)
{
    printf("{\"total\":%d,\"free_depth\":%d,\"flags\":{\"hdd_ready\":%s,\"reset_timer\":%d,"
           "\"none_reserved\":%s,\"hdd_sleep_delay\":%s},\"held\":[",
           s.total, s.freeDepth, s.hddReady ? "true" : "false", s.resetTimer, s.noneReserved ? "true" : "false",
           s.hddSleepDelay ? "true" : "false");
    for (size_t n = 0; n < s.held.size(); ++n) {
        const Holder& h = s.held[n];
        printf("%s{\"index\":%d,\"pid\":%d,\"process\":%s,\"running\":%s,\"count\":%d}", n ? "," : "", h.index,
               h.pid, jsonString(h.name).c_str(), h.running ? "true" : "false", h.count);
    }
    printf("]}\n");
}

/* ---- audit and repair ------------------------------------------------------ */

void collectFinding(const LIB_POW_Finding* finding, void* context)
{
    static_cast<std::vector<LIB_POW_Finding>*>(context)->push_back(*finding);
}

/* The owner kit's audit of the reservation table: exit 0 when it is clean,
 * 1 when it finds damage (notes do not count). */
int auditTable(bool asJson)
{
    std::vector<LIB_POW_Finding> findings;
    LIB_POW_AuditSummary s = {};
    LIB_POW_OwnerError error = {};
    int damage = LIB_POW_ownerAudit(nullptr, nullptr, -1, collectFinding, &findings, &s, &error);
    if (damage < 0)
        return fail(kFailed, error.text);
    if (asJson) {
        printf("{\"damage\":%d,\"notes\":%d,\"total\":%d,\"count_sum\":%ld,\"free_count\":%d,\"held\":%d,"
               "\"findings\":[",
               s.damage, s.notes, s.total, s.countSum, s.freeCount, s.held);
        for (size_t n = 0; n < findings.size(); ++n) {
            const LIB_POW_Finding& f = findings[n];
            printf("%s{\"kind\":\"%s\",\"damage\":%s,\"index\":%d,\"position\":%d,\"value\":%ld,\"text\":%s}",
                   n ? "," : "", LIB_POW_ownerFindingName(f.kind), f.damage ? "true" : "false", f.index, f.position,
                   f.value, jsonString(f.text).c_str());
        }
        printf("]}\n");
    } else {
        for (const LIB_POW_Finding& f : findings)
            printf("%s: %s\n", f.damage ? "damage" : "note", f.text);
        printf("%d damage, %d note%s (total %d, sum of the counts %ld, free %d, held %d)\n", s.damage, s.notes,
               s.notes == 1 ? "" : "s", s.total, s.countSum, s.freeCount, s.held);
    }
    return damage > 0 ? kFailed : kOk;
}

int repairTable()
{
    LIB_POW_RepairReport report = {};
    LIB_POW_OwnerError error = {};
    if (LIB_POW_ownerRepair(nullptr, nullptr, -1, &report, &error) < 0)
        return fail(kFailed, error.text);
    char text[1024];
    printf("%s\n", LIB_POW_ownerDescribeRepair(&report, text, sizeof text));
    return kOk;
}

/* ---- watch ----------------------------------------------------------------- */

volatile sig_atomic_t g_stop = 0;

void onStopSignal(int)
{
    g_stop = 1;
}

std::string timestamp()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm local;
    localtime_r(&tv.tv_sec, &local);
    char text[32];
    snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
             static_cast<int>(tv.tv_usec / 1000));
    return text;
}

/* The differences between two looks, one line each. */
std::vector<std::string> changes(const PowerSnapshot& was, const PowerSnapshot& now)
{
    std::vector<std::string> out;
    std::map<int, const Holder*> before, after;
    for (const Holder& h : was.held)
        before[h.index] = &h;
    for (const Holder& h : now.held)
        after[h.index] = &h;
    for (const auto& [index, h] : after) {
        auto old = before.find(index);
        if (old == before.end() || old->second->pid != h->pid)
            out.push_back("index " + std::to_string(index) + " taken by pid " + std::to_string(h->pid) + " (" +
                          h->name + ")");
        else if (old->second->count != h->count)
            out.push_back("index " + std::to_string(index) + " count " + std::to_string(old->second->count) +
                          " -> " + std::to_string(h->count));
        if (old != before.end() && old->second->running && !h->running)
            out.push_back("index " + std::to_string(index) + ": holder pid " + std::to_string(h->pid) +
                          " has ended");
    }
    for (const auto& [index, h] : before)
        if (!after.count(index))
            out.push_back("index " + std::to_string(index) + " released (was pid " + std::to_string(h->pid) + ")");
    if ((was.total == 0) != (now.total == 0))
        out.push_back(now.total != 0 ? "total 0 -> " + std::to_string(now.total) + ": power saving delayed"
                                     : "total " + std::to_string(was.total) + " -> 0: nothing reserved");
    auto flag = [&](const char* name, int a, int b) {
        if (a != b)
            out.push_back(std::string("flag ") + name + " " + std::to_string(a) + " -> " + std::to_string(b));
    };
    flag("hdd-ready", was.hddReady, now.hddReady);
    flag("reset-timer", was.resetTimer, now.resetTimer);
    flag("none-reserved", was.noneReserved, now.noneReserved);
    flag("hdd-sleep-delay", was.hddSleepDelay, now.hddSleepDelay);
    return out;
}

int watchPower(int intervalMs, double seconds)
{
    std::string error;
    const PwrSharedArea* area = mapPower(error);
    if (area == nullptr)
        return missingArea(kNames.pwr);
    signal(SIGINT, onStopSignal);
    signal(SIGTERM, onStopSignal);
    PowerSnapshot was = readPower(area);
    printf("%s watching %s (total %d, %zu held); Ctrl-C ends\n", timestamp().c_str(), kNames.pwr.c_str(),
           was.total, was.held.size());
    fflush(stdout);
    timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    while (!g_stop) {
        usleep(static_cast<useconds_t>(intervalMs) * 1000);
        PowerSnapshot now = readPower(area);
        for (const std::string& line : changes(was, now))
            printf("%s %s\n", timestamp().c_str(), line.c_str());
        fflush(stdout);
        was = now;
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (seconds > 0 && (t.tv_sec - started.tv_sec) + (t.tv_nsec - started.tv_nsec) / 1e9 >= seconds)
            break;
    }
    return kOk;
}

/* ---- delays ---------------------------------------------------------------- */

int reserveDelay(int count, double holdSeconds, bool noRelease)
{
    if (!areaExists(kNames.pwr))
        return missingArea(kNames.pwr);
    /* Handlers first: whoever sees the "reserved" line may stop the job at
     * once and must get the release, not a default death. */
    signal(SIGINT, onStopSignal);
    signal(SIGTERM, onStopSignal);
    short index = LIB_POW_setPowerSaveDelay(-1);
    if (index == -1)
        return fail(kFailed, "no delay index could be reserved (free-index stack empty?)");
    for (int n = 1; n < count; ++n)
        LIB_POW_setPowerSaveDelay(index);
    printf("pid %d reserved delay index %d, count %d\n", getpid(), index, count);
    fflush(stdout);
    for (double left = holdSeconds; left > 0 && !g_stop; left -= 0.05)
        usleep(50 * 1000);
    if (noRelease) {
        printf("pid %d exits without resetting index %d, as a crashed job would\n", getpid(), index);
        return kOk;
    }
    for (int n = 0; n < count; ++n)
        LIB_POW_resetPowerSaveDelay(index);
    printf("pid %d reset index %d %d time(s); it stays held until this process ends\n", getpid(), index, count);
    return kOk;
}

/* ---- calendar -------------------------------------------------------------- */

struct Date {
    int year = 0, month = 0, day = 0;
};

/* Parses YYYY-MM-DD; an impossible date gives its reason. */
std::optional<Date> parseDate(const std::string& text, std::string& reason)
{
    Date d;
    char tail = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2d%c", &d.year, &d.month, &d.day, &tail) != 3) {
        reason = "'" + text + "' is not a date of the form YYYY-MM-DD";
        return std::nullopt;
    }
    if (d.year < 2000 || d.year > 2089) {
        reason = text + ": the weekly timer covers the years 2000 to 2089";
        return std::nullopt;
    }
    if (d.month < 1 || d.month > 12) {
        reason = text + ": month " + std::to_string(d.month) + " does not exist";
        return std::nullopt;
    }
    unsigned char last = 0;
    LIB_POW_getWeeklyTimerLastDate(static_cast<unsigned short>(d.year), static_cast<unsigned char>(d.month), &last);
    if (d.day < 1 || d.day > last) {
        reason = text + ": day " + std::to_string(d.day) + " does not exist, that month has " +
                 std::to_string(last) + " days";
        return std::nullopt;
    }
    return d;
}

const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

/* One month as `cal` lays it out, Sunday first; a switched-on day carries
 * a '*' after its number. */
int showMonth(int year, int month)
{
    unsigned char first = 0, last = 0;
    unsigned short y = static_cast<unsigned short>(year);
    unsigned char m = static_cast<unsigned char>(month);
    if (LIB_POW_getWeeklyTimerFirstWeek(y, m, &first) != 0 || LIB_POW_getWeeklyTimerLastDate(y, m, &last) != 0)
        return fail(kFailed, "no such month in the weekly timer: " + std::to_string(year) + "-" +
                                 std::to_string(month));
    std::string title = std::string(kMonthNames[month - 1]) + " " + std::to_string(year);
    int width = 7 * 3 - 1;
    printf("%*s%s\n", static_cast<int>((width - title.size()) / 2), "", title.c_str());
    printf("Su Mo Tu We Th Fr Sa\n");
    std::string row(static_cast<size_t>(first) * 3, ' ');
    for (int day = 1; day <= last; ++day) {
        bool on = false;
        signed char rc = LIB_POW_getWeeklyTimerDateOn(y, m, static_cast<unsigned char>(day), &on);
        if (rc != 0)
            return fail(kFailed, "reading the weekly timer failed (" + std::to_string(rc) + ")");
        char cell[8];
        snprintf(cell, sizeof cell, "%2d%c", day, on ? '*' : ' ');
        row += cell;
        if ((first + day) % 7 == 0 || day == last) {
            while (!row.empty() && row.back() == ' ')
                row.pop_back();
            printf("%s\n", row.c_str());
            row.clear();
        }
    }
    printf("\n");
    return kOk;
}

/* ---- semaphores ------------------------------------------------------------ */

const char* const kSemNames[] = {nullptr, "POW", "NVD", "HddReady"};

int holdSemaphore(int which, double seconds)
{
    signal(SIGINT, onStopSignal);
    signal(SIGTERM, onStopSignal);
    LIB_POW_dbgSemLock(which);
    SemId held = which == 1 ? g_semPowID : which == 2 ? g_semNvdID : g_semRdyID;
    if (held == 0)
        return fail(kFailed, std::string("the ") + kSemNames[which] + " semaphore could not be taken");
    printf("pid %d holds the %s semaphore for %.1f s\n", getpid(), kSemNames[which], seconds);
    fflush(stdout);
    for (double left = seconds; left > 0 && !g_stop; left -= 0.05)
        usleep(50 * 1000);
    LIB_POW_dbgSemUnLock(which);
    printf("pid %d gave the %s semaphore back\n", getpid(), kSemNames[which]);
    return kOk;
}

/* The dump shows the handles this process holds; look them up by name
 * first (without taking anything) so that a fresh shell sees them all. A
 * semaphore nobody has used yet is left unmade: a look must not change the
 * device. The platform keeps each one as /dev/shm/PLAT_sem.<name>. */
SemId openExisting(const std::string& name, std::vector<std::string>& unmade)
{
    if (access(("/dev/shm/PLAT_sem." + name).c_str(), F_OK) != 0) {
        unmade.push_back(name);
        return 0;
    }
    return PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(name.c_str()));
}

int showSemaphores()
{
    std::vector<std::string> unmade;
    g_semPowID = openExisting(kNames.semPow, unmade);
    g_semNvdID = openExisting(kNames.semNvd, unmade);
    g_semRdyID = openExisting(kNames.semRdy, unmade);
    int err = PLAT_errnoGet();
    LIB_POW_semShow();
    for (const std::string& name : unmade)
        printf("%s: not made yet (no process has locked it)\n", name.c_str());
    size_t missing = (g_semPowID == 0) + (g_semNvdID == 0) + (g_semRdyID == 0);
    if (missing > unmade.size())
        return fail(kFailed, std::string("a semaphore could not be opened: ") + strerror(err));
    return kOk;
}

/* Socket paths may be given by their short name, "a_adrm". */
std::string socketPath(const std::string& name)
{
    return name.find('/') == std::string::npos ? "/var/spool/sockets/" + name : name;
}

unsigned long parseNumber(const std::string& text)
{
    return std::stoul(text, nullptr, 0);
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"powctl: look at and drive the device power service through LIB_POW"};
    app.require_subcommand(1);
    app.fallthrough();
    std::string traceMask;
    app.add_option("--trace", traceMask, "log mask for this run (e.g. 0x71 shows every trace line)");

    /* status / watch */
    bool json = false;
    CLI::App* status = app.add_subcommand("status", "the power area at a glance");
    status->add_flag("--json", json, "one JSON object, for scripts");
    int intervalMs = 500;
    double watchSeconds = 0;
    CLI::App* watch = app.add_subcommand("watch", "print each change of the power area with a timestamp");
    watch->add_option("--interval", intervalMs, "milliseconds between looks")->check(CLI::Range(10, 60000));
    watch->add_option("--seconds", watchSeconds, "stop after this long (default: until interrupted)");

    /* delays */
    CLI::App* delay = app.add_subcommand("delay", "power-save delay reservations");
    delay->require_subcommand(1);
    int count = 1;
    double hold = 0;
    bool noRelease = false;
    CLI::App* reserve = delay->add_subcommand("reserve", "act as a job: reserve, count, hold, reset");
    reserve->add_option("--count", count, "requests to count on the index")->check(CLI::Range(1, 32767));
    reserve->add_option("--hold", hold, "seconds to hold before resetting")->check(CLI::NonNegativeNumber);
    reserve->add_flag("--no-release", noRelease, "exit without resetting, as a crashed job would");
    CLI::App* delayCheck = delay->add_subcommand("check", "is power saving delayed (LIB_POW_IsPowerSaveDelay)");
    int index = 0;
    CLI::App* delaySet = delay->add_subcommand("set", "count one request on INDEX");
    delaySet->add_option("INDEX", index, "delay index 0..255")->required();
    CLI::App* delayReset = delay->add_subcommand("reset", "count one request off INDEX");
    delayReset->add_option("INDEX", index, "delay index 0..255")->required();
    CLI::App* sweep = app.add_subcommand("sweep", "release the indices of ended holders (LIB_POW_IsHddSleepDelay)");

    /* flags */
    std::string action;
    CLI::App* hddReady = app.add_subcommand("hdd-ready", "the hard disk ready flag: get | set 0|1");
    hddReady->add_option("ACTION", action, "get or set")->required()->check(CLI::IsMember({"get", "set"}));
    int value = -1;
    hddReady->add_option("VALUE", value, "0 or 1 (for set)")->check(CLI::Range(0, 1));
    CLI::App* resetTimer = app.add_subcommand("reset-timer", "auto-sleep timer reset: request | peek | take");
    resetTimer->add_option("ACTION", action, "request, peek or take")
        ->required()
        ->check(CLI::IsMember({"request", "peek", "take"}));
    CLI::App* noneReserved = app.add_subcommand("none-reserved", "the none-reserved note: peek | take");
    noneReserved->add_option("ACTION", action, "peek or take")->required()->check(CLI::IsMember({"peek", "take"}));
    CLI::App* sleepDelay = app.add_subcommand("hdd-sleep-delay", "the HDD sleep delay flag: get | clear");
    sleepDelay->add_option("ACTION", action, "get (also sweeps) or clear")
        ->required()
        ->check(CLI::IsMember({"get", "clear"}));

    /* weekly timer */
    CLI::App* timer = app.add_subcommand("timer", "the weekly power timer calendar");
    timer->require_subcommand(1);
    int year = 0, month = 0;
    CLI::App* timerShow = timer->add_subcommand("show", "month grids with switched-on days marked '*'");
    timerShow->add_option("YEAR", year, "2000..2089")->required()->check(CLI::Range(2000, 2089));
    timerShow->add_option("MONTH", month, "1..12 (default: the whole year)")->check(CLI::Range(1, 12));
    std::string dateText, onOff;
    CLI::App* timerSet = timer->add_subcommand("set", "switch a day on or off");
    timerSet->add_option("DATE", dateText, "YYYY-MM-DD")->required();
    timerSet->add_option("STATE", onOff, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    CLI::App* timerGet = timer->add_subcommand("get", "is a day switched on");
    timerGet->add_option("DATE", dateText, "YYYY-MM-DD")->required();

    /* semaphores and logs */
    CLI::App* sem = app.add_subcommand("sem", "the three named semaphores");
    sem->require_subcommand(1);
    CLI::App* semShow = sem->add_subcommand("show", "dump the three semaphores");
    int which = 0;
    double seconds = 0;
    CLI::App* semHold = sem->add_subcommand("hold", "take semaphore N (1 POW, 2 NVD, 3 HddReady) and hold it");
    semHold->add_option("N", which, "1, 2 or 3")->required()->check(CLI::Range(1, 3));
    semHold->add_option("SECONDS", seconds, "how long")->required()->check(CLI::NonNegativeNumber);
    bool auditJson = false;
    CLI::App* audit = app.add_subcommand("audit", "check the reservation table for damage (exit 1 when found)");
    audit->add_flag("--json", auditJson, "one JSON object, for scripts");
    CLI::App* repair = app.add_subcommand("repair", "mend the damage the audit finds and say what changed");
    CLI::App* semlog = app.add_subcommand("semlog", "list the semaphore trace area");
    std::vector<std::string> sends, clears;
    CLI::App* jamlog = app.add_subcommand("jamlog", "record socket sends in this process and list its jam log");
    jamlog->add_option("--send", sends, "DST=SRC[:KIND[:SEQ]] (paths or short names like a_adrm)");
    jamlog->add_option("--clear", clears, "DST whose record is cleared after the sends");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return reportParseError(app, e, "powctl");
    }

    if (!traceMask.empty()) {
        try {
            LIB_POW_setLogLevel(static_cast<unsigned>(parseNumber(traceMask)));
        } catch (const std::exception&) {
            return fail(kUsage, "--trace: '" + traceMask + "' is not a number");
        }
    }

    if (*status) {
        std::string error;
        const PwrSharedArea* area = mapPower(error);
        if (area == nullptr)
            return missingArea(kNames.pwr);
        PowerSnapshot s = readPower(area);
        json ? printStatusJson(s) : printStatus(s);
        return kOk;
    }
    if (*watch)
        return watchPower(intervalMs, watchSeconds);
    if (*delay) {
        if (*reserve)
            return reserveDelay(count, hold, noRelease);
        if (!areaExists(kNames.pwr))
            return missingArea(kNames.pwr);
        if (*delayCheck) {
            printf("%s\n", LIB_POW_IsPowerSaveDelay() ? "delayed" : "not delayed");
            return kOk;
        }
        if (index < 0 || index > 255)
            return fail(kUsage, "INDEX: " + std::to_string(index) + " is not a delay index 0..255");
        if (*delaySet) {
            short got = LIB_POW_setPowerSaveDelay(static_cast<short>(index));
            printf("%d\n", got);
            return got == -1 ? fail(kFailed, "the request was refused") : kOk;
        }
        LIB_POW_resetPowerSaveDelay(static_cast<short>(index));
        return kOk;
    }
    if (*sweep || *hddReady || *resetTimer || *noneReserved || *sleepDelay) {
        if (!areaExists(kNames.pwr))
            return missingArea(kNames.pwr);
        if (*sweep) {
            printf("hdd-sleep-delay=%d\n", LIB_POW_IsHddSleepDelay());
        } else if (*hddReady && action == "get") {
            printf("%d\n", LIB_POW_isHddReady());
        } else if (*hddReady) {
            if (value < 0)
                return fail(kUsage, "hdd-ready set: VALUE 0 or 1 is required");
            LIB_POW_setHddReady(value == 1);
        } else if (*resetTimer && action == "request") {
            LIB_POW_putResetAutoSleepTimer();
        } else if (*resetTimer) {
            printf("0x%x\n", LIB_POW_getResetAutoSleepTimer(action == "take"));
        } else if (*noneReserved) {
            printf("%d\n", LIB_POW_getDelayPowerSaveTaskNoneReserved(action == "take"));
        } else if (action == "get") {
            printf("%d\n", LIB_POW_IsHddSleepDelay());
        } else {
            LIB_POW_setPowerSaveDelayForService();
        }
        return kOk;
    }
    if (*timer) {
        if (*timerShow) {
            int rc = kOk;
            for (int m = month ? month : 1; m <= (month ? month : 12) && rc == kOk; ++m)
                rc = showMonth(year, m);
            return rc;
        }
        std::string reason;
        std::optional<Date> d = parseDate(dateText, reason);
        if (!d)
            return fail(kUsage, "DATE: " + reason);
        unsigned short y = static_cast<unsigned short>(d->year);
        unsigned char m = static_cast<unsigned char>(d->month), day = static_cast<unsigned char>(d->day);
        signed char rc;
        bool on = false;
        if (*timerSet)
            rc = LIB_POW_setWeeklyTimerDateOn(y, m, day, onOff == "on");
        else
            rc = LIB_POW_getWeeklyTimerDateOn(y, m, day, &on);
        if (rc == -1)
            return fail(kFailed, "the calendar area or its semaphore could not be had (is the power service running?)");
        if (rc != 0)
            return fail(kFailed, "the library refused " + dateText + " (" + std::to_string(rc) + ")");
        if (*timerGet)
            printf("%s %s\n", dateText.c_str(), on ? "on" : "off");
        return kOk;
    }
    if (*sem)
        return *semShow ? showSemaphores() : holdSemaphore(which, seconds);
    if (*audit)
        return auditTable(auditJson);
    if (*repair)
        return repairTable();
    if (*semlog) {
        if (LIB_POW_getLogShmPtr() == nullptr)
            return missingArea(kNames.semLog);
        LIB_POW_showSemLog();
        return kOk;
    }
    if (*jamlog) {
        for (const std::string& send : sends) {
            std::vector<std::string> parts;
            std::stringstream in(send);
            for (std::string part; std::getline(in, part, ':');)
                parts.push_back(part);
            size_t eq = parts.empty() ? std::string::npos : parts[0].find('=');
            if (eq == std::string::npos)
                return fail(kUsage, "--send: '" + send + "' is not DST=SRC[:KIND[:SEQ]]");
            std::string dst = socketPath(parts[0].substr(0, eq));
            std::string src = socketPath(parts[0].substr(eq + 1));
            unsigned long kind = 0, seq = 0;
            try {
                kind = parts.size() > 1 ? parseNumber(parts[1]) : 0;
                seq = parts.size() > 2 ? parseNumber(parts[2]) : 0;
            } catch (const std::exception&) {
                return fail(kUsage, "--send: '" + send + "' has a KIND or SEQ that is not a number");
            }
            if (SockSendIndexSearch(dst.data()) == -1)
                return fail(kUsage, "--send: '" + dst + "' is not a known socket path");
            LIB_POW_setSockSendLog(dst.data(), src.data(), kind, seq);
        }
        for (std::string dst : clears)
            LIB_POW_clearSockSendLog(socketPath(dst).data());
        LIB_POW_getSockSendJamLog();
        return kOk;
    }
    return kUsage;
}
