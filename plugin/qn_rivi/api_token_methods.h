// The web methods that manage the host's API tokens (host/web/api_tokens.h): create_token,
// get_tokens and revoke_token, with their checks of the arguments and their operation-log lines
// (which name the token, never its text).
#pragma once

#include "host/record.h"

namespace rivi {

// name=NAME scope=read|write -> {status, msg, id, name, scope, token}; the token is in this answer
// alone. A bad name or scope -> {status: false, msg}.
Record create_token(Record& args);
// -> {status, data: [{id, name, scope, created, last_used}]}, newest first.
Record get_tokens(Record& args);
// id=TOKEN -> {status, msg}; an unknown id -> {status: false, msg}.
Record revoke_token(Record& args);

}  // namespace rivi
