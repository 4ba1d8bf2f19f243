// Maintenance windows: spans of time in which a task's runs are still stored but say nothing about
// the site. Owns the table
//   rivi_maintenance  one row per window: id, pid (the task; 0 for every task), kind (`once` or
//                     `weekly`), start_time and end_time (a one-off window's Unix seconds, end
//                     excluded), weekdays ("1,6,7": 1 Monday .. 7 Sunday), start_minute (minute of
//                     the day a weekly window opens), duration (a weekly window's minutes), note,
//                     addtime;
// the reading of a window from a request's fields, and whether windows cover a task at a time.
// Weekdays and times of day are the server's local wall clock (the TZ of the process).
#pragma once

#include "host/record.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace rivi {

class Connection;

namespace maintenance {

inline constexpr std::int64_t kAllTasks = 0;
inline constexpr std::int64_t kWeekMinutes = 7 * 24 * 60;  // the longest weekly window
inline constexpr std::size_t kNoteChars = 100;

struct Window {
  std::int64_t id = 0;
  std::int64_t pid = kAllTasks;
  std::string kind;                // once or weekly
  std::int64_t start = 0, end = 0;  // once: [start, end)
  std::vector<int> weekdays;       // weekly: 1 (Monday) .. 7 (Sunday), ascending, no repeats
  std::int64_t start_minute = 0;   // weekly: 0 .. 1439
  std::int64_t duration = 0;       // weekly: 1 .. kWeekMinutes minutes from each opening
  std::string note;
};

// Whether `w` covers Unix time `time` (whichever task it names). A weekly window opens on each of
// its weekdays at its minute and lasts `duration` minutes, across midnight and from Sunday into
// Monday as the clock runs.
bool covers(const Window& w, std::int64_t time);

// True when a window of task `pid`, or of every task, covers `time`.
bool active(Connection& db, std::int64_t pid, std::int64_t time);

// The first window (lowest id) of task `pid` or of every task covering `time`.
std::optional<Window> covering(Connection& db, std::int64_t pid, std::int64_t time);

// The tasks that windows cover at `time`: their pids, and kAllTasks when a window for every task
// is open.
std::set<std::int64_t> covered_tasks(Connection& db, std::int64_t time);

// Every window (of task `pid` and of every task, when given), by id.
std::vector<Window> windows(Connection& db, std::optional<std::int64_t> pid = std::nullopt);

// A window from a request's text fields: `kind` once|weekly; once: `start`, `end` (Unix seconds,
// or local "YYYY-MM-DD HH:MM[:SS]", also with a "T" between date and time); weekly: `weekdays`
// ("1,3,5"), `at` ("HH:MM"), `duration` (minutes); `note` (optional). The task is not read here.
// Throws std::invalid_argument with the Chinese words the page shows for a value it refuses.
Window parse(const Record& args);

// Stores `w` (a new row when w.id is 0, else over row w.id); answers its id, or nothing when
// w.id names no window.
std::optional<std::int64_t> save(Connection& db, const Window& w, std::int64_t now);
// Deletes window `id`; false when there was none.
bool remove(Connection& db, std::int64_t id);
// Deletes the windows of task `pid` (through the store accessor, inside the transaction open on
// this thread).
void forget_task(std::int64_t pid);

// "YYYY-MM-DD HH:MM" of `time` and "HH:MM" of a minute of the day, on the local clock.
std::string local_minute_text(std::int64_t time);
std::string minute_of_day_text(std::int64_t minute);
// The local clock's offset from UTC at `time`, "UTC+08:00".
std::string utc_offset_text(std::int64_t time);

// The window as a page's record: id, pid, kind, start, end, start_text, end_text, weekdays, at,
// duration, note, active (covering `now`).
Record to_record(const Window& w, std::int64_t now);

const std::vector<std::string>& schema_names();
void create_tables(Connection& db);

}  // namespace maintenance
}  // namespace rivi
