// CurlMulti: libcurl's socket interface driven by epoll on one thread, an eventfd to wake it, and
// timers kept beside libcurl's own.
#include "host/net/curl_multi.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <system_error>

namespace rivi {

CurlMulti::Fd::~Fd() {
  if (fd >= 0) ::close(fd);
}

CurlMulti::CurlMulti(long max_host_connections, long max_kept_connections)
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  set_up(max_host_connections, max_kept_connections);
  thread_ = std::thread([this] {
    while (!stopping_.load()) turn(1000);
  });
}

CurlMulti::CurlMulti(Attached, long max_host_connections, long max_kept_connections)
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  set_up(max_host_connections, max_kept_connections);
}

void CurlMulti::set_up(long max_host_connections, long max_kept_connections) {
  if (epoll_.fd < 0 || wake_.fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot set up the transfer loop");
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = wake_.fd;
  if (::epoll_ctl(epoll_.fd, EPOLL_CTL_ADD, wake_.fd, &ev) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot set up the transfer loop");
  }
  new_easy();  // runs libcurl's global set-up once per process before the multi handle exists
  multi_.reset(curl_multi_init());
  if (!multi_) throw std::runtime_error("libcurl: cannot create a multi handle");
  CURLM* m = multi_.get();
  curl_multi_setopt(m, CURLMOPT_SOCKETFUNCTION, on_socket);
  curl_multi_setopt(m, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(m, CURLMOPT_TIMERFUNCTION, on_timer);
  curl_multi_setopt(m, CURLMOPT_TIMERDATA, this);
  if (max_host_connections > 0) curl_multi_setopt(m, CURLMOPT_MAX_HOST_CONNECTIONS, max_host_connections);
  // Without a set size the cache shrinks with the number of transfers under way, and the
  // connections of a finished fan-out would be closed as its last transfers leave.
  if (max_kept_connections > 0) curl_multi_setopt(m, CURLMOPT_MAXCONNECTS, max_kept_connections);
}

CurlMulti::~CurlMulti() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (thread_.joinable()) {
    wake();
    thread_.join();
  }
  {
    std::lock_guard turn(turn_mutex_);
    stop_all();
  }
  // Closing the kept connections calls back into this object, so it happens while all of it lives.
  multi_.reset();
}

void CurlMulti::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_.fd, &one, sizeof one);  // a full counter wakes too
}

CurlMulti::TransferId CurlMulti::add(EasyHandle easy, Done done) {
  TransferId id = 0;
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      active_.fetch_add(1);
      id = ++last_id_;
      incoming_.push_back(Transfer{id, std::move(easy), std::move(done)});
      easy = nullptr;
    }
  }
  if (easy) {
    done(CURLE_ABORTED_BY_CALLBACK, std::move(easy));
    return 0;
  }
  wake();
  return id;
}

void CurlMulti::cancel(TransferId id) {
  if (id == 0) return;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    cancelled_.push_back(id);
  }
  wake();
}

void CurlMulti::after(std::chrono::milliseconds delay, std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      timers_.emplace(Clock::now() + delay, std::move(task));
      task = nullptr;
    }
  }
  if (task) {
    task();
    return;
  }
  wake();
}

int CurlMulti::on_socket(CURL*, curl_socket_t socket, int what, void* self, void*) {
  auto* m = static_cast<CurlMulti*>(self);
  if (what == CURL_POLL_REMOVE) {
    ::epoll_ctl(m->epoll_.fd, EPOLL_CTL_DEL, socket, nullptr);  // fails harmlessly when already closed
    return 0;
  }
  epoll_event ev{};
  ev.events = ((what & CURL_POLL_IN) ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) ? EPOLLOUT : 0u);
  ev.data.fd = socket;
  if (::epoll_ctl(m->epoll_.fd, EPOLL_CTL_ADD, socket, &ev) != 0 && errno == EEXIST) {
    ::epoll_ctl(m->epoll_.fd, EPOLL_CTL_MOD, socket, &ev);
  }
  return 0;
}

int CurlMulti::on_timer(CURLM*, long timeout_ms, void* self) {
  auto* m = static_cast<CurlMulti*>(self);
  if (timeout_ms < 0) {
    m->curl_timeout_.reset();
  } else {
    m->curl_timeout_ = Clock::now() + std::chrono::milliseconds(timeout_ms);
  }
  return 0;
}

