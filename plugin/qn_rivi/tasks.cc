// Task management: create, create_task, modify, modify_task, remove, remove_task.
//
// Each operation validates, then writes the store, the scheduler and the operation log in one
// transaction, then answers: a task, its job and its log line are stored or removed together or
// not at all, and concurrent pauses and resumes cannot leave a task and its job disagreeing.
// Errors of the store and the scheduler pass through to the host; the scheduler's answers are
// not examined. Ids from requests become stored integers before anything is selected or any
// job key is built.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/cron/crontab.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "host/utf8.h"
#include "plugin/qn_rivi/checks.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/line_records.h"
#include "plugin/qn_rivi/maintenance.h"
#include "plugin/qn_rivi/row_id.h"
#include "plugin/qn_rivi/tags.h"

#include <fmt/format.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace rivi {

namespace {

constexpr const char* kLogType = "拔测监控";
constexpr const char* kNoSuchTask = "指定任务不存在!";
constexpr const char* kNameNotText = "任务名称不是有效的文本！";
constexpr const char* kUrlNotText = "URL不是有效的文本！";

// The request field `key`; a missing field is an error raised to the host.
const Record& field(const Record& args, const char* key) {
  if (!has(args, key)) throw std::invalid_argument(fmt::format("missing request field '{}'", key));
  return args.at(key);
}

// True when `value` is not text, or is text of well-formed UTF-8 that the page can show.
bool readable(const Record& value) { return !value.is_string() || is_utf8(value.get_ref<const std::string&>()); }

// White space as the panel's text strip knows it: ASCII blanks and the separators 0x1C-0x1F,
// and every Unicode space (NEL, no-break spaces, the typographic spaces, the line and paragraph
// separators, the ideographic space).
bool white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// `value` without leading and trailing white space; only readable text can be trimmed.
std::string trimmed(const Record& value, const char* key) {
  if (!value.is_string()) throw std::invalid_argument(fmt::format("request field '{}' must be text", key));
  if (!readable(value)) throw std::invalid_argument(fmt::format("request field '{}' is not UTF-8 text", key));
  const std::string_view text = value.get_ref<const std::string&>();
  std::size_t first = 0;
  while (first < text.size()) {
    const CodePoint cp = *code_point_at(text, first);
    if (!white_space(cp.value)) break;
    first += cp.size;
  }
  std::size_t last = text.size();  // one past the last kept byte
  while (last > first) {
    std::size_t start = last - 1;
    while ((static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    if (!white_space(code_point_at(text, start)->value)) break;
    last = start;
  }
  return std::string(text.substr(first, last - first));
}

bool has_http_scheme(const std::string& url) {
  return url.find("http://") != std::string::npos || url.find("https://") != std::string::npos;
}

// The key that ties a task to its job, in the job's `save` field.
std::string job_key(const Record& task_id) { return fmt::format("rivi_id_{}", text_of(task_id)); }

// `path` as one shell word. Paths made only of ordinary characters (every default path) are
// written as they are, so the command keeps its documented text; others are single-quoted.
std::string shell_word(const std::string& path) {
  const bool plain = !path.empty() && path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                             "0123456789/._-+:,@%=") == std::string::npos;
  if (plain) return path;
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The command a task's job runs, chosen anew on every call by testing for the panel's own
// interpreter. `task_id` is a stored row id, a whole number.
std::string worker_command(const Record& task_id) {
  const std::string id = std::to_string(to_int(task_id));
  const std::string worker = shell_word(root_path("plugin/qn_rivi/rivi"));
  const std::string python = root_path("pyenv/bin/python");
  if (std::filesystem::exists(python)) return fmt::format("{} {} {}", shell_word(python), worker, id);
  return fmt::format("python {} {}", worker, id);
}

std::string job_title(const Record& name) { return "拔测任务[" + text_of(name) + "]"; }

// The twelve fields of a task's job, in the scheduler's order, from the task's `id`, `name` and
// `cycle`; the worker command is chosen anew on every call.
void add_job_fields(Record& job, const Record& task) {
  job["name"] = job_title(task.at("name"));
  job["type"] = "minute-n";
  job["where1"] = task.at("cycle");
  job["hour"] = "";
  job["minute"] = "";
  job["week"] = "";
  job["sType"] = "toShell";
  job["sName"] = "";
  job["backupTo"] = "localhost";
  job["save"] = job_key(task.at("id"));
  job["sBody"] = worker_command(task.at("id"));
  job["urladdress"] = "undefined";
}

// The identifier of the task's job, or null when the table holds no job with its key.
Record job_id_of(const Record& task_id) {
  return public_::M("crontab").where("save=?", job_key(task_id)).getField("id");
}

}  // namespace

Record qn_rivi_main::create(Record& args) {
  Record task = Record::object();
  task["name"] = field(args, "name2");
  if (!readable(task["name"])) return public_::returnMsg(false, kNameNotText);
  const Record& url = field(args, "url");
  if (!readable(url)) return public_::returnMsg(false, kUrlNotText);
  task["url"] = trimmed(url, "url");
  if (!has_http_scheme(task["url"].get_ref<const std::string&>())) {
    return public_::returnMsg(false, "URL地址必需包含http://或https://");
  }
  task["cycle"] = to_int(field(args, "cycle"));
  if (task["cycle"].get<std::int64_t>() < 1) return public_::returnMsg(false, "拔测周期最短不能少于1分钟");
  task["status"] = 1;
  task["addtime"] = public_::now();

  transaction tx;
  task["id"] = public_::M("rivi_task").insert(task);
  create_task(task);
  public_::WriteLog(kLogType, fmt::format("创建拔测任务[{}]", text_of(task["name"])));
  tx.commit();
  return public_::returnMsg(true, "添加成功!");
}

void qn_rivi_main::create_task(Record& pdata) {
  crontab scheduler;
  Record job = Record::object();
  add_job_fields(job, pdata);
  scheduler.AddCrontab(job);
}

Record qn_rivi_main::modify(Record& args) {
  if (!has(args, "id")) return public_::returnMsg(false, "错误的参数!");
  const std::optional<std::int64_t> id = row_id(args.at("id"));

  Record changes = Record::object();
  if (has(args, "name2")) {
    if (!readable(args.at("name2"))) return public_::returnMsg(false, kNameNotText);
    changes["name"] = args.at("name2");
  }
  if (has(args, "url")) {
    if (!readable(args.at("url"))) return public_::returnMsg(false, kUrlNotText);
    changes["url"] = trimmed(args.at("url"), "url");
    if (!has_http_scheme(changes["url"].get_ref<const std::string&>())) {
      return public_::returnMsg(false, "URL地址必需包含http://或https://");
    }
  }
  if (has(args, "cycle")) {
    changes["cycle"] = to_int(args.at("cycle"));
    if (changes["cycle"].get<std::int64_t>() < 1) return public_::returnMsg(false, "拔测周期最短不能少于1分钟");
  }
  if (has(args, "status")) changes["status"] = args.at("status");
  // An id that names no task: no row to change, and no job or log line follows.
  if (!id) return public_::returnMsg(false, kNoSuchTask);

  // The row, its job and its state switch land together, so the job's state always follows the
  // status stored last, however many requests race.
  transaction tx;
  public_::M("rivi_task").where("id=?", *id).update(changes);
  Record task = public_::M("rivi_task").where("id=?", *id).find();
  if (task.is_null()) return public_::returnMsg(false, kNoSuchTask);

  modify_task(task);
  if (has(args, "status")) {
    crontab scheduler;
    Record target = Record::object();
    target["id"] = job_id_of(*id);
    scheduler.set_cron_status(target);
  }
  public_::WriteLog(kLogType, fmt::format("修改拔测任务[{}]", text_of(task["name"])));
  tx.commit();
  return public_::returnMsg(true, "修改成功!");
}

void qn_rivi_main::modify_task(Record& pdata) {
  crontab scheduler;
  Record job = Record::object();
  job["id"] = job_id_of(pdata.at("id"));
  add_job_fields(job, pdata);
  job["status"] = pdata.at("status");
  scheduler.modify_crond(job);
}

Record qn_rivi_main::remove(Record& args) {
  if (!has(args, "id")) return public_::returnMsg(false, "错误的参数!");
  const std::optional<std::int64_t> id = row_id(args.at("id"));
  if (!id) return public_::returnMsg(false, kNoSuchTask);

  transaction tx;
  const Record task = public_::M("rivi_task").where("id=?", *id).find();
  // An id that names no task touches nothing: the job lookup below would find no job either.
  if (task.is_null()) return public_::returnMsg(false, kNoSuchTask);

  public_::M("rivi_task").where("id=?", *id).delete_();
  public_::M("rivi_list").where("pid=?", *id).delete_();
  health::forget_task(*id);
  maintenance::forget_task(*id);
  checks::forget_task(*id);
  tags::forget_task(*id);
  line_records::forget_task(public_::M("rivi_task").connection(), *id);
  remove_task(*id);
  public_::WriteLog(kLogType, fmt::format("删除拔测任务[{}]", text_of(task["name"])));
  tx.commit();
  return public_::returnMsg(true, "删除成功!");
}

void qn_rivi_main::remove_task(const Record& pid) {
  crontab scheduler;
  Record target = Record::object();
  target["id"] = job_id_of(pid);
  scheduler.DelCrontab(target);
}

}  // namespace rivi
