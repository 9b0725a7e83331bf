/*
 * cli_usage.h - how powctl and powsvc report a command line they cannot use.
 *
 * CLI11 prints two lines per mistake and, for a missing or unknown command,
 * does not say what was typed. Someone at a device shell (or a script that
 * greps stderr) is better served by one line that names the command path
 * and the argument at fault.
 */
#ifndef LIBPOW_CLI_USAGE_H
#define LIBPOW_CLI_USAGE_H

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

/* The deepest command the parser got to, e.g. "powctl delay set". */
inline CLI::App* deepestCommand(CLI::App& app, std::string& path)
{
    CLI::App* at = &app;
    for (bool deeper = true; deeper;) {
        deeper = false;
        for (CLI::App* sub : at->get_subcommands()) {
            path += " " + sub->get_name();
            at = sub;
            deeper = true;
            break;
        }
    }
    return at;
}

/* Handles a parse failure: --help prints the help and gives 0; anything else
 * prints one line on stderr and gives 2. */
inline int reportParseError(CLI::App& app, const CLI::ParseError& e, const std::string& program)
{
    if (e.get_exit_code() == 0)
        return app.exit(e);
    std::string path = program;
    CLI::App* at = deepestCommand(app, path);
    std::string message = e.what();
    if (message.find("subcommand is required") != std::string::npos) {
        std::string choices;
        for (const CLI::App* sub : at->get_subcommands([](const CLI::App*) { return true; }))
            choices += (choices.empty() ? "" : ", ") + sub->get_name();
        std::vector<std::string> typed = app.remaining(true);
        message = typed.empty() ? "a command is required (one of: " + choices + ")"
                                : "'" + typed.front() + "' is not a command (one of: " + choices + ")";
    }
    fflush(stdout);
    fprintf(stderr, "%s: %s (see %s --help)\n", path.c_str(), message.c_str(), path.c_str());
    return 2;
}

#endif
