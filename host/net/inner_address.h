// Which IP addresses are inner ones: this machine, private and carrier-grade NAT networks,
// link-local, documentation, benchmarking and reserved ranges, multicast, and the IPv6 forms that
// embed or lead to them (IPv4-mapped, NAT64, 6to4, unique local). An outgoing request the host
// makes on the word of a settings file (the DingTalk webhook) may reach none of them.
#pragma once

#include <string>

namespace rivi {

// Whether `ip` (IPv4 or IPv6 text, without brackets) is an inner address; text that is no
// address at all counts as inner.
bool is_inner_address(const std::string& ip);

// Whether `ip` is a loopback address (127.0.0.0/8, ::1, or an IPv4-mapped 127.x).
bool is_loopback_address(const std::string& ip);

}  // namespace rivi
