// Task management: create, create_task, modify, modify_task, remove, remove_task.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include <stdexcept>

namespace rivi {

Record qn_rivi_main::create(Record&) { throw std::logic_error("create is not available yet"); }
void qn_rivi_main::create_task(Record&) { throw std::logic_error("create_task is not available yet"); }
Record qn_rivi_main::modify(Record&) { throw std::logic_error("modify is not available yet"); }
void qn_rivi_main::modify_task(Record&) { throw std::logic_error("modify_task is not available yet"); }
Record qn_rivi_main::remove(Record&) { throw std::logic_error("remove is not available yet"); }
void qn_rivi_main::remove_task(const Record&) { throw std::logic_error("remove_task is not available yet"); }

}  // namespace rivi
