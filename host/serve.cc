// `panel serve`: the root's lock, the web server, the scheduler and the plug-in's upkeep on
// threads of their own, and the main thread waiting for SIGINT or SIGTERM to stop them all.
#include "host/serve.h"

#include "host/paths.h"
#include "host/cron/scheduler.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <tuple>
#include <stdexcept>
#include <thread>

namespace rivi {

std::filesystem::path scheduler_lock_path() { return root_path("data/scheduler.lock"); }

RootLock::RootLock() {
  const auto path = scheduler_lock_path();
  // Close-on-exec: a job started by the scheduler must not carry the lock past this process.
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(errno));
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd_);
    if (error == EWOULDBLOCK)
      throw std::runtime_error("another `panel serve` is already running for the panel root " + panel_root().string() +
                               " (it holds " + path.string() + ")");
    throw std::runtime_error("cannot lock " + path.string() + ": " + std::strerror(error));
  }
}

RootLock::~RootLock() { ::close(fd_); }

std::string scheduler_metrics(const SchedulerCounters& counters) {
  return "# HELP rivi_scheduler_fires_total Scheduled job runs started since the panel started.\n"
         "# TYPE rivi_scheduler_fires_total counter\n"
         "rivi_scheduler_fires_total " + std::to_string(counters.fired.load()) + "\n"
         "# HELP rivi_scheduler_skips_total Scheduled job runs skipped since the panel started because "
         "the job's previous run was still going.\n"
         "# TYPE rivi_scheduler_skips_total counter\n"
         "rivi_scheduler_skips_total " + std::to_string(counters.skipped.load()) + "\n"
         "# HELP rivi_scheduler_clock_steps_total Times since the panel started that the scheduler found the wall "
         "clock set (back or forward) and took its jobs' boundaries afresh.\n"
         "# TYPE rivi_scheduler_clock_steps_total counter\n"
         "rivi_scheduler_clock_steps_total " + std::to_string(counters.clock_steps.load()) + "\n";
}

int serve(const ServeOptions& options) {
  const std::string database = database_path();
  if (!std::filesystem::exists(database)) {
    throw std::runtime_error("no panel database " + database + " (run `panel install` first)");
  }
  // One scheduler a root: a second one would fire every job twice.
  const RootLock lock;
  std::cout << "panel serve: scheduler running for the panel root " << panel_root().string() << std::endl;

  // Blocked before any thread starts, so every thread inherits the mask and only `sigwait`
  // below receives the stop signals.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  // Bound before the scheduler starts, so that an address in use stops the program before any
  // job runs. Stopped and joined by its destructor after the signal below.
  auto counters = std::make_shared<SchedulerCounters>();
  std::unique_ptr<WebServer> web;
  if (options.web) {
    WebOptions web_options;
    std::tie(web_options.host, web_options.port) = parse_listen(options.listen);
    web_options.plugin = options.plugin;
    web_options.status = options.status;
    web_options.metrics = [counters, plugin = options.metrics] {
      return (plugin ? plugin() : std::string()) + scheduler_metrics(*counters);
    };
    const std::string address = "http://" + web_options.host + ":" + std::to_string(web_options.port);
    web = std::make_unique<WebServer>(std::move(web_options));
    web->start();
    std::cout << "panel serve: web page at " << address << "/plugin/qn_rivi/" << std::endl;
  }

  ShellRunner runner;
  SchedulerOptions scheduler_options = SchedulerOptions::from_environment();
  scheduler_options.counters = counters;
  Scheduler scheduler(std::move(scheduler_options), SchedulerClock::system(), runner);
  std::jthread scheduler_thread([&scheduler](std::stop_token stop) { scheduler.run(stop); });
  // Stopped and joined by their destructors, after the web server and the scheduler.
  std::vector<std::jthread> upkeep_threads;
  for (const auto& upkeep : options.upkeep) upkeep_threads.emplace_back(upkeep);

  int signal = 0;
  sigwait(&stop_signals, &signal);
  web.reset();
  scheduler_thread.request_stop();
  scheduler_thread.join();
  return 0;
}

}  // namespace rivi
