#include "plugin/qn_rivi/methods.h"

#include <stdexcept>

namespace rivi {

const std::map<std::string, WebMethod>& web_methods() {
  static const std::map<std::string, WebMethod> methods = {
      {"return_mail_list", [](qn_rivi_main& p, Record&) { return p.return_mail_list(); }},
      {"get_user_mail", [](qn_rivi_main& p, Record&) { return p.get_user_mail(); }},
      {"get_dingding", [](qn_rivi_main& p, Record&) { return p.get_dingding(); }},
      {"get_settings", [](qn_rivi_main& p, Record&) { return p.get_settings(); }},
      {"get_list", [](qn_rivi_main& p, Record& a) { return p.get_list(a); }},
      {"get_find", [](qn_rivi_main& p, Record& a) { return p.get_find(a); }},
      {"get_task_log", [](qn_rivi_main& p, Record& a) { return p.get_task_log(a); }},
      {"remove_task_log", [](qn_rivi_main& p, Record& a) { return p.remove_task_log(a); }},
      {"get_overview", [](qn_rivi_main& p, Record& a) { return p.get_overview(a); }},
      {"get_incidents", [](qn_rivi_main& p, Record& a) { return p.get_incidents(a); }},
      {"get_availability", [](qn_rivi_main& p, Record& a) { return p.get_availability(a); }},
      {"create", [](qn_rivi_main& p, Record& a) { return p.create(a); }},
      {"modify", [](qn_rivi_main& p, Record& a) { return p.modify(a); }},
      {"remove", [](qn_rivi_main& p, Record& a) { return p.remove(a); }},
      {"start", [](qn_rivi_main& p, Record& a) { return p.start(a); }},
  };
  return methods;
}

Record call_web_method(const std::string& method, Record& args) {
  const auto& methods = web_methods();
  const auto it = methods.find(method);
  if (it == methods.end()) throw std::out_of_range("unknown method: " + method);
  load_qn_rivi_module();
  qn_rivi_main plugin;
  return it->second(plugin, args);
}

}  // namespace rivi
