// rivi-node: one probe node. It answers POST /probe (form field `url`) with one measured fetch.
// Inner addresses (loopback, private, link-local) are refused unless --allow-private is given.
// Its key, when it has one, comes from --key-file or the environment variable RIVI_NODE_KEY, never
// from the command line, where every user of the machine could read it.
#include "dispatch/config.h"
#include "dispatch/node.h"
#include "host/server_socket.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace {

// The key in the file at `path`, without trailing blanks and line breaks. Throws
// std::runtime_error naming the file when it cannot be read or holds no key.
std::string read_key_file(const std::string& path) {
  const auto fail = [&](const std::string& why) { throw std::runtime_error("cannot read the key file " + path + ": " + why); };
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec) fail(ec.message());
  if (!std::filesystem::is_regular_file(status)) fail("not a regular file");
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  std::string key = text.str();
  key.erase(key.find_last_not_of(" \t\r\n") + 1);
  if (key.empty()) fail("the file is empty");
  return key;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"rivi-node: measures one fetch of a URL for the dispatch centre"};
  std::string listen = "127.0.0.1:8891";
  std::string key_file;
  rivi::dispatch::NodeOptions options;
  options.probe.isp = "rivi-node";
  app.add_option("-l,--listen", listen, "host:port to listen on")->capture_default_str();
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
                 "file holding the shared key callers must send (form field key); else RIVI_NODE_KEY");
  CLI11_PARSE(app, argc, argv);

  try {
    if (!key_file.empty()) {
      options.key = read_key_file(key_file);
    } else if (const char* env = std::getenv("RIVI_NODE_KEY"); env && *env) {
      options.key = env;
    }
    const auto [host, port] = rivi::dispatch::split_host_port(listen);
    rivi::dispatch::NodeServer node(options);
    node.bind(host, port);

    const rivi::StopSignalWatcher stop_on_signal([&] { node.stop(); });

    std::cerr << "rivi-node: listening on " << listen << (options.probe.allow_private ? " (inner addresses allowed)" : "")
              << (options.key.empty() ? " without a key" : "") << std::endl;
    node.run();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "rivi-node: " << e.what() << '\n';
    return 1;
  }
}
