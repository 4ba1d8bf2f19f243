// The server identity sent with every probe: a stable `serverid` kept in <root>/data/serverid
// (made on first use) and the server's `address`.
#pragma once

#include "host/record.h"

namespace rivi {

class panelAuth {
 public:
  // {"serverid": 32 hex digits, "address": first non-loopback IPv4 address, else "127.0.0.1"}.
  Record create_serverid(const Record& unused = nullptr);
};

}  // namespace rivi
