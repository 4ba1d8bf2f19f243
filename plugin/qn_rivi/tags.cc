// Tags of tasks: the table, reading tags from text, one task's edits, and the web methods
// set_tags and get_tags.
#include "plugin/qn_rivi/tags.h"

#include "host/public.h"
#include "host/store/store.h"
#include "host/utf8.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/row_id.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

namespace rivi::tags {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_tag (pid INTEGER NOT NULL, tag TEXT NOT NULL, PRIMARY KEY (pid, tag));"
    "CREATE INDEX IF NOT EXISTS rivi_tag_tag ON rivi_tag (tag, pid);";
constexpr const char* kFullWidthComma = "，";

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ",") + item;
  return out;
}

}  // namespace

std::string tag_of(std::string_view text) {
  if (!is_utf8(text)) throw std::invalid_argument("标签不是有效的文本！");
  std::string tag = trimmed_blanks(text);
  // The ideographic space trims too: tags are typed with Chinese input methods.
  for (const std::string_view space = "\u3000"; tag.starts_with(space) || tag.ends_with(space);) {
    tag = trimmed_blanks(tag.starts_with(space) ? tag.substr(space.size()) : tag.substr(0, tag.size() - space.size()));
  }
  if (tag.find(',') != std::string::npos || tag.find(kFullWidthComma) != std::string::npos)
    throw std::invalid_argument(fmt::format("标签不能包含逗号：{}", tag));
  std::size_t chars = 0;
  for (std::size_t at = 0; at < tag.size(); ++chars) {
    const CodePoint cp = *code_point_at(tag, at);
    if (cp.value < 0x20 || (cp.value >= 0x7F && cp.value < 0xA0))
      throw std::invalid_argument("标签不能包含控制字符！");
    at += cp.size;
  }
  if (chars < 1 || chars > kMaxChars)
    throw std::invalid_argument(fmt::format("标签长度应为1到{}个字符：{}", kMaxChars, tag));
  return tag;
}

std::vector<std::string> list_items(std::string_view text) {
  std::vector<std::string> items;
  const std::string_view wide = kFullWidthComma;
  std::size_t from = 0;
  for (std::size_t at = 0; at <= text.size();) {
    const bool narrow = at < text.size() && text[at] == ',';
    const bool full = text.substr(at).starts_with(wide);
    if (at < text.size() && !narrow && !full) {
      ++at;
      continue;
    }
    std::string item = trimmed_blanks(text.substr(from, at - from));
    if (!item.empty() && std::find(items.begin(), items.end(), item) == items.end()) items.push_back(std::move(item));
    at += full ? wide.size() : 1;
    from = at;
  }
  return items;
}

std::vector<std::string> parse(std::string_view text) {
  std::vector<std::string> out;
  for (const std::string& item : list_items(text)) {
    std::string tag = tag_of(item);
    if (std::find(out.begin(), out.end(), tag) == out.end()) out.push_back(std::move(tag));
  }
  if (out.size() > kMaxPerTask) throw std::invalid_argument(fmt::format("每个任务最多{}个标签！", kMaxPerTask));
  return out;
}

std::vector<std::string> of_task(Connection& db, std::int64_t pid) {
  std::vector<std::string> out;
  for (const Record& r : db.query("SELECT tag FROM rivi_tag WHERE pid = ? ORDER BY tag", Record::array({pid})))
    out.push_back(r["tag"].get<std::string>());
  return out;
}

std::map<std::int64_t, std::vector<std::string>> of_tasks(Connection& db, const std::vector<std::int64_t>& pids) {
  std::map<std::int64_t, std::vector<std::string>> out;
  if (pids.empty()) return out;
  Record ids = Record::array();
  for (std::int64_t pid : pids) ids.push_back(pid);
  for (const Record& r : db.query("SELECT pid, tag FROM rivi_tag WHERE pid IN (SELECT value FROM json_each(?)) "
                                  "ORDER BY pid, tag",
                                  Record::array({encode(ids)}))) {
    out[to_int(r["pid"])].push_back(r["tag"].get<std::string>());
  }
  return out;
}

std::vector<std::pair<std::string, std::int64_t>> counts(Connection& db) {
  std::vector<std::pair<std::string, std::int64_t>> out;
  for (const Record& r : db.query("SELECT tag, COUNT(*) AS n FROM rivi_tag GROUP BY tag ORDER BY tag"))
    out.emplace_back(r["tag"].get<std::string>(), to_int(r["n"]));
  return out;
}

Record listed(Connection& db) {
  Record out = Record::array();
  for (const auto& [tag, n] : counts(db)) out.push_back(Record{{"tag", tag}, {"count", n}});
  return out;
}

void save(Connection& db, std::int64_t pid, const std::vector<std::string>& tags) {
  db.run("DELETE FROM rivi_tag WHERE pid = ?", Record::array({pid}));
  for (const auto& tag : tags) db.run("INSERT OR IGNORE INTO rivi_tag (pid, tag) VALUES (?, ?)", Record::array({pid, tag}));
}

Record edit_task(const Record& pid_text, const Edit& edit) {
  const auto pid = row_id(pid_text);
  if (!pid) return public_::returnMsg(false, "指定任务不存在!");
  transaction tx;
  Query tasks = public_::M("rivi_task");
  Connection& db = tasks.connection();
  const Record name = public_::M("rivi_task").where("id=?", *pid).getField("name");
  if (name.is_null() && public_::M("rivi_task").where("id=?", *pid).count() == 0)
    return public_::returnMsg(false, "指定任务不存在!");
  std::vector<std::string> now;
  try {
    now = edit(of_task(db, *pid));
  } catch (const std::invalid_argument& e) {
    return public_::returnMsg(false, e.what());
  }
  if (now.size() > kMaxPerTask) return public_::returnMsg(false, fmt::format("每个任务最多{}个标签！", kMaxPerTask));
  save(db, *pid, now);
  public_::WriteLog("拔测监控", fmt::format("修改拨测任务[{}]的标签[{}]", text_of(name), joined(now)));
  tx.commit();
  Record answer = public_::returnMsg(true, "标签已保存");
  answer["data"] = Record::array();
  for (const auto& tag : of_task(db, *pid)) answer["data"].push_back(tag);
  return answer;
}

void forget_task(std::int64_t pid) { public_::M("rivi_tag").where("pid=?", Record::array({pid})).delete_(); }

const std::vector<std::string>& schema_names() {
  static const std::vector<std::string> names{"rivi_tag", "rivi_tag_tag"};
  return names;
}

void create_tables(Connection& db) { db.exec_script(kSchema); }

}  // namespace rivi::tags

namespace rivi {

Record qn_rivi_main::set_tags(Record& args) {
  if (!has(args, "pid") || !has(args, "tags")) return public_::returnMsg(false, "错误的参数!");
  const std::string text = text_of(args.at("tags"));
  return tags::edit_task(args.at("pid"), [&](const std::vector<std::string>&) { return tags::parse(text); });
}

Record qn_rivi_main::get_tags(Record&) {
  Query table = public_::M("rivi_tag");
  return Record{{"data", tags::listed(table.connection())}};
}

}  // namespace rivi
