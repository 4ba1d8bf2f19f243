// rivi-dispatch: the dispatch centre. Without --config it runs the embedded default: it listens on
// 127.0.0.1:8890 and asks three in-process nodes that may probe this machine's own sites. Its lines
// go to standard error with their priorities (host/journal.h). Exit status: 0 stopped by a signal;
// 1 it could not start (configuration, address); 2 a wrong command line.
#include "dispatch/centre.h"
#include "dispatch/signing.h"
#include "host/command_line.h"
#include "host/descriptor_limit.h"
#include "host/journal.h"
#include "host/stop_signal.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <string>

namespace {

using rivi::journal::Priority;

void log(Priority priority, const std::string& text) { rivi::journal::log_line(priority, "rivi-dispatch: " + text); }

// Warns about each key file of `config` that every user of the machine may read or change.
void warn_about_key_files(const rivi::dispatch::CentreConfig& config) {
  for (const std::string& file : config.key_files) {
    if (auto warning = rivi::dispatch::key_file_warning(file)) log(Priority::warning, "warning: " + *warning);
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"rivi-dispatch: asks every probe node to fetch a URL and answers their results"};
  rivi::command_line::identify(app, "rivi-dispatch", RIVI_VERSION);
  app.footer(
      "Without --config the embedded default runs: it listens on 127.0.0.1:8890 and asks three in-process\n"
      "nodes (本机节点1, 本机节点2, 本机节点3) that may probe this machine's own sites; it asks callers for\n"
      "no key and answers within 30 s.\n"
      "A configuration names the listening address, the deadlines, the callers allowed and the nodes; an\n"
      "example with remote nodes and keys: " RIVI_CENTRE_EXAMPLE "\n"
      "(dispatch/centre.example.json in the sources). The packaged service reads /etc/rivi/centre.json.\n"
      "SIGHUP reads the configuration again; one that does not load leaves the running one in place.");
  std::string config_path;
  std::string listen;
  // A bad address is a wrong command line.
  const auto listen_address = rivi::command_line::checked_by(
      [](const std::string& value) { rivi::dispatch::split_host_port(value); }, "HOST:PORT");
  app.add_option("-c,--config", config_path, "configuration file (JSON); default: the embedded one, below")
      ->check(CLI::ExistingFile);
  app.add_option("-l,--listen", listen, "host:port to listen on, overriding the configuration")
      ->check(listen_address);
  if (const auto status = rivi::command_line::parse(app, argc, argv)) return *status;

  // Every connection and every probe holds a descriptor; thousands may be open at once.
  rivi::raise_descriptor_limit();

  try {
    rivi::dispatch::CentreConfig config =
        config_path.empty() ? rivi::dispatch::embedded_config() : rivi::dispatch::load_config(config_path);
    if (!listen.empty()) config.listen = listen;
    warn_about_key_files(config);
    rivi::dispatch::Centre centre(config);
    const bool loopback_only = config.listen.rfind("127.", 0) == 0 || config.listen.rfind("[::1]:", 0) == 0 ||
                               config.listen.rfind("localhost:", 0) == 0;
    const bool inner_nodes = std::any_of(config.nodes.begin(), config.nodes.end(),
                                         [](const rivi::dispatch::NodeEntry& n) { return n.local() && n.allow_private; });
    if (!loopback_only && config.allowed_serverids.empty() && config.access_key.empty()) {
      log(Priority::warning,
          std::string("warning: listening beyond loopback without a caller check") +
              (inner_nodes ? "; anyone who reaches it can probe this machine's inner network" : ""));
    }

    // SIGHUP reads the configuration file again; a file that does not load leaves the nodes as
    // they are. Requests in flight finish with the configuration they started with.
    const auto reload = [&] {
      if (config_path.empty()) {
        log(Priority::notice, "reload: no configuration file; the embedded default stays");
        return;
      }
      try {
        rivi::dispatch::CentreConfig fresh = rivi::dispatch::load_config(config_path);
        const std::size_t count = fresh.nodes.size();
        warn_about_key_files(fresh);
        centre.reload(std::move(fresh));
        log(Priority::info, "reloaded " + config_path + " with " + std::to_string(count) + " node(s)");
      } catch (const std::exception& e) {
        log(Priority::err, std::string("reload failed, the previous configuration stays: ") + e.what());
      }
    };
    // Watching before the port opens: whoever sees it open may signal at once (a reload right
    // after the start must not end the centre, as SIGHUP's default would).
    const rivi::StopSignalWatcher stop_on_signal([&] { centre.stop(); }, reload);
    const int port = centre.bind();

    log(Priority::info, "listening on " + config.listen.substr(0, config.listen.rfind(':')) + ':' +
                            std::to_string(port) + " with " + std::to_string(config.nodes.size()) + " node(s)");
    centre.run();
    log(Priority::info, "stopped");
    return 0;
  } catch (const std::exception& e) {
    log(Priority::err, e.what());
    return 1;
  } catch (...) {
    log(Priority::err, "an unexpected failure");
    return 1;
  }
}
