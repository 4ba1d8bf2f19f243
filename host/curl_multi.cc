#include "host/curl_multi.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace rivi {

CurlMulti::CurlMulti(long max_host_connections) {
  new_easy();  // runs libcurl's global set-up once per process before the multi handle exists
  multi_.reset(curl_multi_init());
  if (!multi_) throw std::runtime_error("libcurl: cannot create a multi handle");
  if (max_host_connections > 0) {
    curl_multi_setopt(multi_.get(), CURLMOPT_MAX_HOST_CONNECTIONS, max_host_connections);
  }
  thread_ = std::thread([this] { drive(); });
}

CurlMulti::~CurlMulti() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  curl_multi_wakeup(multi_.get());
  thread_.join();
}

void CurlMulti::add(EasyHandle easy, Done done) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      active_.fetch_add(1);
      incoming_.push_back(Transfer{std::move(easy), std::move(done)});
      easy = nullptr;
    }
  }
  if (easy) {
    done(CURLE_ABORTED_BY_CALLBACK, std::move(easy));
    return;
  }
  curl_multi_wakeup(multi_.get());
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
  curl_multi_wakeup(multi_.get());
}

int CurlMulti::run_due_timers(int longest) {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (timers_.empty()) return longest;
      const auto first = timers_.begin();
      const auto now = Clock::now();
      if (first->first > now) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(first->first - now).count();
        return static_cast<int>(std::min<long long>(longest, wait));
      }
      task = std::move(first->second);
      timers_.erase(first);
    }
    task();
  }
}

void CurlMulti::drive() {
  CURLM* multi = multi_.get();
  for (;;) {
    std::deque<Transfer> fresh;
    bool stopping = false;
    {
      std::lock_guard lock(mutex_);
      fresh.swap(incoming_);
      stopping = stopping_;
    }
    for (auto& t : fresh) {
      CURL* key = t.easy.get();
      if (curl_multi_add_handle(multi, key) != CURLM_OK) {
        active_.fetch_sub(1);
        t.done(CURLE_FAILED_INIT, std::move(t.easy));
        continue;
      }
      running_.emplace(key, std::move(t));
    }
    if (stopping) break;

    int still_running = 0;
    curl_multi_perform(multi, &still_running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
      if (msg->msg != CURLMSG_DONE) continue;
      const CURLcode result = msg->data.result;
      CURL* key = msg->easy_handle;
      curl_multi_remove_handle(multi, key);
      auto it = running_.find(key);
      if (it == running_.end()) continue;
      Transfer done = std::move(it->second);
      running_.erase(it);
      active_.fetch_sub(1);
      done.done(result, std::move(done.easy));
    }
    const int wait = run_due_timers(1000);
    curl_multi_poll(multi, nullptr, 0, wait, nullptr);
  }
  // Stopping: end what is still going, and what came in meanwhile.
  for (auto& [key, t] : running_) {
    curl_multi_remove_handle(multi, key);
    active_.fetch_sub(1);
    t.done(CURLE_ABORTED_BY_CALLBACK, std::move(t.easy));
  }
  running_.clear();
  std::deque<Transfer> rest;
  {
    std::lock_guard lock(mutex_);
    rest.swap(incoming_);
  }
  for (auto& t : rest) {
    active_.fetch_sub(1);
    t.done(CURLE_ABORTED_BY_CALLBACK, std::move(t.easy));
  }
  // `after` runs its task itself once stopping_ is set, so nothing more arrives here.
  std::multimap<Clock::time_point, std::function<void()>> timers;
  {
    std::lock_guard lock(mutex_);
    timers.swap(timers_);
  }
  for (auto& [when, task] : timers) task();
}

}  // namespace rivi
