// `panel serve`: the scheduler and the plug-in's upkeep on threads of their own, the web server
// beside them, and the main thread waiting for SIGINT or SIGTERM to stop them all.
#include "host/serve.h"

#include "host/paths.h"
#include "host/scheduler.h"

#include <signal.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <tuple>
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
  // Stopped and joined by its destructor, after the web server and the scheduler.
  std::jthread upkeep_thread;
  if (options.upkeep) upkeep_thread = std::jthread(options.upkeep);

  // Stopped and joined by its destructor after the signal below (or when it cannot listen).
  std::unique_ptr<WebServer> web;
  if (options.web) {
    WebOptions web_options;
    std::tie(web_options.host, web_options.port) = parse_listen(options.listen);
    web_options.plugin = options.plugin;
    const std::string address = "http://" + web_options.host + ":" + std::to_string(web_options.port);
    web = std::make_unique<WebServer>(std::move(web_options));
    web->start();
    std::cout << "panel serve: web page at " << address << "/plugin/qn_rivi/" << std::endl;
  }

  int signal = 0;
  sigwait(&stop_signals, &signal);
  web.reset();
  scheduler_thread.request_stop();
  scheduler_thread.join();
  return 0;
}

}  // namespace rivi
