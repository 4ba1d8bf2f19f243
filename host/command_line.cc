#include "host/command_line.h"

#include "host/journal.h"


namespace rivi::command_line {

namespace {

// The subcommand parsed last (or `app`), whose help the hint names.
const CLI::App& innermost(const CLI::App& app) {
  const CLI::App* at = &app;
  for (;;) {
    const auto parsed = at->get_subcommands();
    if (parsed.empty()) return *at;
    at = parsed.back();
  }
}

// "rivi-panel call": the names from the program down to `app`.
std::string full_name(const CLI::App& app) {
  const CLI::App* parent = app.get_parent();
  return parent ? full_name(*parent) + " " + app.get_name() : app.get_name();
}

// A message of one line: CLI11's few multi-line ones are joined.
std::string one_line(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

void identify(CLI::App& app, const std::string& program, const std::string& version) {
  app.name(program);
  app.set_version_flag("--version", program + " " + version, "Print the program's name and version and exit");
}

CLI::Validator checked_by(std::function<void(const std::string&)> check, const std::string& name) {
  return CLI::Validator(
      [check = std::move(check)](const std::string& value) -> std::string {
        try {
          check(value);
          return "";
        } catch (const std::exception& e) {
          return e.what();
        }
      },
      name);
}

std::optional<int> parse(CLI::App& app, int argc, const char* const* argv) {
  try {
    app.parse(argc, argv);
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);  // --help, --version
    // A word where a subcommand was required is one this program does not know.
    if (app.get_require_subcommand_min() > 0 && app.get_subcommands().empty() && !app.remaining().empty()) {
      return usage_error(app, "unknown subcommand: " + app.remaining().front());
    }
    return usage_error(app, e.what());
  }
}

int usage_error(const CLI::App& app, const std::string& message) {
  const std::string name = full_name(innermost(app));
  journal::log_line(journal::Priority::err,
                    name + ": error: " + one_line(message) + "\nRun '" + name + " --help' for more information.");
  return kUsageError;
}

}  // namespace rivi::command_line
