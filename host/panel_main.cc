// The panel program: `panel install`, `panel call qn_rivi [--pretty] METHOD key=value ...` (or
// without a method, the list of methods), `panel serve`, `panel passwd`. Installed as `rivi-panel`,
// the name its help and messages use. Exit status: 0 done; 1 an error, or an answer of `panel call`
// that is a refusal (an object whose `status` is false, still printed); 2 a wrong command line.
#include "host/web/admin_auth.h"
#include "host/cli_json.h"
#include "host/command_line.h"
#include "host/journal.h"
#include "host/descriptor_limit.h"
#include "host/install.h"
#include "host/paths.h"
#include "host/record.h"
#include "host/serve.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/alert_delivery.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/metrics.h"
#include "plugin/qn_rivi/retention.h"
#include "plugin/qn_rivi/run_accounting.h"
#include "plugin/qn_rivi/status_page.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr const char* kProgram = "rivi-panel";

// Builds the argument record from "key=value" pairs, in order; values stay text as from a form.
// Answers the first pair that is none in `bad`.
rivi::Record form_args(const std::vector<std::string>& pairs, std::string& bad) {
  rivi::Record args = rivi::Record::object();
  for (const auto& pair : pairs) {
    const auto eq = pair.find('=');
    if (eq == std::string::npos || eq == 0) {
      bad = pair;
      return args;
    }
    args[pair.substr(0, eq)] = pair.substr(eq + 1);
  }
  return args;
}

// An answer that refuses what was asked: {"status": false, ...}.
bool is_refusal(const rivi::Record& answer) {
  return answer.is_object() && answer.contains("status") && answer["status"].is_boolean() &&
         !answer["status"].get<bool>();
}

void print_error(const std::string& what) { rivi::journal::log_line(rivi::journal::Priority::err, "error: " + what); }

constexpr std::string_view kMethodsHeading = "Web methods of qn_rivi (rivi-panel call qn_rivi METHOD key=value ...):\n";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The server panel that hosts the qn_rivi website probing plug-in.\n"
               "The panel root is PANEL_ROOT (default /www/server/panel)."};
  rivi::command_line::identify(app, kProgram, RIVI_VERSION);
  app.require_subcommand(1);

  auto* install = app.add_subcommand("install", "Lay out the panel root (idempotent, destroys nothing)");

  auto* call = app.add_subcommand("call", "Call one web method of a plug-in and print its answer as JSON");
  std::string plugin, method;
  std::vector<std::string> pairs;
  bool pretty = false;
  call->add_option("plugin", plugin, "Plug-in name (qn_rivi)")->required();
  call->add_option("method", method, "Method name; without one, the methods are listed");
  call->add_option("args", pairs, "Arguments as key=value");
  call->add_flag("--pretty", pretty, "Indent the answer, one item a line");
  call->footer(std::string(kMethodsHeading) + rivi::web_methods_help());

  auto* serve = app.add_subcommand("serve", "Run the scheduler and the web server until stopped");
  rivi::ServeOptions options;
  serve->add_option("--listen", options.listen, "Web server address host:port")->capture_default_str();
  bool no_web = false;
  serve->add_flag("--no-web", no_web, "Run the scheduler alone");

  auto* passwd = app.add_subcommand("passwd", "Set the web administrator's password (a new random one by default)");
  bool password_stdin = false;
  passwd->add_flag("--stdin", password_stdin, "Read the new password from the first line of standard input");

  if (const auto status = rivi::command_line::parse(app, argc, argv)) return *status;

  try {
    if (*install) {
      rivi::install_panel(rivi::panel_root(), rivi::executable_dir());
      std::cout << "panel root ready: " << rivi::panel_root().string() << "\n";
      rivi::make_admin_password_at_install(std::cout);
      return 0;
    }
    if (*passwd) {
      std::string password;
      if (password_stdin) {
        if (!std::getline(std::cin, password)) throw std::invalid_argument("no password on standard input");
      } else {
        password = rivi::random_password();
      }
      rivi::set_admin_password(password);
      if (password_stdin) std::cout << "panel administrator password changed\n";
      else std::cout << "panel administrator password: " << password << "\n";
      return 0;
    }
    if (*call) {
      if (plugin != "qn_rivi") throw std::invalid_argument("unknown plug-in: " + plugin);
      if (method.empty()) {
        std::cout << kMethodsHeading << rivi::web_methods_help();
        return 0;
      }
      if (!rivi::web_methods().contains(method))
        throw std::out_of_range("unknown method: " + method + " (`panel call qn_rivi` lists the methods)");
      std::string bad;
      rivi::Record args = form_args(pairs, bad);
      if (!bad.empty()) return rivi::command_line::usage_error(app, "arguments are key=value pairs, got: " + bad);
      // One call is the whole process: what it wrote leaves the write-ahead log (see store.h).
      struct CheckpointAtEnd {
        ~CheckpointAtEnd() { rivi::checkpoint_thread_writes(); }
      } checkpoint;
      const rivi::Record answer = rivi::call_web_method(method, args);
      std::cout << rivi::readable_json(answer, pretty) << std::endl;
      return is_refusal(answer) ? 1 : 0;
    }
    if (*serve) {
      options.web = !no_web;
      options.plugin = {[](const std::string& name) { return rivi::web_methods().contains(name); },
                        rivi::call_web_method, rivi::token_scope_of};
      options.upkeep.emplace_back([retention = rivi::RetentionOptions::for_panel()](std::stop_token stop) {
        rivi::keep_result_retention(stop, retention);
      });
      // The outbox's retries and digests.
      options.upkeep.emplace_back([](std::stop_token stop) { rivi::keep_alert_delivery(stop, {}); });
      options.upkeep.emplace_back([accounting = rivi::run_accounting::Options::for_panel()](std::stop_token stop) {
        rivi::run_accounting::keep_runs_accounted(stop, accounting);
      });
      options.metrics = rivi::panel_metrics;
      options.status = {rivi::status_page::render, rivi::status_page::badge,
                        std::string(rivi::status_page::stylesheet())};
      // Room for the web server's 1,024 connections beside the database, the logs and the jobs.
      // Capped: the jobs it starts inherit the limit, and some programs walk every descriptor
      // number up to it.
      rivi::raise_descriptor_limit(4096);
      const int status = rivi::serve(options);
      rivi::journal::log_line(rivi::journal::Priority::info, "panel serve: stopped");
      return status;
    }
  } catch (const std::exception& e) {
    print_error(e.what());
    return 1;
  } catch (...) {
    print_error("an unexpected failure");
    return 1;
  }
  return 0;
}