void CurlMulti::take_incoming() {
  // Both under one lock: a transfer cancelled right after it was added is found among those added.
  std::deque<Transfer> fresh;
  std::vector<TransferId> cancelled;
  {
    std::lock_guard lock(mutex_);
    fresh.swap(incoming_);
    cancelled.swap(cancelled_);
  }
  for (auto& t : fresh) {
    CURL* key = t.easy.get();
    if (curl_multi_add_handle(multi_.get(), key) != CURLM_OK) {
      active_.fetch_sub(1);
      t.done(CURLE_FAILED_INIT, std::move(t.easy));
      continue;
    }
    running_ids_.emplace(t.id, key);
    running_.emplace(key, std::move(t));
  }
  for (const TransferId id : cancelled) {
    const auto named = running_ids_.find(id);
    if (named == running_ids_.end()) continue;  // done already
    CURL* key = named->second;
    running_ids_.erase(named);
    // Removing a transfer that is under way closes its connection.
    curl_multi_remove_handle(multi_.get(), key);
    auto it = running_.find(key);
    Transfer t = std::move(it->second);
    running_.erase(it);
    active_.fetch_sub(1);
    t.done(CURLE_ABORTED_BY_CALLBACK, std::move(t.easy));
  }
}

void CurlMulti::finish_transfers() {
  int queued = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi_.get(), &queued)) {
    if (msg->msg != CURLMSG_DONE) continue;
    const CURLcode result = msg->data.result;
    CURL* key = msg->easy_handle;
    curl_multi_remove_handle(multi_.get(), key);
    auto it = running_.find(key);
    if (it == running_.end()) continue;
    Transfer done = std::move(it->second);
    running_.erase(it);
    running_ids_.erase(done.id);
    active_.fetch_sub(1);
    done.done(result, std::move(done.easy));
  }
}

void CurlMulti::run_due_timers() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (timers_.empty() || timers_.begin()->first > Clock::now()) return;
      task = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
    }
    task();
  }
}

int CurlMulti::next_due_ms() {
  std::optional<Clock::time_point> next = curl_timeout_;
  {
    std::lock_guard lock(mutex_);
    if (!timers_.empty() && (!next || timers_.begin()->first < *next)) next = timers_.begin()->first;
  }
  if (!next) return -1;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 24 * 3600 * 1000));
}

int CurlMulti::turn(int wait_ms) {
  CURLM* multi = multi_.get();
  int running = 0;
  take_incoming();
  // libcurl's own timer first: a transfer just added starts here, without another wait.
  if (curl_timeout_ && *curl_timeout_ <= Clock::now()) {
    curl_timeout_.reset();
    curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
    finish_transfers();
  }
  run_due_timers();
  const int due = next_due_ms();
  const int wait = due < 0 ? wait_ms : std::min(due, wait_ms);
  std::array<epoll_event, 256> events;
  const int n = ::epoll_wait(epoll_.fd, events.data(), static_cast<int>(events.size()), wait);
  for (int i = 0; i < n; ++i) {
    const int fd = events[i].data.fd;
    if (fd == wake_.fd) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto read = ::read(wake_.fd, &count, sizeof count);
      continue;
    }
    const std::uint32_t e = events[i].events;
    const int flags = ((e & EPOLLIN) ? CURL_CSELECT_IN : 0) | ((e & EPOLLOUT) ? CURL_CSELECT_OUT : 0) |
                      ((e & (EPOLLERR | EPOLLHUP)) ? CURL_CSELECT_ERR : 0);
    curl_multi_socket_action(multi, fd, flags, &running);
  }
  finish_transfers();
  // Sockets served may have more to give, and new transfers may have come: look again at once.
  return n > 0 ? 0 : next_due_ms();
}

int CurlMulti::poll() {
  std::lock_guard turn_lock(turn_mutex_);
  if (stopping_.load()) return -1;
  return turn(0);
}

void CurlMulti::wait(int longest_ms) {
  int due = 0;
  {
    std::lock_guard turn_lock(turn_mutex_);
    due = next_due_ms();
  }
  pollfd p{epoll_.fd, POLLIN, 0};
  ::poll(&p, 1, due < 0 ? longest_ms : std::min(due, longest_ms));
  poll();
}

void CurlMulti::stop_all() {
  // End what is still going, and what came in meanwhile.
  for (auto& [key, t] : running_) {
    curl_multi_remove_handle(multi_.get(), key);
    active_.fetch_sub(1);
    t.done(CURLE_ABORTED_BY_CALLBACK, std::move(t.easy));
  }
  running_.clear();
  running_ids_.clear();
  std::deque<Transfer> rest;
  {
    std::lock_guard lock(mutex_);
    rest.swap(incoming_);
    cancelled_.clear();
  }
  for (auto& t : rest) {
    active_.fetch_sub(1);
    t.done(CURLE_ABORTED_BY_CALLBACK, std::move(t.easy));
  }
  // `add` and `after` run their work themselves once stopping_ is set, so nothing more arrives.
  std::multimap<Clock::time_point, std::function<void()>> timers;
  {
    std::lock_guard lock(mutex_);
    timers.swap(timers_);
  }
  for (auto& [when, task] : timers) task();
}

}  // namespace rivi
