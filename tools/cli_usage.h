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

#include "program.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

/* The deepest command the parser got to, e.g. "powctl delay set". */
inline CLI::App* deepestCommand(CLI::App& app, std::string& path)
{
    CLI::App* at = &app;
    while (!at->get_subcommands().empty()) {
        at = at->get_subcommands().front();
        path += " " + at->get_name();
    }
    return at;
}

/* One usage line found after parsing, e.g. two options that do not go
 * together; gives 2. */
inline int reportUsage(const std::string& path, const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "%s: %s (see %s --help)\n", path.c_str(), message.c_str(), path.c_str());
    return 2;
}

/* Handles a parse failure: --help prints the help and gives 0; anything else
 * prints one line on stderr and gives 2. */
inline int reportParseError(CLI::App& app, const CLI::ParseError& e)
{
    if (e.get_exit_code() == 0)
        return app.exit(e);
    std::string path = app.get_name();
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
    return reportUsage(path, message);
}

/* Every command and what it runs; the deepest command parsed runs. */
using Commands = std::map<const CLI::App*, std::function<int()>>;

inline CLI::App* command(CLI::App* parent, Commands& commands, const char* name, const std::string& help,
                         std::function<int()> run)
{
    CLI::App* added = parent->add_subcommand(name, help);
    commands[added] = std::move(run);
    return added;
}

/* A command that only groups others: one of them must follow. */
inline CLI::App* group(CLI::App* parent, const char* name, const char* help)
{
    return parent->add_subcommand(name, help)->require_subcommand(1);
}

/* ---- --help-all -------------------------------------------------------------
 * CLI11's own goes one level down, and runs each command's description into
 * its options. This one lists every command at every depth under a heading
 * line of its own ("powctl delay set INDEX:"), then its description, then
 * its arguments and options, with blank lines between, which help2man turns
 * into one sub-section of the manual page per command. Options of the group
 * kCommonOptions, which every command takes, are listed once, at the top. */
const char kCommonOptions[] = "Options of every command";

class EveryCommandFormatter : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override
    {
        if (mode != CLI::AppFormatMode::All)
            return CLI::Formatter::make_help(app, name, mode);
        std::string out = make_description(app) + make_usage(app, name) + make_groups(app, mode) + "\n" +
                          make_footer(app) + "\nEvery command, with its arguments and options:\n";
        for (const CLI::App* sub : app->get_subcommands({}))
            out += commandHelp(sub);
        return out;
    }

private:
    std::string commandHelp(const CLI::App* command) const
    {
        std::string heading, arguments, options;
        for (const CLI::App* at = command; at != nullptr; at = at->get_parent())
            heading = at->get_name() + (heading.empty() ? "" : " " + heading);
        for (const CLI::Option* opt : command->get_options()) {
            if (opt->get_positional()) {
                heading += " " + (opt->get_required() ? opt->get_name() : "[" + opt->get_name() + "]");
                arguments += make_option(opt, true);
            } else if (opt != command->get_help_ptr() && opt != command->get_help_all_ptr() &&
                       opt->get_group() != kCommonOptions) {
                options += make_option(opt, false);
            }
        }
        std::vector<const CLI::App*> subs = command->get_subcommands({});
        std::string listed = arguments + options;
        std::string out = "\n" + heading + (subs.empty() ? "" : " SUBCOMMAND") + ":\n  " +
                          command->get_description() + "\n" + (listed.empty() ? "" : "\n" + listed);
        for (const CLI::App* sub : subs)
            out += commandHelp(sub);
        return out;
    }
};

/* What both programs' command lines have alike: a command is required,
 * --version, --help-all as above, the footer under --help. The app's name
 * also becomes g_program. */
inline void describeProgram(CLI::App& app, const std::string& version, const char* footer)
{
    g_program = app.get_name();
    app.formatter(std::make_shared<EveryCommandFormatter>());
    app.require_subcommand(1);
    app.set_version_flag("--version", version);
    app.set_help_all_flag("--help-all", "print the help of every command, at every depth");
    app.footer(footer);
}

/* ---- Numbers as people type them ------------------------------------------
 * CLI11 reads "08" as octal (and refuses it) and "010" as 8, and takes
 * "nan", " 5" or "1e3" for seconds. Operators type decimal: every number
 * goes through one of these checks, which also state the real limits. Each
 * rewrites the text to its plain decimal form before CLI11 converts it. */

/* Whole text a decimal number (an optional '-' where `negative`); true with
 * the value. Leading zeros are decimal. */
inline bool parseDecimal(const std::string& text, bool negative, long long& value)
{
    size_t digits = negative && !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() <= digits || text.size() - digits > 12 ||
        text.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    value = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

/* Decimal, or hexadecimal after an explicit 0x; 0..0xffffffff. */
inline bool parseMask(const std::string& text, unsigned long long& value)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
    std::string body = hex ? text.substr(2) : text;
    if (body.empty() || body.size() > (hex ? 8u : 10u) || body.find_first_not_of(digits) != std::string::npos)
        return false;
    value = std::strtoull(body.c_str(), nullptr, hex ? 16 : 10);
    return value <= 0xffffffffULL;
}

inline CLI::Validator wholeNumber(long long min, long long max)
{
    std::string range = std::to_string(min) + ".." + std::to_string(max);
    return CLI::Validator(
        [=](std::string& text) {
            long long value = 0;
            if (!parseDecimal(text, min < 0, value) || value < min || value > max)
                return "'" + text + "' is not a whole number from " + std::to_string(min) + " to " +
                       std::to_string(max);
            text = std::to_string(value);
            return std::string();
        },
        range);
}

/* A mask or handle: decimal or 0x hexadecimal, 32 bits. */
inline CLI::Validator maskNumber()
{
    return CLI::Validator(
        [](std::string& text) {
            unsigned long long value = 0;
            if (!parseMask(text, value))
                return "'" + text + "' is not a number: decimal or 0x hexadecimal, 0 to 0xffffffff";
            text = std::to_string(value);
            return std::string();
        },
        "decimal or 0x hex");
}

/* Seconds: digits with an optional fraction, from min (or just above 0 when
 * min is 0 and zero is not allowed) to max. */
inline CLI::Validator secondsNumber(double max, bool zeroAllowed)
{
    std::string range = std::string(zeroAllowed ? "0" : ">0") + ".." + std::to_string(static_cast<int>(max));
    return CLI::Validator(
        [=](std::string& text) {
            size_t dot = text.find('.');
            std::string whole = text.substr(0, dot), fraction = dot == std::string::npos ? "0" : text.substr(dot + 1);
            bool digits = !whole.empty() && !fraction.empty() && whole.size() < 9 &&
                          whole.find_first_not_of("0123456789") == std::string::npos &&
                          fraction.find_first_not_of("0123456789") == std::string::npos;
            double value = digits ? std::strtod(text.c_str(), nullptr) : -1;
            if (!digits || value > max || (!zeroAllowed && value <= 0))
                return "'" + text + "' is not a number of seconds from " + (zeroAllowed ? "0" : "just above 0") +
                       " to " + std::to_string(static_cast<int>(max));
            return std::string();
        },
        range);
}

#endif
