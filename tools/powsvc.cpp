/*
 * powsvc - stands in for the device's power service: makes, resets and
 * removes the shared objects that every LIB_POW user attaches.
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
    if (!ok) {
        fprintf(stderr, "powsvc: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
