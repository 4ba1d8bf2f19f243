// Import and export of tasks: the document, reading input, the plan, and the web methods
// export_tasks and import_tasks. An import writes only through the single methods (create,
// modify, set_checks, set_maintenance, remove_maintenance and the tag edit of tags.h), each with
// its own transaction, job and log line; a dry run reads and plans alone.
#include "plugin/qn_rivi/import_export.h"

#include "host/public.h"
#include "host/store/store.h"
#include "host/utf8.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/tags.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <stdexcept>

namespace rivi::import_export {
namespace {

// The words of the single methods' refusals (tasks.cc), for a dry run that does not call them.
constexpr const char* kNoScheme = "URL地址必需包含http://或https://";
constexpr const char* kShortCycle = "拔测周期最短不能少于1分钟";
constexpr const char* kNameNotText = "任务名称不是有效的文本！";
constexpr const char* kUrlNotText = "URL不是有效的文本！";
constexpr const char* kCycleNotWhole = "拨测周期应为整数（分钟）！";

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t end = std::min(text.find('\n', from), text.size());
    lines.emplace_back(text.substr(from, end - from));
    if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
    from = end + 1;
  }
  return lines;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The whole number of a value (text or number); nothing for anything else.
std::optional<std::int64_t> whole(const Record& value) {
  try {
    return to_int(value.is_string() ? Record(trimmed_blanks(value.get<std::string>())) : value);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Fills name, url and cycle, checked as `create` checks them; an empty name becomes the URL's host.
void set_task_fields(Entry& e, const std::string& name, const std::string& url, const Record& cycle) {
  if (!is_utf8(name)) throw std::invalid_argument(kNameNotText);
  if (!is_utf8(url)) throw std::invalid_argument(kUrlNotText);
  e.url = trimmed_blanks(url);
  if (e.url.find("http://") == std::string::npos && e.url.find("https://") == std::string::npos)
    throw std::invalid_argument(kNoScheme);
  e.name = trimmed_blanks(name).empty() ? host_of(e.url) : name;
  const auto minutes = cycle.is_null() || text_of(cycle).empty() ? std::optional(kDefaultCycle) : whole(cycle);
  if (!minutes) throw std::invalid_argument(kCycleNotWhole);
  if (*minutes < 1) throw std::invalid_argument(kShortCycle);
  e.cycle = *minutes;
}

std::vector<std::string> sorted(std::vector<std::string> items) {
  std::sort(items.begin(), items.end());
  return items;
}

Entry json_entry(const Record& task) {
  Entry e;
  if (!task.is_object()) throw std::invalid_argument("不是任务记录！");
  const auto text = [&](const char* key) {
    const Record v = task.value(key, Record(""));
    if (!v.is_string()) throw std::invalid_argument(fmt::format("{}应为文本！", key));
    return v.get<std::string>();
  };
  set_task_fields(e, text("name"), text("url"), task.value("cycle", Record(nullptr)));
  if (task.contains("status")) {
    const auto status = whole(task["status"]);
    if (!status || (*status != 0 && *status != 1)) throw std::invalid_argument("状态应为1（运行）或0（暂停）！");
    e.status = status;
  }
  if (task.contains("tags")) {
    std::string list;
    if (task["tags"].is_array()) {
      for (const Record& t : task["tags"]) list += text_of(t) + ",";
    } else {
      list = text_of(task["tags"]);
    }
    e.tags = sorted(tags::parse(list));
  }
  if (task.contains("checks")) {
    if (!task["checks"].is_object()) throw std::invalid_argument("checks应为规则记录！");
    e.rules = checks::parse(task["checks"]);
  }
  if (task.contains("maintenance")) {
    if (!task["maintenance"].is_array()) throw std::invalid_argument("maintenance应为维护窗口列表！");
    e.windows.emplace();
    for (const Record& w : task["maintenance"]) e.windows->push_back(window_of(w));
  }
  return e;
}

// Runs `fill` on a fresh entry of row `row`; what it refuses becomes the entry's refusal.
template <typename Fill>
Entry entry_at(std::size_t row, const std::string& url_hint, Fill fill) {
  Entry e;
  try {
    e = fill();
  } catch (const std::invalid_argument& why) {
    e = Entry{};
    e.url = url_hint;
    e.refusal = why.what();
  }
  e.row = row;
  return e;
}

void read_json(std::string_view data, Input& input) {
  Record doc;
  try {
    doc = decode(data);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("导入数据不是有效的JSON!");
  }
  if (!doc.is_object() || !doc.contains("version") || whole(doc["version"]) != kVersion)
    throw std::invalid_argument(fmt::format("不支持的导入数据版本，应为{}！", kVersion));
  if (!doc.contains("tasks") || !doc["tasks"].is_array()) throw std::invalid_argument("导入数据缺少tasks列表！");
  std::size_t row = 0;
  for (const Record& task : doc["tasks"]) {
    const std::string hint = task.is_object() && task.value("url", Record()).is_string() ? task["url"].get<std::string>() : "";
    input.entries.push_back(entry_at(++row, hint, [&] { return json_entry(task); }));
  }
  if (doc.contains("maintenance")) {
    if (!doc["maintenance"].is_array()) throw std::invalid_argument("maintenance应为维护窗口列表！");
    for (const Record& w : doc["maintenance"]) input.all_task_windows.push_back(window_of(w));
  }
}

void read_csv(std::string_view data, Input& input) {
  const std::vector<CsvRecord> records = csv_records(data);
  std::map<std::string, std::size_t> column;
  std::size_t first = 0;
  while (first < records.size() && records[first].fields.size() == 1 && trimmed_blanks(records[first].fields[0]).empty())
    ++first;
  if (first < records.size()) {
    for (std::size_t i = 0; i < records[first].fields.size(); ++i)
      column.emplace(lower(trimmed_blanks(records[first].fields[i])), i);
  }
  if (!column.contains("url")) throw std::invalid_argument("CSV的首行应为表头name,url,cycle,tags!");
  for (std::size_t i = first + 1; i < records.size(); ++i) {
    const CsvRecord& r = records[i];
    if (r.fields.size() == 1 && trimmed_blanks(r.fields[0]).empty()) continue;
    const auto cell = [&](const char* key) {
      const auto at = column.find(key);
      return at == column.end() || at->second >= r.fields.size() ? std::string() : r.fields[at->second];
    };
    input.entries.push_back(entry_at(r.line, trimmed_blanks(cell("url")), [&] {
      Entry e;
      set_task_fields(e, cell("name"), cell("url"), Record(cell("cycle")));
      if (column.contains("tags")) {
        std::string list = cell("tags");
        std::replace(list.begin(), list.end(), '|', ',');
        std::replace(list.begin(), list.end(), ';', ',');
        e.tags = sorted(tags::parse(list));
      }
      return e;
    }));
  }
}

void read_lines(std::string_view data, Input& input) {
  std::size_t line = 0;
  for (const std::string& text : lines_of(data)) {
    ++line;
    const std::string url = trimmed_blanks(text);
    if (url.empty() || url.starts_with('#')) continue;
    input.entries.push_back(entry_at(line, url, [&] {
      Entry e;
      set_task_fields(e, "", url, Record(nullptr));
      return e;
    }));
  }
}

// What a task is, for comparing an entry with it: a stored task, or a fresh one.
struct State {
  std::optional<std::int64_t> id;
  std::string name;
  std::int64_t cycle = 0;
  std::int64_t status = 1;
  std::vector<std::string> tags;
  checks::Rules rules;
  std::vector<std::string> windows;  // their records' text, sorted
};

std::vector<std::string> window_texts(const std::vector<maintenance::Window>& windows) {
  std::vector<std::string> texts;
  for (const auto& w : windows) texts.push_back(encode(window_record(w)));
  return sorted(std::move(texts));
}

std::int64_t status_of(const Record& value) {
  const auto n = whole(value);
  return n && *n == 0 ? 0 : 1;
}

// The fields of `e` that differ from `s`, by their keys.
std::vector<std::string> differences(Connection& db, const Entry& e, State& s) {
  std::vector<std::string> out;
  if (e.name != s.name) out.push_back("name");
  if (e.cycle != s.cycle) out.push_back("cycle");
  if (e.status && *e.status != s.status) out.push_back("status");
  if (e.tags && *e.tags != s.tags) out.push_back("tags");
  if (e.rules) {
    if (s.id) s.rules = checks::load(db, *s.id);
    if (*e.rules != s.rules) out.push_back("checks");
  }
  if (e.windows) {
    if (s.id) s.windows = window_texts(own_windows_of(db, *s.id));
    if (window_texts(*e.windows) != s.windows) out.push_back("maintenance");
  }
  return out;
}

std::string field_words(const std::vector<std::string>& keys) {
  static const std::map<std::string, std::string> words{{"name", "名称"},     {"cycle", "周期"}, {"status", "状态"},
                                                        {"tags", "标签"},     {"checks", "检查规则"},
                                                        {"maintenance", "维护窗口"}};
  std::string out;
  for (const auto& key : keys) out += (out.empty() ? "" : "、") + words.at(key);
  return out;
}

}  // namespace

std::string guess_format(std::string_view data) {
  const std::string text = trimmed_blanks(data);
  if (text.starts_with('{')) return "json";
  const std::string first = lower(lines_of(text).front());
  if (first.find(',') != std::string::npos && first.find("url") != std::string::npos && first.find("://") == std::string::npos)
    return "csv";
  return "lines";
}

std::vector<CsvRecord> csv_records(std::string_view text) {
  std::vector<CsvRecord> records;
  CsvRecord current{1, {}};
  std::string field;
  bool quoted = false;
  std::size_t line = 1, quote_line = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        if (c == '\n') ++line;
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
      quote_line = line;
    } else if (c == ',') {
      current.fields.push_back(std::move(field));
      field.clear();
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      current.fields.push_back(std::move(field));
      field.clear();
      records.push_back(std::move(current));
      current = CsvRecord{++line, {}};
    } else {
      field += c;
    }
  }
  if (quoted) throw std::invalid_argument(fmt::format("CSV第{}行的引号没有结束！", quote_line));
  if (!field.empty() || !current.fields.empty()) {
    current.fields.push_back(std::move(field));
    records.push_back(std::move(current));
  }
  return records;
}

