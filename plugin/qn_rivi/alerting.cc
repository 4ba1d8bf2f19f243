// Alerting: return_mail_list, get_user_mail, get_dingding, get_settings, send_mail.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include <stdexcept>

namespace rivi {

Record qn_rivi_main::return_mail_list() { return mail_list_; }
Record qn_rivi_main::get_user_mail() { throw std::logic_error("get_user_mail is not available yet"); }
Record qn_rivi_main::get_dingding() { throw std::logic_error("get_dingding is not available yet"); }
Record qn_rivi_main::get_settings() { throw std::logic_error("get_settings is not available yet"); }
// Until the anomaly report is built, a run with an anomaly sends nothing.
void qn_rivi_main::send_mail(Record&, std::int64_t, const Record&, const std::string&) {}

}  // namespace rivi
