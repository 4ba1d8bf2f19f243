// StopSignalWatcher.
#include "host/stop_signal.h"

#include <pthread.h>

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

}  // namespace rivi
