// Task management: create, create_task, modify, modify_task, remove, remove_task.
//
// Each operation validates, writes the store, then the scheduler, then the operation log, then
// answers. Errors of the store and the scheduler pass through to the host; the scheduler's
// answers are not examined.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/crontab.h"
#include "host/paths.h"
#include "host/public.h"

#include <fmt/format.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace rivi {

namespace {

constexpr const char* kLogType = "拔测监控";

// The request field `key`; a missing field is an error raised to the host.
const Record& field(const Record& args, const char* key) {
  if (!has(args, key)) throw std::invalid_argument(fmt::format("missing request field '{}'", key));
  return args.at(key);
}

// `value` without leading and trailing white space; only text can be trimmed.
std::string trimmed(const Record& value, const char* key) {
  if (!value.is_string()) throw std::invalid_argument(fmt::format("request field '{}' must be text", key));
  const std::string& text = value.get_ref<const std::string&>();
  constexpr std::string_view blanks = " \t\n\r\f\v";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
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
  task["url"] = trimmed(field(args, "url"), "url");
  if (!has_http_scheme(task["url"].get_ref<const std::string&>())) {
    return public_::returnMsg(false, "URL地址必需包含http://或https://");
  }
  task["cycle"] = to_int(field(args, "cycle"));
  if (task["cycle"].get<std::int64_t>() < 1) return public_::returnMsg(false, "拔测周期最短不能少于1分钟");
  task["status"] = 1;
  task["addtime"] = public_::now();

  task["id"] = public_::M("rivi_task").insert(task);
  create_task(task);
  public_::WriteLog(kLogType, fmt::format("创建拔测任务[{}]", text_of(task["name"])));
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
  const Record id = args.at("id");

  Record changes = Record::object();
  if (has(args, "name2")) changes["name"] = args.at("name2");
  if (has(args, "url")) {
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

  public_::M("rivi_task").where("id=?", id).update(changes);
  Record task = public_::M("rivi_task").where("id=?", id).find();
  // An id that names no task: the update above found nothing, and no job or log line follows.
  if (task.is_null()) return public_::returnMsg(false, "指定任务不存在!");

  modify_task(task);
  if (has(args, "status")) {
    crontab scheduler;
    Record target = Record::object();
    target["id"] = job_id_of(id);
    scheduler.set_cron_status(target);
  }
  public_::WriteLog(kLogType, fmt::format("修改拔测任务[{}]", text_of(task["name"])));
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
  const Record id = args.at("id");

  const Record task = public_::M("rivi_task").where("id=?", id).find();
  // An id that names no task touches nothing: the job lookup below would find no job either.
  if (task.is_null()) return public_::returnMsg(false, "指定任务不存在!");

  public_::M("rivi_task").where("id=?", id).delete_();
  public_::M("rivi_list").where("pid=?", id).delete_();
  remove_task(id);
  public_::WriteLog(kLogType, fmt::format("删除拔测任务[{}]", text_of(task["name"])));
  return public_::returnMsg(true, "删除成功!");
}

void qn_rivi_main::remove_task(const Record& pid) {
  crontab scheduler;
  Record target = Record::object();
  target["id"] = job_id_of(pid);
  scheduler.DelCrontab(target);
}

}  // namespace rivi
