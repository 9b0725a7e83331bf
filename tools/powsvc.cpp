/*
 * powsvc - stands in for the device's power service: makes, resets and
 * removes the shared objects that every LIB_POW user attaches, and writes
 * records into the semaphore trace area so that its viewer has something
 * to show.
 */
#include "area_owner.h"

#include <CLI/CLI.hpp>
#include <cstdio>

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

    CLI::App* semlog = app.add_subcommand("semlog", "write the semaphore trace area");
    semlog->require_subcommand(1);
    SemLogInput record;
    CLI::App* semlogAdd = semlog->add_subcommand(
        "add", "append one record after the marked one and mark it (after record 100: back to 1)");
    semlogAdd->add_option("NAME", record.semName, "semaphore name (at most 51 characters)")->required();
    semlogAdd->add_option("STATUS", record.status, "status text (at most 7 characters)")->required();
    semlogAdd->add_option("VALUE", record.value, "value")->required();
    semlogAdd->add_option("--sem-id", record.semId, "semaphore handle to show (default 0)");
    CLI::App* semlogClear = semlog->add_subcommand("clear", "zero every record and the mark");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    AreaNames names;
    std::string error;
    bool ok = true;
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
