#include "plugin/qn_rivi/run_accounting.h"

#include "host/journal.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/stop_signal.h"
#include "host/store/store.h"
#include "host/store/store_retry.h"
#include "host/utf8.h"
#include "plugin/qn_rivi/run_store.h"
#include "plugin/qn_rivi/spool.h"

#include <fmt/format.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <span>
#include <string_view>

namespace rivi::run_accounting {
namespace {

constexpr std::int64_t kBatch = 2000;
constexpr std::size_t kLineBytes = 200;
constexpr std::chrono::milliseconds kWait{1000};  // for a lock, a round at a time
constexpr std::int64_t kPurgeEvery = 3600;

using Words = std::span<const std::string_view>;

bool mentions(std::string_view text, Words parts) {
  for (std::string_view part : parts) {
    if (text.find(part) != std::string_view::npos) return true;
  }
  return false;
}

// The last line of `tail` that mentions one of `parts`, else its last line that is not blank.
std::string telling_line(std::string_view tail, Words parts) {
  std::string last;
  std::size_t end = tail.size();
  while (end > 0) {
    const std::size_t newline = tail.rfind('\n', end - 1);
    const std::size_t start = newline == std::string_view::npos ? 0 : newline + 1;
    const std::string_view line = tail.substr(start, end - start);
    if (line.find_first_not_of(" \t\r") != std::string_view::npos) {
      if (last.empty()) last = std::string(line);
      if (mentions(line, parts)) return readable_text(line, kLineBytes);
    }
    if (newline == std::string_view::npos) break;
    end = newline;
  }
  return readable_text(last, kLineBytes);
}

constexpr std::array<std::string_view, 3> kNoSpace{"No space left", "database or disk is full", "disk is full"};
constexpr std::array<std::string_view, 2> kLocked{"database locked", "database is locked"};
constexpr std::array<std::string_view, 6> kCannotStart{"can't open file", "No such file or directory", "not found",
                                                       "cannot start", "Permission denied", "cannot execute"};

std::string with_line(std::string words, const std::string& line) {
  return line.empty() ? words : words + "：" + line;
}

}  // namespace

std::int64_t task_of(const std::string& job_key) {
  constexpr std::string_view kPrefix = "rivi_id_";
  if (!job_key.starts_with(kPrefix)) return 0;
  const std::string_view digits = std::string_view(job_key).substr(kPrefix.size());
  if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string_view::npos) return 0;
  return std::stoll(std::string(digits));
}

std::string lost_run_reason(const Fire& fire, std::int64_t now) {
  const std::string_view tail = fire.log_tail;
  if (!fire.pid) return with_line("拨测无法启动", readable_text(tail, kLineBytes));
  if (fire.signal) {
    const char* name = sigabbrev_np(*fire.signal);
    return fmt::format("拨测进程被信号 {}（SIG{}）终止", *fire.signal, name ? name : "?");
  }
  if (!fire.end_time) {
    return fmt::format("拨测在 {} 分钟内没有结束，也没有留下结果", std::max<std::int64_t>(1, (now - fire.time) / 60));
  }
  if (mentions(tail, kNoSpace)) return with_line("磁盘空间不足，结果未能保存", telling_line(tail, kNoSpace));
  if (mentions(tail, kLocked)) return with_line("数据库被锁定，结果未能保存", telling_line(tail, kLocked));
  if (fire.exit_status == 126 || fire.exit_status == 127 || mentions(tail, kCannotStart)) {
    return with_line("拨测无法启动", telling_line(tail, kCannotStart));
  }
  const std::string line = telling_line(tail, Words());
  if (fire.exit_status == 4) return with_line("结果无处保存（数据库与暂存目录都不可写）", line);
  if (!fire.exit_status) return with_line("拨测已结束，退出状态未知（panel serve 曾重启）", line);
  if (*fire.exit_status == 0) return "拨测已结束，但没有留下结果";
  return with_line(fmt::format("拨测异常退出（状态 {}）", *fire.exit_status), line);
}

Options Options::for_panel() {
  Options options;
  options.database = database_path();
  if (const char* text = std::getenv("RIVI_FIRE_TIMEOUT"); text != nullptr && *text != '\0') {
    options.timeout = to_int(Record(text));
  }
  return options;
}

std::int64_t account(const std::shared_ptr<Connection>& db, std::int64_t now, Cursor& cursor, const Options& options) {
  // Runs kept in the spool first: they are traces too.
  run_store::replay(db, kWait, &cursor.spool_wait_said);
  StoreRetry retry;
  retry.busy_wait = kWait;
  retry.retry_for = std::chrono::milliseconds(0);
  retry_while_locked(*db, retry, [&] { run_store::create_tables(*db); });
  const std::set<std::string> waiting = spool::waiting_fires();

  std::int64_t recorded = 0;
  bool all_before = true;  // every fire read so far is accounted for
  for (std::int64_t after = cursor.done;;) {
    const std::vector<Fire> fires = read_fires(*db, after, kBatch);
    for (const Fire& fire : fires) {
      after = fire.id;
      const std::int64_t task = task_of(fire.job_key);
      bool done = task == 0 || run_store::marked(*db, fire.fire);
      // A run still going, or one whose outcome waits in the spool, is not lost (yet). With the
      // clock set back, a run never seen to end waits the longer.
      if (!done && !waiting.contains(fire.fire) && (fire.end_time || now - fire.time >= options.timeout)) {
        spool::RunOutcome lost;
        lost.fire = fire.fire;
        lost.kind = "lost";
        lost.pid = task;
        lost.time = fire.time;
        lost.reason = lost_run_reason(fire, now);
        bool fresh = false;
        retry_while_locked(*db, retry, [&] { fresh = run_store::write(db, lost); });
        // Once a fire: a round that failed after writing it finds its mark the next time.
        if (fresh) {
          journal::log_line(journal::Priority::err,
                            fmt::format("run accounting: task {}: the run fired at {} stored nothing: {}", task,
                                        public_::format_date(fire.time), lost.reason));
        }
        ++recorded;
        done = true;
      }
      all_before = all_before && done;
      if (all_before) cursor.done = fire.id;
    }
    if (static_cast<std::int64_t>(fires.size()) < kBatch) break;
  }
  return recorded;
}

void keep_runs_accounted(std::stop_token stop, const Options& options) {
  std::string last_error;
  Cursor cursor;
  std::int64_t last_purge = 0;
  std::shared_ptr<Connection> db;
  for (auto wait = std::chrono::milliseconds(0); rest(stop, wait); wait = options.every) {
    try {
      if (!db) db = std::make_shared<Connection>(options.database);
      const std::int64_t now = public_::now();
      account(db, now, cursor, options);
      if (now - last_purge >= kPurgeEvery || now < last_purge) {
        run_store::purge_marks(*db, now - run_store::kMarkKeepSeconds);
        last_purge = now;
      }
      last_error.clear();
    } catch (const std::exception& error) {
      if (last_error != error.what()) journal::log_line(journal::Priority::err, std::string("run accounting: ") + error.what());
      last_error = error.what();
    }
  }
}

}  // namespace rivi::run_accounting