std::string host_of(std::string_view url) {
  const std::size_t scheme = url.find("://");
  std::string_view rest = scheme == std::string_view::npos ? url : url.substr(scheme + 3);
  rest = rest.substr(0, std::min(rest.find_first_of("/?#"), rest.size()));
  if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
  if (rest.starts_with('[')) return std::string(rest.substr(0, std::min(rest.find(']') + 1, rest.size())));
  return std::string(rest.substr(0, std::min(rest.find(':'), rest.size())));
}

Input read(std::string_view data, std::string format) {
  Input input;
  input.format = format.empty() ? guess_format(data) : format;
  if (input.format == "json") read_json(data, input);
  else if (input.format == "csv") read_csv(data, input);
  else if (input.format == "lines") read_lines(data, input);
  else throw std::invalid_argument("导入格式应为json、csv或lines!");
  std::map<std::string, std::size_t> first_row;
  for (Entry& e : input.entries) {
    if (!e.refusal.empty()) continue;
    const auto [at, fresh] = first_row.emplace(e.url, e.row);
    if (!fresh) e.refusal = fmt::format("与第{}行的URL重复", at->second);
  }
  return input;
}

Record plan(Connection& db, const Input& input) {
  std::map<std::string, State> stored;
  std::vector<std::int64_t> ids;
  for (const Record& r : db.query("SELECT id, name, url, cycle, status FROM rivi_task ORDER BY id")) {
    const std::string url = text_of(r["url"]);
    if (stored.contains(url)) continue;
    State s;
    s.id = to_int(r["id"]);
    s.name = text_of(r["name"]);
    s.cycle = whole(r["cycle"]).value_or(0);
    s.status = status_of(r["status"]);
    stored.emplace(url, std::move(s));
    ids.push_back(to_int(r["id"]));
  }
  const auto stored_tags = tags::of_tasks(db, ids);
  Record rows = Record::array();
  for (const Entry& e : input.entries) {
    Record row = Record{{"row", e.row}, {"name", e.name}, {"url", e.url}, {"cycle", e.cycle}};
    row["tags"] = e.tags ? Record(*e.tags) : Record(nullptr);
    if (!e.refusal.empty()) {
      row["action"] = "refuse";
      row["msg"] = e.refusal;
      row["changes"] = Record::array();
      rows.push_back(std::move(row));
      continue;
    }
    const auto found = stored.find(e.url);
    State s;
    if (found != stored.end()) {
      s = found->second;
      if (const auto t = stored_tags.find(*s.id); t != stored_tags.end()) s.tags = t->second;
    }
    const std::vector<std::string> changes = differences(db, e, s);
    if (!s.id) {
      row["action"] = "create";
      row["msg"] = "将创建";
      Record fresh = Record::array();
      for (const auto& key : changes)
        if (key != "name" && key != "cycle") fresh.push_back(key);
      row["changes"] = std::move(fresh);
    } else {
      row["id"] = *s.id;
      row["action"] = changes.empty() ? "skip" : "change";
      row["msg"] = changes.empty() ? "已存在相同的任务" : "将修改" + field_words(changes);
      row["changes"] = changes;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<maintenance::Window> own_windows_of(Connection& db, std::int64_t pid) {
  std::vector<maintenance::Window> own;
  for (auto& w : maintenance::windows(db, pid))
    if (w.pid == pid) own.push_back(std::move(w));
  return own;
}

Record window_record(const maintenance::Window& w) {
  if (w.kind == "once") return Record{{"kind", w.kind}, {"start", w.start}, {"end", w.end}, {"note", w.note}};
  return Record{{"kind", w.kind},
                {"weekdays", w.weekdays},
                {"at", maintenance::minute_of_day_text(w.start_minute)},
                {"duration", w.duration},
                {"note", w.note}};
}

maintenance::Window window_of(const Record& r) {
  if (!r.is_object()) throw std::invalid_argument("维护窗口应为记录！");
  Record args = r;
  if (r.contains("weekdays") && r["weekdays"].is_array()) {
    std::string days;
    for (const Record& d : r["weekdays"]) days += (days.empty() ? "" : ",") + text_of(d);
    args["weekdays"] = days;
  }
  return maintenance::parse(args);
}

Record export_document(Connection& db) {
  Record tasks = Record::array();
  const Record rows = db.query("SELECT id, name, url, cycle, status FROM rivi_task ORDER BY id");
  std::vector<std::int64_t> ids;
  for (const Record& r : rows) ids.push_back(to_int(r["id"]));
  const auto stored_tags = tags::of_tasks(db, ids);
  std::map<std::int64_t, Record> windows;
  Record all_tasks = Record::array();
  for (const auto& w : maintenance::windows(db)) {
    if (w.pid == maintenance::kAllTasks) all_tasks.push_back(window_record(w));
    else windows[w.pid].push_back(window_record(w));
  }
  for (const Record& r : rows) {
    const std::int64_t id = to_int(r["id"]);
    Record task = Record::object();
    task["name"] = text_of(r["name"]);
    task["url"] = text_of(r["url"]);
    task["cycle"] = whole(r["cycle"]).value_or(kDefaultCycle);
    task["status"] = status_of(r["status"]);
    task["tags"] = Record::array();
    if (const auto t = stored_tags.find(id); t != stored_tags.end()) task["tags"] = t->second;
    task["checks"] = checks::to_record(checks::load(db, id));
    task["maintenance"] = windows.contains(id) ? windows[id] : Record::array();
    tasks.push_back(std::move(task));
  }
  return Record{{"version", kVersion}, {"tasks", std::move(tasks)}, {"maintenance", std::move(all_tasks)}};
}

}  // namespace rivi::import_export

namespace rivi {
namespace {

// Each window of `windows` as set_maintenance's request for task `pid`.
Record window_request(const maintenance::Window& w, std::int64_t pid) {
  Record args = import_export::window_record(w);
  if (args.contains("weekdays")) {
    std::string days;
    for (int d : w.weekdays) days += (days.empty() ? "" : ",") + std::to_string(d);
    args["weekdays"] = days;
  }
  args["pid"] = pid;
  return args;
}

// Throws the refusal of a single method's answer.
void accepted(const Record& answer) {
  if (!answer.is_object() || !truthy(answer.value("status", Record(false))))
    throw std::invalid_argument(answer.is_object() ? text_of(answer.value("msg", Record(""))) : "操作失败");
}

bool wanted(const Record& args, const char* key) {
  if (!has(args, key)) return false;
  const std::string text = trimmed_blanks(text_of(args.at(key)));
  return !text.empty() && text != "0" && text != "false";
}

}  // namespace

Record qn_rivi_main::export_tasks(Record&) {
  Query table = public_::M("rivi_task");
  return import_export::export_document(table.connection());
}

Record qn_rivi_main::import_tasks(Record& args) {
  if (!has(args, "data")) return public_::returnMsg(false, "错误的参数!");
  import_export::Input input;
  try {
    input = import_export::read(text_of(args.at("data")), has(args, "format") ? trimmed_blanks(text_of(args.at("format"))) : "");
  } catch (const std::invalid_argument& e) {
    return public_::returnMsg(false, e.what());
  }
  Query table = public_::M("rivi_task");
  Connection& db = table.connection();
  Record rows = import_export::plan(db, input);
  const bool dry_run = wanted(args, "dry_run");

  for (std::size_t i = 0; !dry_run && i < rows.size(); ++i) {
    Record& row = rows[i];
    const import_export::Entry& e = input.entries[i];
    const std::string action = row["action"].get<std::string>();
    if (action != "create" && action != "change") continue;
    const auto changed = [&](const char* key) {
      return std::find(row["changes"].begin(), row["changes"].end(), Record(key)) != row["changes"].end();
    };
    try {
      std::int64_t id = 0;
      if (action == "create") {
        Record request{{"name2", e.name}, {"url", e.url}, {"cycle", e.cycle}};
        accepted(create(request));
        id = to_int(db.query("SELECT MAX(id) AS id FROM rivi_task WHERE url = ?", Record::array({e.url}))[0]["id"]);
        row["id"] = id;
      } else {
        id = to_int(row["id"]);
        if (changed("name") || changed("cycle")) {
          Record request{{"id", id}, {"name2", e.name}, {"cycle", e.cycle}};
          accepted(modify(request));
        }
      }
      if (changed("tags")) accepted(tags::edit_task(id, [&](const std::vector<std::string>&) { return *e.tags; }));
      if (changed("checks")) {
        Record request = checks::to_record(*e.rules);
        request["pid"] = id;
        accepted(set_checks(request));
      }
      if (changed("maintenance")) {
        for (const auto& w : import_export::own_windows_of(db, id)) {
          Record request{{"id", w.id}};
          accepted(remove_maintenance(request));
        }
        for (const auto& w : *e.windows) {
          Record request = window_request(w, id);
          accepted(set_maintenance(request));
        }
      }
      if (changed("status")) {
        Record request{{"id", id}, {"status", *e.status}};
        accepted(modify(request));
      }
      row["msg"] = action == "create" ? "已创建" : "已修改";
    } catch (const std::invalid_argument& why) {
      row["action"] = "refuse";
      row["msg"] = why.what();
    }
  }

  // The windows of every task that are not stored yet.
  std::vector<std::string> present;
  for (const auto& w : maintenance::windows(db, maintenance::kAllTasks))
    if (w.pid == maintenance::kAllTasks) present.push_back(encode(import_export::window_record(w)));
  std::int64_t windows_added = 0;
  for (const auto& w : input.all_task_windows) {
    const std::string text = encode(import_export::window_record(w));
    if (std::find(present.begin(), present.end(), text) != present.end()) continue;
    present.push_back(text);
    ++windows_added;
    if (dry_run) continue;
    Record request = window_request(w, maintenance::kAllTasks);
    accepted(set_maintenance(request));
  }

  Record counts{{"create", 0}, {"change", 0}, {"skip", 0}, {"refuse", 0}};
  for (const Record& row : rows) counts[row["action"].get<std::string>()] = to_int(counts[row["action"].get<std::string>()]) + 1;
  Record answer = public_::returnMsg(
      true, fmt::format("{}创建{}个，修改{}个，跳过{}个，拒绝{}个", dry_run ? "预览：" : "", to_int(counts["create"]),
                        to_int(counts["change"]), to_int(counts["skip"]), to_int(counts["refuse"])));
  answer["dry_run"] = dry_run;
  answer["format"] = input.format;
  answer["counts"] = std::move(counts);
  answer["windows"] = windows_added;
  answer["data"] = std::move(rows);
  return answer;
}

}  // namespace rivi
