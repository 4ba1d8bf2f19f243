// Result queries: get_list, get_find, get_task_log, remove_task_log.
//
// Request text reaches SQL only as bound values; the `order` and `limit` texts are built here from
// constants and integers. Speed at a million result rows rests on the indexes that the schema
// creates with the tables: (pid, id) serves the per-task count, page and latest-run look-ups
// without sorting, and (addtime) serves the retention purge.
#include "host/public.h"
#include "host/record.h"
#include "plugin/qn_rivi/paging.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/retention.h"
#include "plugin/qn_rivi/row_id.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>

namespace rivi {
namespace {

constexpr std::int64_t kRowsPerPage = 12;
constexpr const char* kBadArgs = "错误的参数!";



// Adds the summary keys to one result row, in order: avgrage, data (sorted slowest first), max,
// max_isp, min, min_isp. Stops at the first step that cannot be done and leaves the keys already
// set: a `data` that is not JSON text of a non-empty list of records with numeric `total_time`
// gets nothing; a slowest or fastest node without `isp` ends the summary there.
void summarise(Record& row) {
  if (!row.is_object() || !row.contains("data") || !row["data"].is_string()) return;
  Record nodes;
  try {
    nodes = decode(row["data"].get<std::string>());
  } catch (const std::exception&) {  // not JSON text: the row stays as read
    return;
  }
  if (!nodes.is_array() || nodes.empty()) return;

  double total = 0;
  for (const Record& node : nodes) {
    if (!node.is_object() || !node.contains("total_time") || !is_number(node["total_time"])) return;
    total += as_double(node["total_time"]);
  }
  row["avgrage"] = round2(total / static_cast<double>(nodes.size()));

  std::stable_sort(nodes.begin(), nodes.end(), [](const Record& a, const Record& b) {
    return as_double(a["total_time"]) > as_double(b["total_time"]);
  });
  const Record slowest = nodes.front();
  const Record fastest = nodes.back();
  row["data"] = std::move(nodes);

  row["max"] = round2(as_double(slowest["total_time"]));
  if (!slowest.contains("isp")) return;
  row["max_isp"] = slowest["isp"];

  row["min"] = round2(as_double(fastest["total_time"]));
  if (!fastest.contains("isp")) return;
  row["min_isp"] = fastest["isp"];
}

}  // namespace

Record qn_rivi_main::get_list(Record& args) {
  const std::int64_t p = paging::page_number(args);

  std::string condition;
  Record params = Record::array();
  if (has(args, "search")) {
    condition = "name=? OR url LIKE ?";
    params.push_back(args["search"]);
    params.push_back("%" + text_of(args["search"]) + "%");
  }

  const std::int64_t count = public_::M("rivi_task").where(condition, params).order("id desc").count();
  Record answer = Record::object();
  answer["page"] = public_::get_page(count, p, kRowsPerPage);
  answer["data"] = public_::M("rivi_task")
                       .where(condition, params)
                       .order("id desc")
                       .limit(paging::limit_text(answer["page"]))
                       .select();

  Query runs = public_::M("rivi_list");
  for (Record& task : answer["data"]) {
    task["last_run_time"] = runs.where("pid=?", Record::array({task["id"]})).order("id desc").getField("addtime");
  }
  return answer;
}

Record qn_rivi_main::get_find(Record& args) {
  if (!has(args, "id")) return public_::returnMsg(false, kBadArgs);
  // An id that denotes no whole number names no task: the answer of a lookup that finds nothing.
  const auto id = row_id(args["id"]);
  if (!id) return nullptr;
  return public_::M("rivi_task").where("id=?", Record::array({*id})).find();
}

Record qn_rivi_main::get_task_log(Record& args) {
  // The purge runs on every call, before the arguments are looked at, for every task. The host's
  // SQLite zeroes every page a delete frees, which triples the writes of a purge that follows a
  // quiet day (~140,000 rows); FAST still clears deleted rows on the pages written anyway.
  {
    Query results = public_::M("rivi_list");
    results.connection().exec_script("PRAGMA secure_delete=FAST");
    results.where("addtime < ?", Record::array({result_retention_cutoff(public_::now())})).delete_();
  }

  if (!has(args, "pid")) return public_::returnMsg(false, kBadArgs);
  const std::int64_t p = paging::page_number(args);
  // A pid that denotes no whole number names no task, so it has no results.
  const auto pid = row_id(args["pid"]);

  const std::int64_t count = pid ? public_::M("rivi_list").where("pid=?", *pid).order("id desc").count() : 0;
  Record answer = Record::object();
  answer["page"] = public_::get_page(count, p, kRowsPerPage);
  answer["data"] = Record::array();
  if (pid) {
    answer["data"] =
        public_::M("rivi_list").where("pid=?", *pid).order("id desc").limit(paging::limit_text(answer["page"])).select();
  }

  for (Record& row : answer["data"]) summarise(row);
  return answer;
}

Record qn_rivi_main::remove_task_log(Record& args) {
  if (!has(args, "id")) return public_::returnMsg(false, kBadArgs);
  // An id that denotes no whole number names no result: nothing is deleted, and the log line and
  // the answer are those of any id that no row has.
  if (const auto id = row_id(args["id"])) public_::M("rivi_list").where("id=?", Record::array({*id})).delete_();
  public_::WriteLog("拔测监控", fmt::format("删除任务记录[{}]", text_of(args["id"])));
  return public_::returnMsg(true, "删除成功!");
}

}  // namespace rivi
