// StopSignalWatcher and the stoppable rest.
#include "host/stop_signal.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>

namespace rivi {

StopSignalWatcher::StopSignalWatcher(std::function<void()> on_stop, std::function<void()> on_reload) {
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGINT);
  sigaddset(&signals_, SIGTERM);
  if (on_reload) sigaddset(&signals_, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  waiter_ = std::jthread([this, stop = std::move(on_stop), reload = std::move(on_reload)] {
    for (;;) {
      int sig = 0;
      sigwait(&signals_, &sig);
      if (ending_) return;
      if (sig != SIGHUP) return stop();
      reload();
    }
  });
}

StopSignalWatcher::~StopSignalWatcher() {
  ending_ = true;
  pthread_kill(waiter_.native_handle(), SIGTERM);
}

bool rest(std::stop_token stop, std::chrono::milliseconds time) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  wake.wait_for(lock, stop, time, [] { return false; });
  return !stop.stop_requested();
}

}  // namespace rivi
