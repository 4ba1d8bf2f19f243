// What each ISP line saw: get_certificates, get_resolution. They read the small tables a run
// writes beside its row (certificates.h, resolution.h), never `rivi_list`.
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/certificates.h"
#include "plugin/qn_rivi/paging.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/resolution.h"
#include "plugin/qn_rivi/retention.h"
#include "plugin/qn_rivi/row_id.h"

namespace rivi {

Record qn_rivi_main::get_certificates(Record& args) {
  const std::int64_t p = paging::page_number(args);
  const std::int64_t now = public_::now();
  Query tasks = public_::M("rivi_task");
  return certificates::page(tasks.connection(), p, now, result_retention_cutoff(now));
}

Record qn_rivi_main::get_resolution(Record& args) {
  if (!has(args, "pid")) return public_::returnMsg(false, "错误的参数!");
  const auto pid = row_id(args["pid"]);
  if (!pid) return Record::array();
  Query tasks = public_::M("rivi_task");
  return resolution::history(tasks.connection(), *pid, result_retention_cutoff(public_::now()));
}

}  // namespace rivi
