// `panel serve`: the host's long-running program. Runs the scheduler (host/scheduler.h) and the
// web server side by side until SIGINT or SIGTERM; one of them a panel root, held by a lock.
#pragma once

#include "host/web_server.h"

#include <filesystem>
#include <string>

namespace rivi {

// <root>/data/scheduler.lock
std::filesystem::path scheduler_lock_path();

// The exclusive lock (flock) on the root's scheduler lock file, held while the object lives and
// released by the system when the process ends however it ends. Throws std::runtime_error naming
// the root when another process holds it, or naming the file when it cannot be opened.
class RootLock {
 public:
  RootLock();
  ~RootLock();
  RootLock(const RootLock&) = delete;
  RootLock& operator=(const RootLock&) = delete;

 private:
  int fd_ = -1;
};

struct ServeOptions {
  std::string listen = "127.0.0.1:8888";  // web server address
  bool web = true;                        // false: the scheduler alone
  PluginMethods plugin;                   // how the web server calls the plug-in
};

// Takes the root's lock, then runs until a stop signal; answers the process exit status.
int serve(const ServeOptions& options);

}  // namespace rivi
