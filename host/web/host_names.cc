// host_allowed and the name helpers it rests on.
#include "host/web/host_names.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

namespace rivi {
namespace {

// A host name or address compared as such: lower case, without a final dot.
std::string canonical_host(std::string_view host) {
  std::string out(host);
  if (!out.empty() && out.back() == '.') out.pop_back();
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The host of a Host header, canonical and without the brackets of an IPv6 literal or the port.
// Nothing when the text is not host[:port] or [v6][:port].
std::optional<std::string> host_part(std::string_view text) {
  std::string_view host = text, rest;
  if (text.starts_with('[')) {
    auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
  } else if (auto colon = text.find(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    rest = text.substr(colon);
  }
  if (!rest.empty()) {
    auto port = rest.substr(1);
    if (rest.front() != ':' || port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }))
      return std::nullopt;
  }
  std::string out = canonical_host(host);
  if (out.empty()) return std::nullopt;
  return out;
}

bool is_ipv4(const std::string& host, in_addr* out = nullptr) {
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
  if (out) *out = a;
  return true;
}

bool is_ipv6(const std::string& host, in6_addr* out = nullptr) {
  in6_addr a{};
  if (inet_pton(AF_INET6, host.c_str(), &a) != 1) return false;
  if (out) *out = a;
  return true;
}

bool is_loopback(const std::string& host) {
  if (host == "localhost") return true;
  in_addr v4{};
  if (is_ipv4(host, &v4)) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return is_ipv6(host, &v6) && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool is_wildcard(const std::string& host) { return host == "0.0.0.0" || host == "::"; }

}  // namespace

bool host_allowed(std::string_view host_header, std::string_view listen_host) {
  auto host = host_part(host_header);
  if (!host) return false;
  if (is_loopback(*host)) return true;
  if (listen_host.size() >= 2 && listen_host.front() == '[' && listen_host.back() == ']')
    listen_host = listen_host.substr(1, listen_host.size() - 2);
  const std::string listen = canonical_host(listen_host);
  if (listen.empty() || is_wildcard(listen)) return is_ipv4(*host) || is_ipv6(*host);
  if (is_loopback(listen)) return false;
  return *host == listen;
}

}  // namespace rivi
