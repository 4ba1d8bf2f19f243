// Probing: start, _send_task, get_state.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include <stdexcept>

namespace rivi {

Record qn_rivi_main::start(Record&) { throw std::logic_error("start is not available yet"); }
std::int64_t qn_rivi_main::get_state(Record&, const Record&) { throw std::logic_error("get_state is not available yet"); }
Record qn_rivi_main::_send_task(const Record&) { throw std::logic_error("_send_task is not available yet"); }

}  // namespace rivi
