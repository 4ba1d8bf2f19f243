#include "host/net/inner_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <cstdint>

namespace rivi {
namespace {

bool inner_v4(std::uint32_t a) {
  struct Net {
    std::uint32_t base;
    int bits;
  };
  static constexpr std::array<Net, 13> kInner{{
      {0x00000000, 8},   // "this" network
      {0x0A000000, 8},   // private
      {0x64400000, 10},  // carrier-grade NAT
      {0x7F000000, 8},   // loopback
      {0xA9FE0000, 16},  // link-local
      {0xAC100000, 12},  // private
      {0xC0000000, 24},  // protocol assignments
      {0xC0000200, 24},  // documentation
      {0xC0A80000, 16},  // private
      {0xC6120000, 15},  // benchmarking
      {0xC6336400, 24},  // documentation
      {0xCB007100, 24},  // documentation
      {0xE0000000, 3},   // multicast, reserved and broadcast (224.0.0.0 and above)
  }};
  for (const Net& n : kInner) {
    if ((a >> (32 - n.bits)) == (n.base >> (32 - n.bits))) return true;
  }
  return false;
}

std::uint32_t v4_at(const unsigned char* b) {
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

bool v4_mapped(const unsigned char* b) {
  for (int i = 0; i < 10; ++i)
    if (b[i] != 0) return false;
  return b[10] == 0xff && b[11] == 0xff;
}

bool inner_v6(const unsigned char* b) {
  bool zero12 = true;
  for (int i = 0; i < 12; ++i) zero12 = zero12 && b[i] == 0;
  if (zero12) return true;  // ::, ::1 and the deprecated IPv4-compatible form
  if (v4_mapped(b)) return inner_v4(v4_at(b + 12));
  static constexpr unsigned char kNat64[12] = {0x00, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
  bool nat64 = true;
  for (int i = 0; i < 12 && nat64; ++i) nat64 = b[i] == kNat64[i];
  if (nat64) return inner_v4(v4_at(b + 12));
  // 64:ff9b:1::/48, the NAT64 prefix for a local network: whatever it embeds sits behind it.
  if (b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xff && b[3] == 0x9b && b[4] == 0x00 && b[5] == 0x01) return true;
  if (b[0] == 0x20 && b[1] == 0x02) return inner_v4(v4_at(b + 2));  // 6to4
  if ((b[0] & 0xfe) == 0xfc) return true;                            // unique local
  if (b[0] == 0xfe && (b[1] & 0x80) == 0x80) return true;            // link-local, site-local
  if (b[0] == 0xff) return true;                                     // multicast
  if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x0d && b[3] == 0xb8) return true;  // documentation
  return false;
}

}  // namespace

bool is_inner_address(const std::string& ip) {
  unsigned char b[16];
  if (inet_pton(AF_INET, ip.c_str(), b) == 1) return inner_v4(v4_at(b));
  if (inet_pton(AF_INET6, ip.c_str(), b) == 1) return inner_v6(b);
  return true;
}

bool is_loopback_address(const std::string& ip) {
  unsigned char b[16];
  if (inet_pton(AF_INET, ip.c_str(), b) == 1) return b[0] == 127;
  if (inet_pton(AF_INET6, ip.c_str(), b) != 1) return false;
  if (v4_mapped(b)) return b[12] == 127;
  in6_addr v6{};
  inet_pton(AF_INET6, ip.c_str(), &v6);
  return IN6_IS_ADDR_LOOPBACK(&v6);
}

}  // namespace rivi
