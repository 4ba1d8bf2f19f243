// rivi-dispatch: the dispatch centre. Without --config it runs the embedded default: it listens on
// 127.0.0.1:8890 and asks three in-process nodes that may probe this machine's own sites.
#include "dispatch/centre.h"
#include "dispatch/signing.h"
#include "host/descriptor_limit.h"
#include "host/stop_signal.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>

namespace {

// Warns about each key file of `config` that every user of the machine may read or change.
void warn_about_key_files(const rivi::dispatch::CentreConfig& config) {
  for (const std::string& file : config.key_files) {
    if (auto warning = rivi::dispatch::key_file_warning(file)) {
      std::cerr << ("rivi-dispatch: warning: " + *warning + "\n") << std::flush;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"rivi-dispatch: asks every probe node to fetch a URL and answers their results"};
  app.footer(
      "Without --config the embedded default runs: it listens on 127.0.0.1:8890 and asks three in-process\n"
      "nodes (本机节点1, 本机节点2, 本机节点3) that may probe this machine's own sites; it asks callers for\n"
      "no key and answers within 30 s.\n"
      "A configuration names the listening address, the deadlines, the callers allowed and the nodes; an\n"
      "example with remote nodes and keys: " RIVI_CENTRE_EXAMPLE "\n"
      "(dispatch/centre.example.json in the sources). The packaged service reads /etc/rivi/centre.json.");
  std::string config_path;
  std::string listen;
  app.add_option("-c,--config", config_path, "configuration file (JSON); default: the embedded one, below")
      ->check(CLI::ExistingFile);
  app.add_option("-l,--listen", listen, "host:port to listen on, overriding the configuration");
  CLI11_PARSE(app, argc, argv);

  // Every connection and every probe holds a descriptor; thousands may be open at once.
  rivi::raise_descriptor_limit();

  try {
    rivi::dispatch::CentreConfig config =
        config_path.empty() ? rivi::dispatch::embedded_config() : rivi::dispatch::load_config(config_path);
    if (!listen.empty()) {
      rivi::dispatch::split_host_port(listen);
      config.listen = listen;
    }
    warn_about_key_files(config);
    rivi::dispatch::Centre centre(config);
    const bool loopback_only = config.listen.rfind("127.", 0) == 0 || config.listen.rfind("[::1]:", 0) == 0 ||
                               config.listen.rfind("localhost:", 0) == 0;
    const bool inner_nodes = std::any_of(config.nodes.begin(), config.nodes.end(),
                                         [](const rivi::dispatch::NodeEntry& n) { return n.local() && n.allow_private; });
    if (!loopback_only && config.allowed_serverids.empty() && config.access_key.empty()) {
      std::cerr << "rivi-dispatch: warning: listening beyond loopback without a caller check"
                << (inner_nodes ? "; anyone who reaches it can probe this machine's inner network" : "") << std::endl;
    }

    // SIGHUP reads the configuration file again; a file that does not load leaves the nodes as
    // they are. Requests in flight finish with the configuration they started with.
    const auto reload = [&] {
      if (config_path.empty()) {
        std::cerr << "rivi-dispatch: reload: no configuration file; the embedded default stays" << std::endl;
        return;
      }
      try {
        rivi::dispatch::CentreConfig fresh = rivi::dispatch::load_config(config_path);
        const std::size_t count = fresh.nodes.size();
        warn_about_key_files(fresh);
        centre.reload(std::move(fresh));
        std::cerr << "rivi-dispatch: reloaded " << config_path << " with " << count << " node(s)" << std::endl;
      } catch (const std::exception& e) {
        std::cerr << "rivi-dispatch: reload failed, the previous configuration stays: " << e.what() << std::endl;
      }
    };
    // Watching before the port opens: whoever sees it open may signal at once (a reload right
    // after the start must not end the centre, as SIGHUP's default would).
    const rivi::StopSignalWatcher stop_on_signal([&] { centre.stop(); }, reload);
    const int port = centre.bind();

    std::cerr << "rivi-dispatch: listening on " << config.listen.substr(0, config.listen.rfind(':')) << ':' << port
              << " with " << config.nodes.size() << " node(s)" << std::endl;
    centre.run();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "rivi-dispatch: " << e.what() << '\n';
    return 1;
  }
}
