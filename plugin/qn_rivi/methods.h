// The methods the host may call from a web request (and from `panel call`), by name. Internal
// helpers (create_task, modify_task, remove_task, _send_task, get_state, send_mail) are absent.
#pragma once

#include "host/record.h"
#include "plugin/qn_rivi/qn_rivi_main.h"

#include <functional>
#include <map>
#include <string>

namespace rivi {

using WebMethod = std::function<Record(qn_rivi_main&, Record& args)>;

// Name -> method. The answer is the record the host renders.
const std::map<std::string, WebMethod>& web_methods();

// Loads the module, constructs the object and calls `method` with `args`. Throws
// std::out_of_range("unknown method: ...") for a name not in `web_methods()`; every other error
// of the call passes through.
Record call_web_method(const std::string& method, Record& args);

}  // namespace rivi
