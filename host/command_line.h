// How the programs read their command lines, as scripts expect: the help names the program as it
// is installed, `--version` prints "<program> <version>" and exits 0, and a usage error (unknown
// option or subcommand, missing argument, bad value) prints one line saying what is wrong and a
// hint to --help on standard error and exits 2. Other exit statuses are each program's own.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>

namespace rivi::command_line {

inline constexpr int kUsageError = 2;

// Names `app` `program` and gives it `--version`, printing "<program> <version>".
void identify(CLI::App& app, const std::string& program, const std::string& version);

// A validator of option values for which `check` does not throw; the exception's message says
// what is wrong with the others. `name` describes the values in the help (e.g. "HOST:PORT").
CLI::Validator checked_by(std::function<void(const std::string&)> check, const std::string& name);

// Parses `argv` into `app`. Answers the exit status when the program ends here: 0 after --help or
// --version (printed on standard output), kUsageError after a usage error (reported as
// `usage_error` does); nothing when it goes on.
std::optional<int> parse(CLI::App& app, int argc, const char* const* argv);

// Reports a usage error found by the program itself, such as a value no validator of `app`
// checks: "<program> [<subcommand>]: error: <message>" on one line and the hint to --help of the
// subcommand parsed last, on standard error. Answers kUsageError.
int usage_error(const CLI::App& app, const std::string& message);

}  // namespace rivi::command_line
