// Import and export of tasks. Owns the document every task is exported as:
//   {"version": 1,
//    "tasks": [{name, url, cycle, status, tags: [..], checks: {the rules, checks.h},
//               maintenance: [{kind: once, start, end, note} | {kind: weekly, weekdays: [..], at,
//                             duration, note}]}, .. by id],
//    "maintenance": [the windows of every task, by id]}
// (no ids and no times that a fresh root would give differently), the reading of input into
// entries (that document, CSV with a header `name,url,cycle,tags`, or one URL a line), and the
// plan: what each entry would do to the stored tasks (create, change, skip, refuse and why).
// Applying a plan is the web method import_tasks's (import_export.cc), through the single
// methods.
#pragma once

#include "host/record.h"
#include "plugin/qn_rivi/checks.h"
#include "plugin/qn_rivi/maintenance.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {

class Connection;

namespace import_export {

inline constexpr std::int64_t kVersion = 1;
inline constexpr std::int64_t kDefaultCycle = 5;

// One task of the input. What the input does not give stays unset and is neither compared nor
// changed (CSV gives no rules, a line gives no tags).
struct Entry {
  std::size_t row = 0;  // the line of CSV and lines input, the position in a document's `tasks`, from 1
  std::string name, url;
  std::int64_t cycle = kDefaultCycle;
  std::optional<std::int64_t> status;
  std::optional<std::vector<std::string>> tags;  // by tag
  std::optional<checks::Rules> rules;
  std::optional<std::vector<maintenance::Window>> windows;
  std::string refusal;  // why the entry cannot become a task; "" when it can
};

struct Input {
  std::string format;  // json, csv or lines
  std::vector<Entry> entries;
  std::vector<maintenance::Window> all_task_windows;  // a document's windows of every task
};

// json when the text starts with `{`, csv when its first line names the column url among commas,
// else lines.
std::string guess_format(std::string_view data);

// The fields of CSV text (RFC 4180: commas, double quotes around a field, "" inside for a quote,
// line breaks inside quotes, CRLF or LF), one vector a record, with each record's first line.
// Throws std::invalid_argument (Chinese) for a quote that is never closed.
struct CsvRecord {
  std::size_t line = 0;
  std::vector<std::string> fields;
};
std::vector<CsvRecord> csv_records(std::string_view text);

// The host of a URL: between "://" and the path, without user information and port.
std::string host_of(std::string_view url);

// Reads `data` in `format` ("" guesses it). Entries that cannot be tasks carry their refusal (the
// words the single methods use); a later entry with the URL of an earlier one is refused. Throws
// std::invalid_argument (Chinese) when the input as a whole cannot be read (not JSON, another
// version, a CSV without a url column, an unknown format).
Input read(std::string_view data, std::string format);

// What importing `input` would do to the tasks stored in `db`, one row per entry:
// {row, name, url, cycle, tags, action (create|change|skip|refuse), msg, changes (the fields that
// differ), id (the stored task, for change and skip)}.
Record plan(Connection& db, const Input& input);

// The windows of task `pid` alone (not those of every task), by id.
std::vector<maintenance::Window> own_windows_of(Connection& db, std::int64_t pid);

// Every task as the document above.
Record export_document(Connection& db);

// The windows of the document's form: w as {kind, start, end, note} or {kind, weekdays, at,
// duration, note}, and back (as maintenance::parse reads a request).
Record window_record(const maintenance::Window& w);
maintenance::Window window_of(const Record& r);

}  // namespace import_export
}  // namespace rivi
