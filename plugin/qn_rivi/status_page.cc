// Public status pages (see status_page.h) and the web methods get_status_pages,
// set_status_page and remove_status_page.
#include "plugin/qn_rivi/status_page.h"

#include "plugin/qn_rivi/tags.h"

#include "host/public.h"
#include "host/store/store.h"
#include "host/utf8.h"
#include "host/web/html.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/maintenance.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/row_id.h"
#include "plugin/qn_rivi/task_health.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>

namespace rivi {
namespace status_page {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_status_page ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, slug TEXT NOT NULL UNIQUE, title TEXT NOT NULL, tag TEXT NOT NULL, "
    "show_urls INTEGER NOT NULL DEFAULT 0, description TEXT NOT NULL DEFAULT '', addtime INTEGER NOT NULL)";

std::size_t characters(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t pos = 0; pos < text.size(); ++n) {
    const auto cp = code_point_at(text, pos);
    pos += cp ? cp->size : 1;
  }
  return n;
}

// A text field: trimmed, well-formed, at most `limit` characters, present unless `optional`.
std::string text_field(const Record& args, const char* key, const char* words, std::size_t limit, bool optional) {
  const std::string text = has(args, key) ? trimmed_blanks(text_of(args.at(key))) : std::string();
  if (text.empty() && !optional) throw std::invalid_argument(fmt::format("{}（{}）不能为空！", words, key));
  if (!is_utf8(text)) throw std::invalid_argument(fmt::format("{}（{}）含有无效字符！", words, key));
  if (characters(text) > limit)
    throw std::invalid_argument(fmt::format("{}（{}）不能超过{}个字符！", words, key, limit));
  return text;
}

Page page_of(const Record& r) {
  Page p;
  p.id = to_int(r["id"]);
  p.slug = text_of(r["slug"]);
  p.title = text_of(r["title"]);
  p.tag = text_of(r["tag"]);
  p.show_urls = truthy(r["show_urls"]);
  p.description = text_of(r["description"]);
  return p;
}

std::tm local(std::int64_t t) {
  const std::time_t time = static_cast<std::time_t>(t);
  std::tm tm{};
  ::localtime_r(&time, &tm);
  return tm;
}

std::string local_second_text(std::int64_t t) {
  const std::tm tm = local(t);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

// The local dates ("YYYY-MM-DD") of the `kDays` days ending with the one holding `now`, oldest
// first, and the local midnight that opens the first.
std::pair<std::vector<std::string>, std::int64_t> local_days(std::int64_t now) {
  std::vector<std::string> days;
  std::int64_t first = now;
  for (int back = kDays - 1; back >= 0; --back) {
    std::tm tm = local(now);
    tm.tm_mday -= back;
    tm.tm_hour = 12;  // noon: no daylight-saving change moves it to another day
    tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    std::mktime(&tm);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
    days.emplace_back(text);
    if (back == kDays - 1) {
      tm.tm_hour = 0;
      tm.tm_isdst = -1;
      first = static_cast<std::int64_t>(std::mktime(&tm));
    }
  }
  return {days, first};
}

// Good and judged runs per task and local day, from the hours since `from`.
std::map<std::pair<std::int64_t, std::string>, std::pair<std::int64_t, std::int64_t>> daily(
    Connection& db, const Record& ids, std::int64_t from, std::int64_t now) {
  std::map<std::pair<std::int64_t, std::string>, std::pair<std::int64_t, std::int64_t>> out;
  const Record rows = db.query(
      std::string("SELECT pid, date(hour, 'unixepoch', 'localtime') AS day, SUM(good) AS good, SUM(") +
          health::kJudgedRuns +
          ") AS judged FROM rivi_hourly WHERE pid IN (SELECT value FROM json_each(?)) AND hour >= ? AND hour <= ? "
          "GROUP BY pid, day",
      Record::array({encode(ids), from, now}));
  for (const Record& r : rows)
    out[{to_int(r["pid"]), text_of(r["day"])}] = {to_int(r["good"]), std::max<std::int64_t>(0, to_int(r["judged"]))};
  return out;
}

std::string incident_words(const std::string& kind) {
  if (kind == "down") return "故障";
  if (kind == "error") return "无法检测";
  return "异常";
}

// A state's class on the page and its colour on a badge (the page's own state colours: white
// text on each reads at 4.5:1 or more); states without data share the last.
struct Look {
  const char* health;
  const char* css;
  const char* colour;
};
constexpr Look kLooks[] = {{"up", "up", "#1e7e34"},
                           {"degraded", "degraded", "#a86200"},
                           {"down", "down", "#c8313a"},
                           {"maintenance", "maintenance", "#2f6fbf"},
                           {"", "none", "#6b7280"}};
const Look& look(const std::string& health) {
  for (const Look& l : kLooks)
    if (health == l.health) return l;
  return kLooks[std::size(kLooks) - 1];
}
const char* state_class(const std::string& health) { return look(health).css; }
const char* state_colour(const std::string& health) { return look(health).colour; }

// A day's bar colour: no judged run, at least 99 %, at least 95 %, below.
const char* day_colour(const Record& percent) {
  if (!percent.is_number()) return "#c9cdd3";
  const double p = percent.get<double>();
  if (p >= 99.0) return "#2e9e5b";
  if (p >= 95.0) return "#d48a00";
  return "#d0393e";
}

std::string percent_text(const Record& percent) {
  return percent.is_number() ? fmt::format("{:.2f}%", percent.get<double>()) : std::string("无数据");
}

// The page's headline from its tasks' states, and its colour class.
std::pair<std::string, std::string> headline(const Record& tasks) {
  std::set<std::string> states;
  for (const Record& t : tasks) states.insert(t["health"].get<std::string>());
  if (tasks.empty()) return {"暂无监控项目", "none"};
  if (states.contains("down")) return {"部分服务故障", "down"};
  if (states.contains("degraded")) return {"部分服务降级", "degraded"};
  if (states.contains("maintenance")) return {"部分服务维护中", "maintenance"};
  if (states.size() == 1 && states.contains("up")) return {"所有服务运行正常", "up"};
  return states.contains("up") ? std::pair<std::string, std::string>{"服务运行正常（部分暂无数据）", "up"}
                               : std::pair<std::string, std::string>{"暂无数据", "none"};
}

// The daily bars of a task: an SVG image whose label sums them up and whose rectangles each
// carry the day's figures as a title.
std::string bars(const Record& days, const Record& uptime_90d) {
  constexpr int kStep = 6, kWidth = 4, kHeight = 34;
  std::int64_t empty = 0;
  for (const Record& d : days) empty += d["percent"].is_null() ? 1 : 0;
  const std::string label = fmt::format("过去{}天每日可用率: 合计 {}{}", kDays, percent_text(uptime_90d),
                                        empty > 0 ? fmt::format(", {}天无数据", empty) : std::string());
  std::string out = fmt::format(
      "<svg class=\"bars\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 {} {}\" preserveAspectRatio=\"none\" "
      "role=\"img\" aria-label=\"{}\"><title>{}</title>",
      kStep * kDays - (kStep - kWidth), kHeight, html_escape(label), html_escape(label));
  int i = 0;
  for (const Record& d : days) {
    const std::string title =
        d["percent"].is_null()
            ? text_of(d["day"]) + " 无数据"
            : fmt::format("{} 可用率 {} ({}/{})", text_of(d["day"]), percent_text(d["percent"]), to_int(d["good"]),
                          to_int(d["runs"]));
    out += fmt::format("<rect class=\"day\" x=\"{}\" y=\"0\" width=\"{}\" height=\"{}\" fill=\"{}\"><title>{}</title></rect>",
                       i * kStep, kWidth, kHeight, day_colour(d["percent"]), html_escape(title));
    ++i;
  }
  return out + "</svg>";
}

constexpr const char* kStylesheet = R"(:root{color-scheme:light}
body{margin:0;word-break:keep-all;overflow-wrap:break-word;font:15px/1.55 system-ui,-apple-system,"Segoe UI","Noto Sans CJK SC",sans-serif;background:#f4f6f9;color:#1f2733}
main{max-width:860px;margin:0 auto;padding:28px 16px 48px}
h1{font-size:26px;margin:0 0 6px}h2{font-size:18px;margin:28px 0 10px}
.description{color:#4a5563;margin:0 0 16px;white-space:pre-line}
.headline{padding:14px 18px;border-radius:8px;color:#fff;font-weight:600;margin:18px 0}
.headline.up{background:#1e7e34}.headline.degraded,.headline.maintenance{background:#a86200}.headline.down{background:#c8313a}.headline.none{background:#6b7280}
.tasks{list-style:none;margin:0;padding:0}
.task{background:#fff;border-radius:8px;box-shadow:0 1px 3px #0001;padding:14px 18px;margin:0 0 12px}
.task-head{display:flex;flex-wrap:wrap;gap:8px;justify-content:space-between;align-items:baseline}
.name{font-weight:600}.url{color:#4a5563;font-size:13px;word-break:break-all;display:block}
.state{font-weight:600;padding:1px 10px;border-radius:12px;color:#fff;white-space:nowrap}
.state.up{background:#1e7e34}.state.degraded{background:#a86200}.state.down{background:#c8313a}
.state.maintenance{background:#2f6fbf}.state.none{background:#6b7280}
.bars{display:block;width:100%;height:34px;margin:10px 0 4px}
.scale{display:flex;justify-content:space-between;gap:8px;color:#5b6470;font-size:12px}
.incidents,.notices{list-style:none;margin:0;padding:0}
.incidents li,.notices li{background:#fff;border-left:4px solid #d0393e;border-radius:4px;padding:8px 12px;margin:0 0 8px}
.notices li{border-left-color:#3d7fd0}.notices .active{font-weight:600}.incidents li.muted,.notices li.muted{border-left-color:#c9cdd3}
.muted{color:#5b6470}footer{color:#5b6470;font-size:13px;margin-top:28px}
)";

}  // namespace

bool valid_slug(std::string_view slug) {
  return !slug.empty() && slug.size() <= kSlugMax &&
         std::all_of(slug.begin(), slug.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

Page parse(const Record& args) {
  Page p;
  p.slug = has(args, "slug") ? text_of(args.at("slug")) : std::string();
  if (!valid_slug(p.slug)) throw std::invalid_argument("状态页地址（slug）应为1到40个小写字母、数字或连字符！");
  p.title = text_field(args, "title", "标题", kTitleChars, false);
  p.tag = text_field(args, "tag", "标签", kTagChars, false);
  const std::string show = has(args, "show_urls") ? trimmed_blanks(text_of(args.at("show_urls"))) : std::string();
  if (show != "" && show != "0" && show != "1") throw std::invalid_argument("显示网址（show_urls）只能是0或1！");
  p.show_urls = show == "1";
  p.description = text_field(args, "description", "说明", kDescriptionChars, true);
  return p;
}

void create_tables(Connection& db) { db.run(kSchema); }

std::vector<Page> pages(Connection& db) {
  std::vector<Page> out;
  if (!db.has_table("rivi_status_page")) return out;
  for (const Record& r : db.query("SELECT * FROM rivi_status_page ORDER BY id")) out.push_back(page_of(r));
  return out;
}

std::optional<Page> find(Connection& db, std::string_view slug) {
  if (!valid_slug(slug) || !db.has_table("rivi_status_page")) return std::nullopt;
  const Record rows = db.query("SELECT * FROM rivi_status_page WHERE slug = ?", Record::array({std::string(slug)}));
  if (rows.empty()) return std::nullopt;
  return page_of(rows[0]);
}

std::optional<std::int64_t> save(Connection& db, const Page& page, std::int64_t now) {
  create_tables(db);
  if (!db.query("SELECT 1 FROM rivi_status_page WHERE slug = ? AND id IS NOT ?", Record::array({page.slug, page.id}))
           .empty())
    throw std::invalid_argument("状态页地址（slug）已被其他状态页使用！");
  if (page.id == 0) {
    db.run("INSERT INTO rivi_status_page (slug, title, tag, show_urls, description, addtime) VALUES (?, ?, ?, ?, ?, ?)",
           Record::array({page.slug, page.title, page.tag, page.show_urls ? 1 : 0, page.description, now}));
    return static_cast<std::int64_t>(sqlite3_last_insert_rowid(db.handle()));
  }
  const auto changed = db.run("UPDATE rivi_status_page SET slug = ?, title = ?, tag = ?, show_urls = ?, description = ? WHERE id = ?",
                              Record::array({page.slug, page.title, page.tag, page.show_urls ? 1 : 0, page.description, page.id}));
  if (changed == 0) return std::nullopt;
  return page.id;
}

bool remove(Connection& db, std::int64_t id) {
  if (!db.has_table("rivi_status_page")) return false;
  return db.run("DELETE FROM rivi_status_page WHERE id = ?", Record::array({id})) > 0;
}

std::vector<std::int64_t> tagged_tasks(Connection& db, const std::string& tag) {
  std::vector<std::int64_t> out;
  if (!db.has_table("rivi_tag")) return out;
  for (const Record& r : db.query("SELECT DISTINCT g.pid FROM rivi_tag g JOIN rivi_task t ON t.id = g.pid WHERE g.tag = ? "
                                  "ORDER BY g.pid",
                                  Record::array({tag})))
    out.push_back(to_int(r["pid"]));
  return out;
}

std::string state_words(const std::string& health) {
  if (health == "up") return "正常";
  if (health == "degraded") return "降级";
  if (health == "down") return "故障";
  if (health == "maintenance") return health::kMaintenanceWords;
  if (health == "paused") return "已暂停";
  return "无数据";
}

Record content(Connection& db, const Page& page, std::int64_t now) {
  const std::vector<std::int64_t> pids = tagged_tasks(db, page.tag);
  Record ids = Record::array();
  for (std::int64_t pid : pids) ids.push_back(pid);
  const auto current = task_health::current(db, pids, now);
  const auto [day_keys, first_day] = local_days(now);
  const auto per_day = daily(db, ids, first_day, now);

  std::map<std::int64_t, Record> open;
  for (const Record& r : db.query("SELECT pid, kind, start_time FROM rivi_incident WHERE end_time IS NULL AND "
                                  "pid IN (SELECT value FROM json_each(?)) ORDER BY start_time, id",
                                  Record::array({encode(ids)}))) {
    Record incident{{"kind", incident_words(text_of(r["kind"]))},
                    {"start", r["start_time"]},
                    {"start_text", maintenance::local_minute_text(to_int(r["start_time"]))}};
    auto& list = open[to_int(r["pid"])];
    if (list.is_null()) list = Record::array();
    list.push_back(std::move(incident));
  }

  Record names = Record::object();
  Record tasks = Record::array();
  for (const Record& r : db.query("SELECT id, name, url FROM rivi_task WHERE id IN (SELECT value FROM json_each(?)) ORDER BY id",
                                  Record::array({encode(ids)}))) {
    const std::int64_t pid = to_int(r["id"]);
    const auto& now_state = current.at(pid);
    Record task = Record::object();
    task["id"] = pid;
    task["name"] = text_of(r["name"]);
    names[std::to_string(pid)] = task["name"];
    if (page.show_urls) task["url"] = text_of(r["url"]);
    task["health"] = now_state.health;
    task["state"] = state_words(now_state.health);
    task["uptime_30d"] = now_state.uptime_30d;
    Record days = Record::array();
    std::int64_t good = 0, judged = 0;
    for (const std::string& day : day_keys) {
      const auto it = per_day.find({pid, day});
      const auto [g, runs] = it == per_day.end() ? std::pair<std::int64_t, std::int64_t>{0, 0} : it->second;
      good += g;
      judged += runs;
      days.push_back(Record{{"day", day}, {"good", g}, {"runs", runs}, {"percent", health::percent(g, runs)}});
    }
    task["uptime_90d"] = health::percent(good, judged);
    task["days"] = std::move(days);
    task["incidents"] = open.contains(pid) ? open[pid] : Record::array();
    tasks.push_back(std::move(task));
  }

  Record notices = Record::array();
  const std::set<std::int64_t> on_page(pids.begin(), pids.end());
  std::vector<maintenance::Window> windows;
  if (db.has_table("rivi_maintenance"))
    for (const auto& w : maintenance::windows(db))
      if ((w.pid == maintenance::kAllTasks || on_page.contains(w.pid)) && (w.kind == "weekly" || w.end > now))
        windows.push_back(w);
  // Windows open now first, then one-off windows by start, then the weekly ones.
  std::stable_sort(windows.begin(), windows.end(), [now](const auto& a, const auto& b) {
    const auto key = [now](const maintenance::Window& w) {
      return std::make_tuple(maintenance::covers(w, now) ? 0 : 1, w.kind == "once" ? 0 : 1, w.start);
    };
    return key(a) < key(b);
  });
  if (windows.size() > kNotices) windows.resize(kNotices);
  for (const auto& w : windows) {
    const Record r = maintenance::to_record(w, now);
    const std::string key = std::to_string(w.pid);
    notices.push_back(Record{{"text", r["text"]},
                             {"active", r["active"]},
                             {"tasks", w.pid == maintenance::kAllTasks ? Record("全部项目") : names[key]}});
  }

  Record out = Record::object();
  out["slug"] = page.slug;
  out["title"] = page.title;
  out["description"] = page.description;
  const auto [words, state] = headline(tasks);
  out["headline"] = words;
  out["headline_state"] = state;
  out["tasks"] = std::move(tasks);
  out["notices"] = std::move(notices);
  out["updated"] = local_second_text(now);
  out["timezone"] = maintenance::utc_offset_text(now);
  return out;
}

std::string html(const Record& c) {
  const auto text = [&](const Record& v) { return html_escape(text_of(v)); };
  std::string out = "<!doctype html><html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
                    "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
                    "<meta name=\"referrer\" content=\"no-referrer\">"
                    "<title>" + text(c["title"]) + " - 服务状态</title>"
                    "<link rel=\"stylesheet\" href=\"/status/status.css\"></head><body><main>";
  out += "<h1>" + text(c["title"]) + "</h1>";
  if (!text_of(c["description"]).empty()) out += "<p class=\"description\">" + text(c["description"]) + "</p>";
  out += "<p class=\"headline " + text(c["headline_state"]) + "\" id=\"headline\">" + text(c["headline"]) + "</p>";

  out += "<h2>服务</h2>";
  if (c["tasks"].empty()) out += "<p class=\"muted\">此状态页暂无监控项目。</p>";
  out += "<ul class=\"tasks\">";
  for (const Record& t : c["tasks"]) {
    const std::string health = t["health"].get<std::string>();
    out += fmt::format("<li class=\"task\" data-task=\"{}\" data-state=\"{}\"><div class=\"task-head\"><div>", to_int(t["id"]),
                       state_class(health));
    out += "<span class=\"name\">" + text(t["name"]) + "</span>";
    if (t.contains("url")) out += "<span class=\"url\">" + text(t["url"]) + "</span>";
    out += fmt::format("</div><span class=\"state {}\">{}</span></div>", state_class(health), text(t["state"]));
    out += bars(t["days"], t["uptime_90d"]);
    out += fmt::format("<div class=\"scale\"><span>{}天前</span><span>90天可用率 {} · 30天 {}</span><span>今天</span></div>",
                       kDays, percent_text(t["uptime_90d"]), percent_text(t["uptime_30d"]));
    out += "</li>";
  }
  out += "</ul>";

  out += "<h2>进行中的事件</h2><ul class=\"incidents\" id=\"incidents\">";
  bool any = false;
  for (const Record& t : c["tasks"]) {
    for (const Record& i : t["incidents"]) {
      any = true;
      out += "<li><span class=\"name\">" + text(t["name"]) + "</span>: " + text(i["kind"]) + "，开始于 <time>" +
             text(i["start_text"]) + "</time></li>";
    }
  }
  if (!any) out += "<li class=\"muted\">当前没有进行中的事件</li>";
  out += "</ul>";

  out += "<h2>维护通知</h2><ul class=\"notices\" id=\"notices\">";
  for (const Record& n : c["notices"])
    out += std::string("<li") + (truthy(n["active"]) ? " class=\"active\">维护中：" : ">计划维护：") + text(n["tasks"]) +
           "，" + text(n["text"]) + "</li>";
  if (c["notices"].empty()) out += "<li class=\"muted\">暂无维护计划</li>";
  out += "</ul>";

  out += "<footer>更新于 <time id=\"updated\">" + text(c["updated"]) + "</time> (" + text(c["timezone"]) +
         ")，每日可用率按本地日计算，不含维护期与监控自身故障。</footer></main></body></html>";
  return out;
}

std::string_view stylesheet() { return kStylesheet; }

std::string badge_svg(const std::string& health, const Record& uptime) {
  const std::string left = state_words(health);
  const std::string right = percent_text(uptime);
  const auto width = [](const std::string& s) {
    int w = 12;
    for (std::size_t pos = 0; pos < s.size();) {
      const auto cp = code_point_at(s, pos);
      const std::size_t size = cp ? cp->size : 1;
      w += size > 1 ? 12 : 7;
      pos += size;
    }
    return w;
  };
  const int lw = width(left), rw = width(right);
  const std::string label = html_escape(left + " | " + right);
  return fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"20\" role=\"img\" aria-label=\"{1}\">"
      "<title>{1}</title><rect width=\"{2}\" height=\"20\" rx=\"3\" fill=\"{3}\"/>"
      "<rect x=\"{2}\" width=\"{4}\" height=\"20\" fill=\"#555\"/>"
      "<g fill=\"#fff\" font-family=\"Verdana,DejaVu Sans,Noto Sans CJK SC,sans-serif\" font-size=\"11\" text-anchor=\"middle\">"
      "<text x=\"{5}\" y=\"14\">{6}</text><text x=\"{7}\" y=\"14\">{8}</text></g></svg>",
      lw + rw, label, lw, state_colour(health), rw, lw / 2, html_escape(left), lw + rw / 2, html_escape(right));
}

std::optional<std::string> render(const std::string& slug) {
  Query table = public_::M("rivi_status_page");
  Connection& db = table.connection();
  const auto page = find(db, slug);
  if (!page) return std::nullopt;
  return html(content(db, *page, public_::now()));
}

std::optional<std::string> badge(const std::string& slug, std::int64_t task) {
  Query table = public_::M("rivi_status_page");
  Connection& db = table.connection();
  const auto page = find(db, slug);
  if (!page) return std::nullopt;
  const auto tasks = tagged_tasks(db, page->tag);
  if (!std::binary_search(tasks.begin(), tasks.end(), task)) return std::nullopt;
  const auto current = task_health::current(db, {task}, public_::now());
  const auto it = current.find(task);
  if (it == current.end()) return std::nullopt;
  return badge_svg(it->second.health, it->second.uptime_30d);
}

}  // namespace status_page

namespace {

constexpr const char* kLogType = "拔测监控";
constexpr const char* kNoSuchPage = "指定状态页不存在！";

}  // namespace

Record qn_rivi_main::get_status_pages(Record&) {
  Query table = public_::M("rivi_status_page");
  Connection& db = table.connection();
  Record answer = Record::object();
  answer["data"] = Record::array();
  for (const auto& p : status_page::pages(db)) {
    answer["data"].push_back(Record{{"id", p.id},
                                    {"slug", p.slug},
                                    {"title", p.title},
                                    {"tag", p.tag},
                                    {"show_urls", p.show_urls ? 1 : 0},
                                    {"description", p.description},
                                    {"path", "/status/" + p.slug},
                                    {"tasks", status_page::tagged_tasks(db, p.tag).size()}});
  }
  // The tags in use, for the form's suggestions.
  Record in_use = Record::array();
  if (db.has_table("rivi_tag"))
    for (const auto& [tag, count] : tags::counts(db)) in_use.push_back(tag);
  answer["tags"] = std::move(in_use);
  return answer;
}

Record qn_rivi_main::set_status_page(Record& args) {
  std::int64_t id = 0;
  if (has(args, "id") && truthy(args.at("id"))) {
    const auto given = row_id(args.at("id"));
    if (!given || *given <= 0) return public_::returnMsg(false, kNoSuchPage);
    id = *given;
  }
  status_page::Page page;
  try {
    page = status_page::parse(args);
  } catch (const std::invalid_argument& e) {
    return public_::returnMsg(false, e.what());
  }
  page.id = id;
  transaction tx;
  Query table = public_::M("rivi_status_page");
  std::optional<std::int64_t> saved;
  try {
    saved = status_page::save(table.connection(), page, public_::now());
  } catch (const std::invalid_argument& e) {
    return public_::returnMsg(false, e.what());
  }
  if (!saved) return public_::returnMsg(false, kNoSuchPage);
  public_::WriteLog(kLogType, fmt::format("{}状态页[{}: /status/{}, 标签 {}]", id == 0 ? "添加" : "修改", page.title,
                                          page.slug, page.tag));
  tx.commit();
  Record answer = public_::returnMsg(true, "状态页已保存");
  answer["id"] = *saved;
  return answer;
}

Record qn_rivi_main::remove_status_page(Record& args) {
  if (!has(args, "id")) return public_::returnMsg(false, "错误的参数!");
  const auto id = row_id(args.at("id"));
  if (!id) return public_::returnMsg(false, kNoSuchPage);
  transaction tx;
  Query table = public_::M("rivi_status_page");
  if (!status_page::remove(table.connection(), *id)) return public_::returnMsg(false, kNoSuchPage);
  public_::WriteLog(kLogType, fmt::format("删除状态页[{}]", *id));
  tx.commit();
  return public_::returnMsg(true, "删除成功!");
}

}  // namespace rivi
