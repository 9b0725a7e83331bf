/*
 * powsvc - stands in for the device's power service: makes, resets and
 * removes the shared objects that every LIB_POW user attaches, and writes
 * records into the semaphore trace area so that its viewer has something
 * to show.
 */
#include "area_owner.h"
#include "cli_usage.h"
#include "LIB_PowerService.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/time.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_stop = 0;

void onStopSignal(int)
{
    g_stop = 1;
}

double monotonicSeconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

/* One line of the service's log, stamped to the millisecond so that it can
 * be lined up with `powctl watch`. */
void say(const std::string& message)
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm local;
    localtime_r(&tv.tv_sec, &local);
    printf("%02d:%02d:%02d.%03d %s\n", local.tm_hour, local.tm_min, local.tm_sec,
           static_cast<int>(tv.tv_usec / 1000), message.c_str());
    fflush(stdout);
}

std::string seconds(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%g", value);
    return text;
}

struct RunOptions {
    double graceSeconds = 5;
    int tickMs = 200;
    std::string traceMask;
};

/* Mends what a client killed in the middle of a change left in the table;
 * a clean table costs one short holding of POW and no line. A failure is
 * said once, not on every tick. */
void repairTable(const LIB_POW_Names& names, int timeoutMs, std::string& lastError)
{
    LIB_POW_RepairReport report = {};
    LIB_POW_OwnerError error = {};
    int changes = LIB_POW_ownerRepair(&names, nullptr, timeoutMs, &report, &error);
    if (changes < 0 && lastError != error.text)
        say(std::string("repair skipped: ") + error.text);
    lastError = changes < 0 ? error.text : "";
    char text[1024];
    if (changes > 0)
        say(std::string("repaired the reservation table: ") + LIB_POW_ownerDescribeRepair(&report, text, sizeof text));
}

/* The service's own loop: keep index 0, mend the table on every tick, take
 * reset requests, sweep ended holders once a second, and decide when the
 * device may save power: when nothing has been reserved for a whole grace
 * period. */
int runService(const AreaNames& names, const RunOptions& run)
{
    if (!run.traceMask.empty()) {
        try {
            LIB_POW_setLogLevel(static_cast<unsigned>(std::stoul(run.traceMask, nullptr, 0)));
        } catch (const std::exception&) {
            fprintf(stderr, "powsvc: --trace: '%s' is not a number\n", run.traceMask.c_str());
            return 2;
        }
    }
    AreaOptions options;
    options.index0Pid = getpid();
    std::string error;
    if (!createAreas(names, options, error) || !claimIndex0(names, getpid(), error)) {
        fprintf(stderr, "powsvc: %s\n", error.c_str());
        return 1;
    }
    signal(SIGINT, onStopSignal);
    signal(SIGTERM, onStopSignal);
    say("running as pid " + std::to_string(getpid()) + ": areas ready, delay index 0 is ours");

    bool saving = false;
    double lastActive = monotonicSeconds();
    double lastSweep = 0;
    std::string lastRepairError;
    while (!g_stop) {
        repairTable(names.kit(), run.tickMs, lastRepairError);
        double now = monotonicSeconds();
        if (LIB_POW_getResetAutoSleepTimer(true) == 2) {
            say(std::string("auto-sleep timer reset requested") + (saving ? "; leaving power saving" : ""));
            saving = false;
            lastActive = now;
        }
        if (now - lastSweep >= 1.0) {
            LIB_POW_IsHddSleepDelay();
            lastSweep = now;
        }
        if (LIB_POW_getDelayPowerSaveTaskNoneReserved(true))
            say("reservations dropped to none");
        if (LIB_POW_IsPowerSaveDelay()) {
            if (saving)
                say("leaving power saving: a delay is reserved");
            saving = false;
            lastActive = now;
        } else if (!saving && now - lastActive >= run.graceSeconds) {
            say("entering power saving: no delay for " + seconds(run.graceSeconds) + " s");
            saving = true;
        }
        usleep(static_cast<useconds_t>(run.tickMs) * 1000);
    }
    say("stopping; the areas stay in place");
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

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"powsvc: the power service's shared objects (stand-in for the device's owner)"};
    app.require_subcommand(1);

    AreaOptions options;
    CLI::App* create = app.add_subcommand("create", "make the three shared objects when missing");
    create->add_flag("--reset", options.reset, "rewrite objects that already exist to their initial state");
    create->add_option("--index0-pid", options.index0Pid, "process kept at delay index 0 (default: nobody)")
        ->check(CLI::NonNegativeNumber);
    CLI::App* remove = app.add_subcommand("remove", "unlink the three objects and the three semaphores");

    RunOptions run;
    CLI::App* serve = app.add_subcommand("run", "be the power service in the foreground until SIGINT/SIGTERM");
    serve->add_option("--grace", run.graceSeconds, "seconds without any delay before power saving")
        ->check(CLI::Range(0.0, 3600.0));
    serve->add_option("--tick-ms", run.tickMs, "milliseconds between looks at the area")->check(CLI::Range(10, 10000));
    serve->add_option("--trace", run.traceMask, "library log mask for the service (e.g. 0x10)");

    CLI::App* semlog = app.add_subcommand("semlog", "write the semaphore trace area");
    semlog->require_subcommand(1);
    SemLogInput record;
    CLI::App* semlogAdd = semlog->add_subcommand(
        "add", "append one record after the marked one and mark it (after record 100: back to 1)");
    semlogAdd->add_option("NAME", record.semName, "semaphore name (at most 51 characters)")
        ->required()
        ->check(atMost(51));
    semlogAdd->add_option("STATUS", record.status, "status text (at most 7 characters)")->required()->check(atMost(7));
    semlogAdd->add_option("VALUE", record.value, "value")->required();
    semlogAdd->add_option("--sem-id", record.semId, "semaphore handle to show (default 0)");
    CLI::App* semlogClear = semlog->add_subcommand("clear", "zero every record and the mark");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return reportParseError(app, e, "powsvc");
    }

    AreaNames names;
    std::string error;
    bool ok = true;
    if (*serve)
        return runService(names, run);
    if (*create)
        ok = createAreas(names, options, error);
    else if (*remove)
        ok = removeAreas(names, error);
    else if (*semlogAdd) {
        int position = 0;
        ok = appendSemLogRecord(names.semLog, record, position, error);
    } else if (*semlogClear)
        ok = clearSemLog(names.semLog, error);
    if (!ok) {
        fprintf(stderr, "powsvc: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
