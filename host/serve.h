// `panel serve`: the host's long-running program. Runs the scheduler (host/scheduler.h), the web
// server and the plug-in's background upkeep side by side until SIGINT or SIGTERM; one of them a
// panel root, held by a lock.
#pragma once

#include "host/cron/scheduler.h"
#include "host/web/web_server.h"

#include <functional>
#include <stop_token>
#include <filesystem>
#include <string>
#include <vector>

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
  // The plug-in's background upkeep (its data retention, the accounting of scheduled runs), each
  // run on a thread of its own until the stop token is requested. Each reports its own failures
  // and must not throw.
  std::vector<std::function<void(std::stop_token)>> upkeep;
  // The plug-in's part of GET /metrics (exposition text, each family with its HELP and TYPE),
  // built for each scrape on a web worker thread; the scheduler's counters follow it. Empty:
  // the scheduler's counters alone.
  std::function<std::string()> metrics;
  // The plug-in's public status pages (see host/web/status_routes.h).
  StatusPages status;
};

// The scheduler's counters as exposition text: rivi_scheduler_fires_total,
// rivi_scheduler_skips_total and rivi_scheduler_clock_steps_total, counted since this `panel
// serve` started.
std::string scheduler_metrics(const SchedulerCounters& counters);

// Takes the root's lock, then runs until a stop signal; answers the process exit status.
int serve(const ServeOptions& options);

}  // namespace rivi
