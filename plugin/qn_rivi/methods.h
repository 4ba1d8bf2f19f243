// The methods the host may call from a web request (and from `panel call`), by name, each with the
// arguments it reads and what it answers, for the command line's help. Internal helpers
// (create_task, modify_task, remove_task, _send_task, get_state, send_mail) are absent.
#pragma once

#include "host/record.h"
#include "host/web/api_tokens.h"
#include "plugin/qn_rivi/qn_rivi_main.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rivi {

using WebMethod = std::function<Record(qn_rivi_main&, Record& args)>;

// One row of the method table.
struct WebMethodEntry {
  std::string name;
  std::string args;   // the key=value arguments it reads, optional ones in brackets; "" for none
  std::string about;  // what it does and answers, one line
  WebMethod call;
};

// Every web method, in the order the help lists them.
const std::vector<WebMethodEntry>& web_method_table();

// The methods by what they do, for callers with an API token (a session and `panel call` may
// call every method):
//   read_only_methods: change nothing (start, which stores a run, and test_channel, which
//     sends messages, are not among them); a `read` or `write` token may call them;
//   changing_methods: change state; a `write` token may call them;
//   session_only_methods: make or end tokens; no token may call them, so that a leaked token
//     cannot make itself a successor.
// A new method goes into one of the lists, else a test fails.
const std::vector<std::string>& read_only_methods();
const std::vector<std::string>& changing_methods();
const std::vector<std::string>& session_only_methods();
// The scope a token needs to call `method` (see above); nothing when no token may.
std::optional<TokenScope> token_scope_of(const std::string& method);

// Name -> method, made from `web_method_table()`. The answer is the record the host renders.
const std::map<std::string, WebMethod>& web_methods();

// The methods with their arguments as text for a terminal: a line "  NAME ARGS" and an indented
// line of what it does, for each method in table order.
std::string web_methods_help();

// Loads the module, constructs the object and calls `method` with `args`. Throws
// std::out_of_range("unknown method: ...") for a name not in `web_methods()`; every other error
// of the call passes through.
Record call_web_method(const std::string& method, Record& args);

}  // namespace rivi
