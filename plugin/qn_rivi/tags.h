// Tags of tasks: short labels that group tasks for the overview's filter, bulk work, status pages
// and alert routing. Owns the table
//   rivi_tag  one row per task and tag: pid, tag (PRIMARY KEY (pid, tag)), with an index by tag;
// the reading of a tag list from a request's text, and the edits of one task's tags (the path
// set_tags, the bulk actions and the import share: the task must exist, the change is logged).
// A tag is trimmed text of 1..32 characters without a comma; a task has at most kMaxPerTask.
#pragma once

#include "host/record.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rivi {

class Connection;

namespace tags {

inline constexpr std::size_t kMaxChars = 32;
inline constexpr std::size_t kMaxPerTask = 20;

// One tag from text: trimmed, then checked. Throws std::invalid_argument with the page's Chinese
// words for text it refuses (empty, too long, a comma, control characters, not UTF-8).
std::string tag_of(std::string_view text);

// The items of a list written with commas (ASCII or full-width) between them: trimmed, empty ones
// skipped, repeats kept once, in the order given.
std::vector<std::string> list_items(std::string_view text);

// A list written with commas (ASCII or full-width) between tags; empty items are skipped, repeats
// kept once, in the order given. Throws std::invalid_argument (Chinese) for a tag it refuses or
// for more than kMaxPerTask tags.
std::vector<std::string> parse(std::string_view text);

// Task `pid`'s tags, by tag.
std::vector<std::string> of_task(Connection& db, std::int64_t pid);
// The tags of each task of `pids` (tasks without tags are absent), each list by tag.
std::map<std::int64_t, std::vector<std::string>> of_tasks(Connection& db, const std::vector<std::int64_t>& pids);
// Every tag with the number of its tasks, by tag.
std::vector<std::pair<std::string, std::int64_t>> counts(Connection& db);
// The same as records {tag, count}, as get_tags and the overview answer them.
Record listed(Connection& db);
// Replaces task `pid`'s tags.
void save(Connection& db, std::int64_t pid, const std::vector<std::string>& tags);

// The edit of one task's tags as a web answer: the task `pid` names must exist, `edit` turns its
// tags into the new ones (throwing std::invalid_argument, Chinese, to refuse), at most
// kMaxPerTask of them; the new tags are stored and logged in one transaction. Answers
// {"status": true, "msg", "data": tags} or {"status": false, "msg"} changing nothing.
using Edit = std::function<std::vector<std::string>(std::vector<std::string>)>;
Record edit_task(const Record& pid, const Edit& edit);

// Deletes task `pid`'s tags (through the store accessor, inside the transaction open on this
// thread).
void forget_task(std::int64_t pid);

const std::vector<std::string>& schema_names();
void create_tables(Connection& db);

}  // namespace tags
}  // namespace rivi
