// Public status pages: one page a tag, shown to anyone without a session. Owns the table
//   rivi_status_page  one row per page: id, slug (the page's address, /status/<slug>), title,
//                     tag (the page lists the tasks carrying it, from `rivi_tag`), show_urls (0/1:
//                     whether the tasks' URLs appear), description, addtime;
// the reading of a page from a request's fields, the page's content (state words, 90 days of daily
// availability, open incidents, maintenance notices), its HTML and stylesheet, and the badges.
//
// What a visitor sees is chosen here, never passed through: a task's name, its URL only when the
// page says so, its state in words, availability figures, incident starts and maintenance times.
// No reason, error text, node label or address, and no maintenance note reaches the page.
#pragma once

#include "host/record.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {

class Connection;

namespace status_page {

inline constexpr int kDays = 90;          // the daily bars
inline constexpr std::size_t kSlugMax = 40;
inline constexpr std::size_t kTitleChars = 100;
inline constexpr std::size_t kTagChars = 64;
inline constexpr std::size_t kDescriptionChars = 500;
inline constexpr std::size_t kNotices = 20;  // maintenance notices shown at most

struct Page {
  std::int64_t id = 0;
  std::string slug;
  std::string title;
  std::string tag;
  bool show_urls = false;
  std::string description;
};

// [a-z0-9-]{1,40}
bool valid_slug(std::string_view slug);

// A page from a request's text fields `slug`, `title`, `tag`, `show_urls` (0/1, 0 when absent)
// and `description`; the id is not read here. Throws std::invalid_argument with the Chinese words
// the settings view shows, naming the field.
Page parse(const Record& args);

void create_tables(Connection& db);
// Every page, by id (none when the table is missing).
std::vector<Page> pages(Connection& db);
// The page of `slug`, or nothing (also when the table is missing).
std::optional<Page> find(Connection& db, std::string_view slug);
// Stores `page` (a new row when page.id is 0, else over row page.id); answers its id, or nothing
// when page.id names no page. Throws std::invalid_argument when another page has the slug.
std::optional<std::int64_t> save(Connection& db, const Page& page, std::int64_t now);
bool remove(Connection& db, std::int64_t id);

// The ids of the tasks carrying `tag`, ascending (none when `rivi_tag` is missing).
std::vector<std::int64_t> tagged_tasks(Connection& db, const std::string& tag);

// The state of a task's health (task_health.h) in words: 正常, 降级, 故障, 维护中, 已暂停, and
// 无数据 for a task never judged or whose latest runs judged only the monitor.
std::string state_words(const std::string& health);

// The content of `page` at `now`: title, description, updated (local time text), tasks (id, name,
// url when shown, health, state, uptime_30d, days: kDays of {day, good, runs, percent} oldest
// first, where runs are the runs that judged the site; open incidents: start and start_text),
// headline and headline_state (the worst state), notices (maintenance windows now and to come of its tasks or of every task: text, active, tasks).
Record content(Connection& db, const Page& page, std::int64_t now);

// The whole page as HTML (no script; styles from /status/status.css), every text escaped.
std::string html(const Record& content);
// The stylesheet every status page links.
std::string_view stylesheet();
// A badge "<state words> | <uptime>" of a task's health and uptime, as an SVG image without script.
std::string badge_svg(const std::string& health, const Record& uptime);

// What the web server's hooks call, each reading the panel's database on the calling thread:
// the page of `slug` as HTML; the badge of task `task` of that page. Nothing when the page does
// not exist or the task is not on it.
std::optional<std::string> render(const std::string& slug);
std::optional<std::string> badge(const std::string& slug, std::int64_t task);

}  // namespace status_page
}  // namespace rivi
