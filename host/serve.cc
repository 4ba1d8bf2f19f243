// `panel serve`: the scheduler on its own thread, the web server beside it, and the main thread
// waiting for SIGINT or SIGTERM to stop them both.
#include "host/serve.h"

#include "host/paths.h"
#include "host/scheduler.h"

#include <signal.h>

#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <thread>

namespace rivi {

int serve(const ServeOptions& options) {
  const std::string database = database_path();
  if (!std::filesystem::exists(database)) {
    throw std::runtime_error("no panel database " + database + " (run `panel install` first)");
  }

  // Blocked before any thread starts, so every thread inherits the mask and only `sigwait`
  // below receives the stop signals.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  ShellRunner runner;
  Scheduler scheduler(SchedulerOptions::from_environment(), [] { return std::chrono::system_clock::now(); },
                      runner);
  std::jthread scheduler_thread([&scheduler](std::stop_token stop) { scheduler.run(stop); });

  // The web server starts here when `options.web` is set, and stops after the signal below.
  if (options.web) std::cerr << "panel serve: the web server is not built in yet; running the scheduler alone\n";

  int signal = 0;
  sigwait(&stop_signals, &signal);
  scheduler_thread.request_stop();
  scheduler_thread.join();
  return 0;
}

}  // namespace rivi
