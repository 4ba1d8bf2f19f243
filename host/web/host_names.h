// Which names a server answers to: whether a request's `Host` header names the address the server
// listens on. The panel's web server and the dispatch centre refuse other names (421), so that a
// page of another site whose name was pointed at this machine (DNS rebinding) cannot drive them.
#pragma once

#include <string_view>

namespace rivi {

// Whether `host_header` (host, IP literal or [IPv6 literal], with or without a port) names a server
// listening on `listen_host`:
//   listening on loopback (127.x.x.x, ::1, localhost): only loopback names and addresses;
//   listening on every address (0.0.0.0, ::):          any IP address literal or localhost;
//   listening on one address or name:                  that one, or a loopback name or address.
// Any other name is refused; to be reached by a DNS name, a server listens on that name.
bool host_allowed(std::string_view host_header, std::string_view listen_host);

}  // namespace rivi
