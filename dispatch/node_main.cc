// rivi-node: one probe node. It answers POST /probe (form field `url`) with one measured fetch.
// Inner addresses (loopback, private, link-local) are refused unless --allow-private is given.
// Its key, when it has one, comes from --key-file or the environment variable RIVI_NODE_KEY, never
// from the command line, where every user of the machine could read it. With --tls-cert and
// --tls-key it serves HTTPS and prints its certificate's SHA-256 fingerprint, for the centre to pin;
// SIGHUP reads the certificate and key again, and the probes' CA file (--probe-ca-file).
// Its lines go to standard error with their priorities (host/journal.h). Exit status: 0 stopped
// by a signal; 1 it could not start (key, certificate, address); 2 a wrong command line.
#include "dispatch/config.h"
#include "dispatch/node.h"
#include "dispatch/signing.h"
#include "dispatch/tls.h"
#include "host/command_line.h"
#include "host/descriptor_limit.h"
#include "host/journal.h"
#include "host/stop_signal.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <string>

namespace {

using rivi::journal::Priority;

void log(Priority priority, const std::string& text) { rivi::journal::log_line(priority, "rivi-node: " + text); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"rivi-node: measures one fetch of a URL for the dispatch centre"};
  rivi::command_line::identify(app, "rivi-node", RIVI_VERSION);
  std::string listen = "127.0.0.1:8891";
  // A bad address is a wrong command line.
  const auto listen_address = rivi::command_line::checked_by(
      [](const std::string& value) { rivi::dispatch::split_host_port(value); }, "HOST:PORT");
  std::string key_file;
  rivi::dispatch::NodeOptions options;
  options.probe.isp = "rivi-node";
  app.add_option("-l,--listen", listen, "host:port to listen on")
      ->check(listen_address)
      ->capture_default_str();
  app.add_option("--isp", options.probe.isp, "label this node reports as its isp")->capture_default_str();
  app.add_flag("--allow-private", options.probe.allow_private,
               "probe loopback, private and link-local addresses too");
  app.add_option("--timeout-ms", options.probe.timeout_ms, "time-out of one fetch")
      ->check(CLI::Range(1L, 55000L))
      ->capture_default_str();
  app.add_option("--max-bytes", options.probe.max_bytes, "largest response body read")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 30))
      ->capture_default_str();
  app.add_option("--key-file", key_file,
                 "file holding the shared key requests must be signed with; else RIVI_NODE_KEY");
  app.add_option("--tls-cert", options.tls_certificate, "serve HTTPS with this certificate chain (PEM)")
      ->check(CLI::ExistingFile);
  app.add_option("--tls-key", options.tls_key, "the certificate's private key (PEM)")->check(CLI::ExistingFile);
  app.add_option("--probe-ca-file", options.probe_ca_file,
                 "PEM file of authorities trusted for the sites probed, beside the system's (read again on SIGHUP)")
      ->check(CLI::ExistingFile);
  app.get_option("--tls-cert")->needs("--tls-key");
  app.get_option("--tls-key")->needs("--tls-cert");
  if (const auto status = rivi::command_line::parse(app, argc, argv)) return *status;

  // Warns about each file holding a key that every user of the machine may read or change.
  const auto warn_about_key_files = [&] {
    for (const std::string& file : {key_file, options.tls_key}) {
      if (file.empty()) continue;
      if (auto warning = rivi::dispatch::key_file_warning(file)) {
        log(Priority::warning, "warning: " + *warning);
      }
    }
  };

  // Every connection and every probe holds a descriptor; thousands may be open at once.
  rivi::raise_descriptor_limit();

  try {
    if (!key_file.empty()) {
      options.key = rivi::dispatch::read_key_file(key_file);
    } else if (const char* env = std::getenv("RIVI_NODE_KEY"); env && *env) {
      options.key = env;
    }
    const auto [host, port] = rivi::dispatch::split_host_port(listen);
    rivi::dispatch::NodeServer node(options);
    warn_about_key_files();  // once they have been read: a file that cannot be is an error of its own

    const bool tls = !options.tls_certificate.empty();
    const auto fingerprint = [&] {
      return rivi::dispatch::fingerprint_text(rivi::dispatch::certificate_fingerprint(options.tls_certificate));
    };
    const auto reload = [&] {
      if (!options.probe_ca_file.empty()) {
        try {
          node.reload_probe_ca();
          log(Priority::info, "reloaded the probes' CA file " + options.probe_ca_file);
        } catch (const std::exception& e) {
          log(Priority::err, "reload of the probes' CA file failed, the previous one stays: " + std::string(e.what()));
        }
      }
      if (!tls) return warn_about_key_files();
      try {
        node.reload_tls();
        warn_about_key_files();
        log(Priority::info, "reloaded the certificate, SHA-256 fingerprint " + fingerprint());
      } catch (const std::exception& e) {
        log(Priority::err, "reload failed, the previous certificate stays: " + std::string(e.what()));
      }
    };
    // Watching before the port opens: whoever sees it open may signal at once.
    const rivi::StopSignalWatcher stop_on_signal([&] { node.stop(); }, reload);
    node.bind(host, port);

    if (tls) {
      log(Priority::info, "HTTPS certificate SHA-256 fingerprint " + fingerprint());
    }
    log(Priority::info, "listening on " + listen + (tls ? " (HTTPS)" : "") +
                            (options.probe.allow_private ? " (inner addresses allowed)" : "") +
                            (options.key.empty() ? " without a key" : ""));
    node.run();
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
