// Result queries: get_list, get_find, get_task_log, remove_task_log.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include <stdexcept>

namespace rivi {

Record qn_rivi_main::get_list(Record&) { throw std::logic_error("get_list is not available yet"); }
Record qn_rivi_main::get_find(Record&) { throw std::logic_error("get_find is not available yet"); }
Record qn_rivi_main::get_task_log(Record&) { throw std::logic_error("get_task_log is not available yet"); }
Record qn_rivi_main::remove_task_log(Record&) { throw std::logic_error("remove_task_log is not available yet"); }

}  // namespace rivi
