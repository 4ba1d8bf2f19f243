// The host table `crontab` and the scheduler interface over it.
//
// A job's state lives in two columns: `status` (1 running, 0 stopped) and `switched`, set when
// `modify_crond` has applied a status that the next `set_cron_status` must not undo. The switch
// itself is one UPDATE statement, so two processes switching the same job never lose a change.
#include "host/cron/crontab.h"

#include "host/public.h"
#include "host/cron/job_lock.h"
#include "host/cron/job_runner.h"
#include "host/store/store.h"

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace rivi {

namespace {

constexpr const char* kNoSuchJob = "指定计划任务不存在!";

// Request keys of a job record and the columns they are stored in, in table order.
struct Field {
  const char* key;
  const char* column;
};
constexpr Field kJobFields[] = {
    {"name", "name"},     {"type", "type"},         {"where1", "where1"},
    {"hour", "where_hour"}, {"minute", "where_minute"}, {"week", "week"},
    {"sType", "sType"},   {"sName", "sName"},       {"sBody", "sBody"},
    {"backupTo", "backupTo"}, {"save", "save"},     {"urladdress", "urladdress"},
};

// The job identifier carried by `job`, or nothing when it cannot name a job (not a record, no
// `id`, null, empty text, or a list, record or boolean). Unknown identifiers pass: the table
// decides that they name no row.
std::optional<Record> identifier_of(const Record& job) {
  if (!has(job, "id")) return std::nullopt;
  const Record& id = job.at("id");
  if (is_number(id)) return id;
  if (id.is_string() && !id.get_ref<const std::string&>().empty()) return id;
  return std::nullopt;
}

// Why `job` cannot be run, or an empty text when it can. Only repeating jobs ("minute-n") with
// a whole interval of at least one minute and a command exist in this panel.
std::string job_problem(const Record& job, bool whole_record) {
  if (whole_record || has(job, "type")) {
    if (!has(job, "type") || job.at("type") != "minute-n") return "计划任务类型必须是minute-n";
  }
  if (whole_record || has(job, "where1")) {
    if (!has(job, "where1")) return "执行周期不能为空";
    try {
      if (to_int(job.at("where1")) < 1) return "执行周期最短不能少于1分钟";
    } catch (const std::exception&) {
      return "执行周期必须是整数";
    }
  }
  if (whole_record || has(job, "sBody")) {
    if (!has(job, "sBody") || !job.at("sBody").is_string() ||
        job.at("sBody").get_ref<const std::string&>().empty()) {
      return "脚本内容不能为空";
    }
  }
  return {};
}

// The stored form of a job record's fields that are present; `where1` as a whole number.
Record columns_of(const Record& job) {
  Record row = Record::object();
  for (const Field& field : kJobFields) {
    if (!has(job, field.key)) continue;
    row[field.column] = std::string_view(field.key) == "where1" ? Record(to_int(job.at("where1")))
                                                                 : job.at(field.key);
  }
  return row;
}

}  // namespace

void create_crontab_table(Connection& db) {
  db.exec_script(R"sql(
CREATE TABLE IF NOT EXISTS crontab (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT, type TEXT, where1 TEXT, where_hour TEXT, where_minute TEXT, week TEXT,
  sType TEXT, sName TEXT, sBody TEXT, backupTo TEXT, save TEXT, urladdress TEXT,
  status INTEGER DEFAULT 1, addtime TEXT, switched INTEGER DEFAULT 0
);)sql");
  // Tables laid out before `switched` existed get it added; their rows keep everything.
  const Record columns = db.query("SELECT name FROM pragma_table_info('crontab') WHERE name = 'switched'");
  if (columns.empty()) db.exec_script("ALTER TABLE crontab ADD COLUMN switched INTEGER DEFAULT 0;");
}

Record crontab::AddCrontab(const Record& job) {
  if (!job.is_object()) return public_::returnMsg(false, "错误的参数!");
  if (std::string problem = job_problem(job, true); !problem.empty()) {
    return public_::returnMsg(false, problem);
  }
  Record row = columns_of(job);
  row["status"] = 1;
  row["switched"] = 0;
  row["addtime"] = public_::format_date();
  const std::int64_t id = public_::M("crontab").insert(row);
  Record answer = public_::returnMsg(true, "添加成功!");
  answer["id"] = id;
  return answer;
}

Record crontab::modify_crond(const Record& job) {
  const std::optional<Record> id = identifier_of(job);
  if (!id) return public_::returnMsg(false, kNoSuchJob);
  if (std::string problem = job_problem(job, false); !problem.empty()) {
    return public_::returnMsg(false, problem);
  }
  Record row = columns_of(job);
  if (has(job, "status")) {
    row["status"] = same_value(job.at("status"), 1) ? 1 : 0;
    row["switched"] = 1;
  }
  // A record with nothing to change still has to name a job.
  if (row.empty()) {
    if (public_::M("crontab").where("id=?", *id).count() == 0) return public_::returnMsg(false, kNoSuchJob);
    return public_::returnMsg(true, "修改成功!");
  }
  if (public_::M("crontab").where("id=?", *id).update(row) == 0) return public_::returnMsg(false, kNoSuchJob);
  return public_::returnMsg(true, "修改成功!");
}

Record crontab::set_cron_status(const Record& job) {
  const std::optional<Record> id = identifier_of(job);
  if (!id) return public_::returnMsg(false, kNoSuchJob);
  const std::int64_t changed = public_::M("crontab").execute(
      "UPDATE crontab SET status = CASE WHEN switched = 1 THEN status WHEN status = 1 THEN 0 ELSE 1 END, "
      "switched = 0 WHERE id = ?",
      Record::array({*id}));
  if (changed == 0) return public_::returnMsg(false, kNoSuchJob);
  return public_::returnMsg(true, "设置成功!");
}

Record crontab::DelCrontab(const Record& job) {
  const std::optional<Record> id = identifier_of(job);
  if (!id) return public_::returnMsg(false, kNoSuchJob);
  Query jobs = public_::M("crontab");
  const Record found = jobs.where("id=?", *id).getField("id");
  if (found.is_null()) return public_::returnMsg(false, kNoSuchJob);
  jobs.where("id=?", found).delete_();
  // The job's run log and lock go with it; a run still going keeps its open files until it ends
  // (job ids are never used again, so no later job meets its lock).
  std::error_code ignored;
  const std::filesystem::path log = job_log_path(to_int(found));
  std::filesystem::remove(log, ignored);
  std::filesystem::remove(backup_log_path(log), ignored);
  std::filesystem::remove(job_lock_path(to_int(found)), ignored);
  return public_::returnMsg(true, "删除成功!");
}

}  // namespace rivi
