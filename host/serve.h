// `panel serve`: the host's long-running program. Runs the scheduler (host/scheduler.h) and the
// web server side by side until SIGINT or SIGTERM.
#pragma once

#include "host/web_server.h"

#include <string>

namespace rivi {

struct ServeOptions {
  std::string listen = "127.0.0.1:8888";  // web server address
  bool web = true;                        // false: the scheduler alone
  PluginMethods plugin;                   // how the web server calls the plug-in
};

// Runs until a stop signal; answers the process exit status.
int serve(const ServeOptions& options);

}  // namespace rivi
