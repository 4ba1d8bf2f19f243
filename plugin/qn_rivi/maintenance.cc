// Maintenance windows: the table, reading a window from a request, whether windows cover a task,
// and the web methods get_maintenance, set_maintenance, remove_maintenance.
#include "plugin/qn_rivi/maintenance.h"

#include "host/public.h"
#include "host/store/store.h"
#include "host/utf8.h"
#include "host/zoneinfo.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/row_id.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <regex>
#include <stdexcept>

namespace rivi {
namespace maintenance {
namespace {

constexpr std::int64_t kDay = 24 * 3600;
constexpr std::int64_t kWeek = 7 * kDay;
constexpr const char* kWeekdayNames[] = {"一", "二", "三", "四", "五", "六", "日"};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_maintenance ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, pid INTEGER NOT NULL DEFAULT 0, kind TEXT NOT NULL, "
    "start_time INTEGER, end_time INTEGER, weekdays TEXT NOT NULL DEFAULT '', start_minute INTEGER, "
    "duration INTEGER, note TEXT NOT NULL DEFAULT '', addtime INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS rivi_maintenance_pid ON rivi_maintenance (pid);";

std::tm local(std::int64_t time) {
  const std::time_t t = static_cast<std::time_t>(time);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

// The text of a request field ("" when absent); a value that is not readable text is refused
// with `refusal`.
std::string field_text(const Record& args, const char* key, const char* refusal) {
  if (!has(args, key) || args.at(key).is_null()) return "";
  const Record& v = args.at(key);
  if (v.is_string()) {
    if (!is_utf8(v.get_ref<const std::string&>())) throw std::invalid_argument(refusal);
    return v.get<std::string>();
  }
  if (v.is_number_integer()) return std::to_string(v.get<std::int64_t>());
  throw std::invalid_argument(refusal);
}

// Unix seconds, or a local "YYYY-MM-DD HH:MM[:SS]" (or with "T"), that names an existing moment.
std::optional<std::int64_t> parse_time(const std::string& raw) {
  const std::string text = trimmed_blanks(raw);
  static const std::regex kDigits(R"(\d{1,12})");
  if (std::regex_match(text, kDigits)) return std::stoll(text);
  static const std::regex kLocal(R"((\d{4})-(\d{2})-(\d{2})[ T](\d{2}):(\d{2})(?::(\d{2}))?)");
  std::smatch m;
  if (!std::regex_match(text, m, kLocal)) return std::nullopt;
  std::tm tm{};
  tm.tm_year = std::stoi(m[1]) - 1900;
  tm.tm_mon = std::stoi(m[2]) - 1;
  tm.tm_mday = std::stoi(m[3]);
  tm.tm_hour = std::stoi(m[4]);
  tm.tm_min = std::stoi(m[5]);
  tm.tm_sec = m[6].matched ? std::stoi(m[6]) : 0;
  tm.tm_isdst = -1;
  const std::tm asked = tm;
  const std::time_t t = std::mktime(&tm);
  // mktime carries 2025-02-30 into March and a skipped hour into the next: such times name nothing.
  if (t == static_cast<std::time_t>(-1) || tm.tm_year != asked.tm_year || tm.tm_mon != asked.tm_mon ||
      tm.tm_mday != asked.tm_mday || tm.tm_hour != asked.tm_hour || tm.tm_min != asked.tm_min || tm.tm_sec != asked.tm_sec)
    return std::nullopt;
  return static_cast<std::int64_t>(t);
}

std::vector<int> parse_weekdays(const std::string& text) {
  static const std::regex kList(R"(\s*[1-7]\s*(,\s*[1-7]\s*)*)");
  if (!std::regex_match(text, kList)) throw std::invalid_argument("星期应为1到7之间的数字（1为周一），以逗号分隔！");
  std::vector<int> days;
  for (char c : text) {
    if (c >= '1' && c <= '7') days.push_back(c - '0');
  }
  std::sort(days.begin(), days.end());
  days.erase(std::unique(days.begin(), days.end()), days.end());
  return days;
}

std::string weekdays_text(const std::vector<int>& days) {
  std::string out;
  for (int d : days) out += (out.empty() ? "" : ",") + std::to_string(d);
  return out;
}

std::vector<int> stored_weekdays(const Record& text) {
  std::vector<int> days;
  if (!text.is_string()) return days;
  for (char c : text.get_ref<const std::string&>()) {
    if (c >= '1' && c <= '7') days.push_back(c - '0');
  }
  return days;
}

std::int64_t int_or(const Record& v, std::int64_t fallback) { return v.is_number_integer() ? v.get<std::int64_t>() : fallback; }

Window from_row(const Record& r) {
  Window w;
  w.id = int_or(r["id"], 0);
  w.pid = int_or(r["pid"], kAllTasks);
  w.kind = r["kind"].is_string() ? r["kind"].get<std::string>() : "";
  w.start = int_or(r["start_time"], 0);
  w.end = int_or(r["end_time"], 0);
  w.weekdays = stored_weekdays(r["weekdays"]);
  w.start_minute = int_or(r["start_minute"], 0);
  w.duration = int_or(r["duration"], 0);
  w.note = r["note"].is_string() ? r["note"].get<std::string>() : "";
  return w;
}

// "2025-03-01 02:00 至 2025-03-01 04:00", "每周一、日 23:00 起 120 分钟".
std::string describe(const Window& w) {
  if (w.kind == "once") return local_minute_text(w.start) + " 至 " + local_minute_text(w.end);
  std::string days;
  for (int d : w.weekdays) days += (days.empty() ? "" : "、") + std::string(kWeekdayNames[d - 1]);
  return fmt::format("每周{} {} 起 {} 分钟", days, minute_of_day_text(w.start_minute), w.duration);
}

}  // namespace

bool covers(const Window& w, std::int64_t time) {
  if (w.kind == "once") return w.start <= time && time < w.end;
  if (w.kind != "weekly" || w.duration <= 0) return false;
  const std::tm tm = local(time);
  const std::int64_t into_week = ((tm.tm_wday + 6) % 7) * kDay + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
  const std::int64_t length = std::min(w.duration, kWeekMinutes) * 60;
  for (int day : w.weekdays) {
    const std::int64_t opens = (day - 1) * kDay + w.start_minute * 60;
    if (((into_week - opens) % kWeek + kWeek) % kWeek < length) return true;
  }
  return false;
}

std::vector<Window> windows(Connection& db, std::optional<std::int64_t> pid) {
  const Record rows = pid ? db.query("SELECT * FROM rivi_maintenance WHERE pid IN (?, ?) ORDER BY id",
                                     Record::array({kAllTasks, *pid}))
                          : db.query("SELECT * FROM rivi_maintenance ORDER BY id");
  std::vector<Window> out;
  for (const Record& r : rows) out.push_back(from_row(r));
  return out;
}

std::optional<Window> covering(Connection& db, std::int64_t pid, std::int64_t time) {
  for (Window& w : windows(db, pid)) {
    if (covers(w, time)) return std::move(w);
  }
  return std::nullopt;
}

bool active(Connection& db, std::int64_t pid, std::int64_t time) { return covering(db, pid, time).has_value(); }

std::set<std::int64_t> covered_tasks(Connection& db, std::int64_t time) {
  std::set<std::int64_t> pids;
  for (const Window& w : windows(db)) {
    if (covers(w, time)) pids.insert(w.pid);
  }
  return pids;
}

Window parse(const Record& args) {
  Window w;
  w.kind = trimmed_blanks(field_text(args, "kind", "维护类型应为once或weekly!"));
  if (w.kind == "once") {
    const auto start = parse_time(field_text(args, "start", "开始时间格式应为YYYY-MM-DD HH:MM!"));
    if (!start) throw std::invalid_argument("开始时间格式应为YYYY-MM-DD HH:MM!");
    const auto end = parse_time(field_text(args, "end", "结束时间格式应为YYYY-MM-DD HH:MM!"));
    if (!end) throw std::invalid_argument("结束时间格式应为YYYY-MM-DD HH:MM!");
    if (*end <= *start) throw std::invalid_argument("结束时间应晚于开始时间！");
    w.start = *start;
    w.end = *end;
  } else if (w.kind == "weekly") {
    w.weekdays = parse_weekdays(field_text(args, "weekdays", "星期应为1到7之间的数字（1为周一），以逗号分隔！"));
    static const std::regex kClock(R"(([01]?\d|2[0-3]):([0-5]\d))");
    const std::string at = trimmed_blanks(field_text(args, "at", "开始时刻格式应为HH:MM!"));
    std::smatch m;
    if (!std::regex_match(at, m, kClock)) throw std::invalid_argument("开始时刻格式应为HH:MM!");
    w.start_minute = std::stoi(m[1]) * 60 + std::stoi(m[2]);
    const std::string minutes = trimmed_blanks(field_text(args, "duration", "持续时间应为1到10080之间的整数分钟！"));
    static const std::regex kMinutes(R"(\d{1,5})");
    if (!std::regex_match(minutes, kMinutes)) throw std::invalid_argument("持续时间应为1到10080之间的整数分钟！");
    w.duration = std::stoll(minutes);
    if (w.duration < 1 || w.duration > kWeekMinutes) throw std::invalid_argument("持续时间应为1到10080之间的整数分钟！");
  } else {
    throw std::invalid_argument("维护类型应为once或weekly!");
  }
  w.note = trimmed_blanks(field_text(args, "note", "备注不是有效的文本！"));
  std::size_t chars = 0;
  for (unsigned char c : w.note) chars += (c & 0xC0) != 0x80 ? 1 : 0;
  if (chars > kNoteChars) throw std::invalid_argument(fmt::format("备注不能超过{}个字符！", kNoteChars));
  return w;
}

std::optional<std::int64_t> save(Connection& db, const Window& w, std::int64_t now) {
  const bool once = w.kind == "once";
  const Record values = Record::array({w.pid, w.kind, once ? Record(w.start) : Record(nullptr),
                                       once ? Record(w.end) : Record(nullptr), once ? "" : weekdays_text(w.weekdays),
                                       once ? Record(nullptr) : Record(w.start_minute),
                                       once ? Record(nullptr) : Record(w.duration), w.note});
  if (w.id == 0) {
    Record params = values;
    params.push_back(now);
    db.run("INSERT INTO rivi_maintenance (pid, kind, start_time, end_time, weekdays, start_minute, duration, note, addtime) "
           "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
           params);
    return static_cast<std::int64_t>(sqlite3_last_insert_rowid(db.handle()));
  }
  Record params = values;
  params.push_back(w.id);
  const std::int64_t changed = db.run(
      "UPDATE rivi_maintenance SET pid = ?, kind = ?, start_time = ?, end_time = ?, weekdays = ?, start_minute = ?, "
      "duration = ?, note = ? WHERE id = ?",
      params);
  return changed == 0 ? std::nullopt : std::optional<std::int64_t>(w.id);
}

bool remove(Connection& db, std::int64_t id) {
  return db.run("DELETE FROM rivi_maintenance WHERE id = ?", Record::array({id})) > 0;
}

void forget_task(std::int64_t pid) { public_::M("rivi_maintenance").where("pid=?", Record::array({pid})).delete_(); }

std::string local_minute_text(std::int64_t time) {
  const std::tm tm = local(time);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
  return buf;
}

std::string minute_of_day_text(std::int64_t minute) { return fmt::format("{:02}:{:02}", minute / 60, minute % 60); }

std::string utc_offset_text(std::int64_t time) { return "UTC" + offset_text(local(time).tm_gmtoff); }

Record to_record(const Window& w, std::int64_t now) {
  const bool once = w.kind == "once";
  Record r = Record::object();
  r["id"] = w.id;
  r["pid"] = w.pid;
  r["kind"] = w.kind;
  r["start"] = once ? Record(w.start) : Record(nullptr);
  r["end"] = once ? Record(w.end) : Record(nullptr);
  r["start_text"] = once ? Record(local_minute_text(w.start)) : Record(nullptr);
  r["end_text"] = once ? Record(local_minute_text(w.end)) : Record(nullptr);
  r["weekdays"] = once ? Record::array() : Record(w.weekdays);
  r["at"] = once ? Record(nullptr) : Record(minute_of_day_text(w.start_minute));
  r["duration"] = once ? Record(nullptr) : Record(w.duration);
  r["note"] = w.note;
  r["text"] = describe(w);
  r["active"] = covers(w, now);
  return r;
}

const std::vector<std::string>& schema_names() {
  static const std::vector<std::string> names = {"rivi_maintenance", "rivi_maintenance_pid"};
  return names;
}

void create_tables(Connection& db) { db.exec_script(kSchema); }

}  // namespace maintenance

namespace {

constexpr const char* kLogType = "拔测监控";
constexpr const char* kNoSuchWindow = "指定维护窗口不存在！";

// The task a request names in `pid`: kAllTasks when absent, empty or 0; nothing when it names no
// stored task.
std::optional<std::int64_t> requested_task(const Record& args) {
  if (!has(args, "pid") || !truthy(args.at("pid"))) return maintenance::kAllTasks;
  const auto pid = row_id(args.at("pid"));
  if (!pid) return std::nullopt;
  if (*pid == maintenance::kAllTasks) return pid;
  if (public_::M("rivi_task").where("id=?", *pid).count() == 0) return std::nullopt;
  return pid;
}

std::string task_words(const Record& names, std::int64_t pid) {
  if (pid == maintenance::kAllTasks) return "全部任务";
  const std::string key = std::to_string(pid);
  return names.contains(key) ? text_of(names[key]) : "任务 " + key;
}

}  // namespace

Record qn_rivi_main::get_maintenance(Record& args) {
  const std::int64_t now = public_::now();
  Query table = public_::M("rivi_maintenance");
  Connection& db = table.connection();
  std::optional<std::int64_t> pid;
  if (has(args, "pid") && truthy(args.at("pid"))) {
    pid = row_id(args.at("pid"));
    if (!pid) pid = -1;  // names no task: only the windows of every task apply
  }
  const std::vector<maintenance::Window> found = maintenance::windows(db, pid);
  Record ids = Record::array();
  for (const auto& w : found) ids.push_back(w.pid);
  Record names = Record::object();
  for (const Record& r : db.query("SELECT id, name FROM rivi_task WHERE id IN (SELECT value FROM json_each(?))",
                                  Record::array({encode(ids)}))) {
    names[std::to_string(to_int(r["id"]))] = r["name"];
  }
  Record answer = Record::object();
  answer["data"] = Record::array();
  bool any = false;
  for (const auto& w : found) {
    Record r = maintenance::to_record(w, now);
    r["task"] = task_words(names, w.pid);
    any = any || r["active"].get<bool>();
    answer["data"].push_back(std::move(r));
  }
  answer["active"] = any;
  answer["now"] = maintenance::local_minute_text(now);
  answer["timezone"] = maintenance::utc_offset_text(now);
  return answer;
}

Record qn_rivi_main::set_maintenance(Record& args) {
  std::int64_t id = 0;
  if (has(args, "id") && truthy(args.at("id"))) {
    const auto given = row_id(args.at("id"));
    if (!given || *given <= 0) return public_::returnMsg(false, kNoSuchWindow);
    id = *given;
  }
  const auto pid = requested_task(args);
  if (!pid) return public_::returnMsg(false, "指定任务不存在!");
  maintenance::Window w;
  try {
    w = maintenance::parse(args);
  } catch (const std::invalid_argument& e) {
    return public_::returnMsg(false, e.what());
  }
  w.id = id;
  w.pid = *pid;

  transaction tx;
  Query table = public_::M("rivi_maintenance");
  const auto saved = maintenance::save(table.connection(), w, public_::now());
  if (!saved) return public_::returnMsg(false, kNoSuchWindow);
  w.id = *saved;
  const Record name = public_::M("rivi_task").where("id=?", w.pid).getField("name");
  const Record names = name.is_null() ? Record::object() : Record{{std::to_string(w.pid), name}};
  public_::WriteLog(kLogType, fmt::format("{}维护窗口[{}: {}]", id == 0 ? "添加" : "修改", task_words(names, w.pid),
                                          maintenance::to_record(w, 0)["text"].get<std::string>()));
  tx.commit();
  Record answer = public_::returnMsg(true, "维护窗口已保存");
  answer["id"] = w.id;
  return answer;
}

Record qn_rivi_main::remove_maintenance(Record& args) {
  if (!has(args, "id")) return public_::returnMsg(false, "错误的参数!");
  const auto id = row_id(args.at("id"));
  if (!id) return public_::returnMsg(false, kNoSuchWindow);
  transaction tx;
  Query table = public_::M("rivi_maintenance");
  if (!maintenance::remove(table.connection(), *id)) return public_::returnMsg(false, kNoSuchWindow);
  public_::WriteLog(kLogType, fmt::format("删除维护窗口[{}]", *id));
  tx.commit();
  return public_::returnMsg(true, "删除成功!");
}

}  // namespace rivi
