#include "host/panel_auth.h"

#include "host/paths.h"
#include "host/public.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/random.h>

#include <memory>
#include <stdexcept>

namespace rivi {
namespace {

std::string trimmed(std::string s) {
  const char* ws = " \t\r\n";
  const auto b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

bool is_hex_id(const std::string& s) {
  if (s.size() != 32) return false;
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string server_address() {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return "127.0.0.1";
  std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(raw, freeifaddrs);
  for (ifaddrs* a = raw; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
    char buf[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf)) return buf;
  }
  return "127.0.0.1";
}

}  // namespace

Record panelAuth::create_serverid(const Record&) {
  const std::string id_path = root_path("data/serverid");
  std::string id = trimmed(public_::ReadFile(id_path).value_or(""));
  if (!is_hex_id(id)) {
    unsigned char bytes[16];
    // The kernel's generator: a probe run needs no cryptographic library loaded for this.
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
      throw std::runtime_error("cannot make a server id: no randomness");
    id.clear();
    for (unsigned char b : bytes) id += fmt::format("{:02x}", b);
    public_::writeFile(id_path, id + "\n");
  }
  Record identity{{"serverid", id}, {"address", server_address()}};
  if (const auto key = public_::ReadFile(root_path("data/dispatch_key"))) identity["access_key"] = trimmed(*key);
  return identity;
}

}  // namespace rivi
