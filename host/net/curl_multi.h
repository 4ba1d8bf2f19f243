// Many libcurl transfers on one thread. `CurlMulti` owns a multi handle and the thread that drives
// it; callers hand it prepared easy handles and get each back, with its result, when the transfer
// ends. Connections to the same host are kept alive and reused between transfers (the multi
// handle's connection cache), so a caller that asks the same peers again and again pays for each
// connection once. No thread is started per transfer. The same thread also runs timers (`after`),
// so a caller can bound a group of transfers by one deadline without a thread of its own.
//
// The thread waits on epoll and tells libcurl which sockets are ready (its socket interface), so
// the work per wake-up follows the sockets that moved, not the number of transfers under way.
//
// An attached multi has no thread: an event loop that already runs (the HTTP server's, through
// `http::Server::drive`) calls `poll` when `fd()` turns readable and when the time `poll` answered
// has passed, so a request and the transfers it waits on share one thread and no hand-over
// between threads. A caller outside that loop may drive it too, with `wait`.
#pragma once

#include "host/net/curl_handles.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace rivi {

class CurlMulti {
 public:
  // Called once per transfer on the thread that drives the multi (its own, or the one calling
  // `poll` or `wait`, or the one destroying it), with libcurl's result and the handle (to read its
  // CURLINFO_* values or reuse it). It must not block, nor call `poll` or `wait`.
  using Done = std::function<void(CURLcode result, EasyHandle handle)>;
  // Names one transfer for `cancel`; never reused within a multi. 0 names none.
  using TransferId = std::uint64_t;

  struct Attached {};
  static constexpr Attached attached{};

  // `max_host_connections`: connections per host at the same time (0: no limit).
  // `max_kept_connections`: idle connections kept for reuse, over all hosts.
  explicit CurlMulti(long max_host_connections = 0, long max_kept_connections = 1024);
  // Without a thread: driven by `poll` and `wait`.
  explicit CurlMulti(Attached, long max_host_connections = 0, long max_kept_connections = 1024);
  // Ends the transfers still going (each gets CURLE_ABORTED_BY_CALLBACK), runs the timers still
  // pending at once (nobody is left waiting on one), and joins the thread.
  ~CurlMulti();
  CurlMulti(const CurlMulti&) = delete;
  CurlMulti& operator=(const CurlMulti&) = delete;

  // Starts `easy` with the options it carries. Thread-safe; `done` may call `add` again. Answers
  // the transfer's id, or 0 when the multi is ending (`done` then ran already, with
  // CURLE_ABORTED_BY_CALLBACK).
  TransferId add(EasyHandle easy, Done done);

  // Ends the transfer `id` if it is still going: its connection is closed and its `done` gets
  // CURLE_ABORTED_BY_CALLBACK on the driving thread. Ids of transfers already done are ignored.
  // Thread-safe; may be called from a `done`.
  void cancel(TransferId id);

  // Runs `task` on the driving thread once `delay` has passed (or at once when the multi ends).
  // Thread-safe; `task` is held to the same rules as `done`, and may call `add` and `after`.
  void after(std::chrono::milliseconds delay, std::function<void()> task);

  // Transfers added and not yet done.
  std::size_t active() const { return active_.load(); }

  // Attached only. Readable when `poll` has work; stays open as long as the multi.
  int fd() const { return epoll_.fd; }
  // Attached only. Does what is due without waiting (transfers added, sockets ready, timers due,
  // `done` and timer tasks run on the calling thread) and answers the milliseconds after which it
  // must be called again even if `fd()` stays quiet (negative: only when `fd()` turns readable).
  // Thread-safe: calls from several threads take turns.
  int poll();
  // Attached only. Waits up to `longest_ms` for `fd()` or the next due time, then polls.
  void wait(int longest_ms);

 private:
  using Clock = std::chrono::steady_clock;

  struct Transfer {
    TransferId id = 0;
    EasyHandle easy;
    Done done;
  };
  struct MultiCloser {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
  };
  // A file descriptor closed by its one owner.
  struct Fd {
    explicit Fd(int owned = -1) : fd(owned) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
  };

  static int on_socket(CURL* easy, curl_socket_t socket, int what, void* self, void* socket_data);
  static int on_timer(CURLM* multi, long timeout_ms, void* self);

  void set_up(long max_host_connections, long max_kept_connections);
  void wake();
  // One turn of the loop: adds what came in, runs what is due, waits up to `wait_ms` for sockets
  // (0: not at all) and serves those ready. Answers the milliseconds until the next turn is due
  // (negative: none due). Called by one thread at a time.
  int turn(int wait_ms);
  // Adds the transfers that came in, then ends those cancelled meanwhile.
  void take_incoming();
  // Hands every finished transfer to its `done`.
  void finish_transfers();
  // Runs the timers due by now.
  void run_due_timers();
  // Milliseconds until libcurl's timer or the next of ours (negative: none).
  int next_due_ms();
  void stop_all();

  Fd epoll_;
  Fd wake_;  // an eventfd: written to wake the thread
  std::unique_ptr<CURLM, MultiCloser> multi_;
  std::mutex mutex_;
  std::deque<Transfer> incoming_;
  std::vector<TransferId> cancelled_;
  TransferId last_id_ = 0;
  std::multimap<Clock::time_point, std::function<void()>> timers_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> active_{0};
  std::mutex turn_mutex_;  // held through a turn of an attached multi
  // Touched only by the thread taking a turn:
  std::unordered_map<CURL*, Transfer> running_;
  std::unordered_map<TransferId, CURL*> running_ids_;
  std::optional<Clock::time_point> curl_timeout_;  // when libcurl wants to be called next
  std::thread thread_;
};

}  // namespace rivi
