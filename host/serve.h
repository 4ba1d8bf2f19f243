// `panel serve`: the host's long-running program. Runs the scheduler (host/scheduler.h), the
// web server and the plug-in's background upkeep side by side until SIGINT or SIGTERM.
#pragma once

#include "host/web_server.h"

#include <functional>
#include <stop_token>
#include <string>

namespace rivi {

struct ServeOptions {
  std::string listen = "127.0.0.1:8888";  // web server address
  bool web = true;                        // false: the scheduler alone
  PluginMethods plugin;                   // how the web server calls the plug-in
  // The plug-in's background upkeep (e.g. its data retention), run on a thread of its own until
  // the stop token is requested; empty: none. It reports its own failures and must not throw.
  std::function<void(std::stop_token)> upkeep;
};

// Runs until a stop signal; answers the process exit status.
int serve(const ServeOptions& options);

}  // namespace rivi
