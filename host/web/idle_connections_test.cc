// Which idle connection makes way for a newcomer, and how peers are told apart.
#include "host/web/idle_connections.h"

#include <gtest/gtest.h>

namespace rivi::http {
namespace {

using Admission = IdleConnections::Admission;

TEST(IdleConnections, AnAddressAtItsShareMakesWayWithItsOldestKeptAliveFirst) {
  IdleConnections idle(100, 3);
  idle.idle(1, "a", false);
  idle.idle(2, "a", true);
  idle.idle(3, "a", false);
  idle.idle(4, "b", false);
  idle.idle(5, "a", true);
  idle.busy(5);  // a request of it is being handled: neither counted nor closed
  const Admission first = idle.admit("a", 5);
  EXPECT_TRUE(first.admit);
  EXPECT_EQ(first.evict, 2u);  // kept alive after an answer, before those waiting for a first request
  EXPECT_EQ(idle.idle_of("a"), 2u);
  idle.idle(6, "a", false);
  EXPECT_EQ(idle.admit("a", 6).evict, 1u);  // then the one waiting the longest
  EXPECT_EQ(idle.admit("b", 6).evict, std::nullopt);
  idle.idle(1, "a", false);
  idle.idle(1, "a", true);  // counted already: keeps its place
  EXPECT_EQ(idle.admit("a", 6).evict, 3u);
}

TEST(IdleConnections, AFullServerTakesFromTheAddressHoldingTheMostIdle) {
  IdleConnections idle(6, 0);
  for (std::uint64_t id : {1, 2, 3}) idle.idle(id, "heavy", false);
  idle.idle(4, "light", false);
  // Below capacity without a share everybody gets in.
  EXPECT_EQ(idle.admit("heavy", 5).evict, std::nullopt);
  EXPECT_TRUE(idle.admit("heavy", 5).admit);
  // Full: a newcomer from elsewhere takes the place of the heaviest address's oldest.
  const Admission other = idle.admit("new", 6);
  EXPECT_TRUE(other.admit);
  EXPECT_EQ(other.evict, 1u);
  // The heaviest address itself is refused rather than served at a lighter one's expense.
  idle.idle(5, "heavy", false);
  idle.idle(6, "heavy", false);
  EXPECT_FALSE(idle.admit("heavy", 6).admit);
  // With nothing idle anywhere the newcomer is refused.
  for (std::uint64_t id : {2, 3, 4, 5, 6}) idle.busy(id);
  EXPECT_FALSE(idle.admit("new", 6).admit);
}

TEST(IdleConnections, PeersAreAddressesAndIpv6Networks) {
  namespace ip = boost::asio::ip;
  EXPECT_EQ(peer_key(ip::make_address("192.0.2.7")), "192.0.2.7");
  EXPECT_EQ(peer_key(ip::make_address("::ffff:192.0.2.7")), "192.0.2.7");
  EXPECT_EQ(peer_key(ip::make_address("2001:db8:1:2:aaaa::1")), "2001:db8:1:2::/64");
  EXPECT_EQ(peer_key(ip::make_address("2001:db8:1:2:bbbb::9")), "2001:db8:1:2::/64");
  EXPECT_NE(peer_key(ip::make_address("2001:db8:1:3::1")), "2001:db8:1:2::/64");
}

}  // namespace
}  // namespace rivi::http
