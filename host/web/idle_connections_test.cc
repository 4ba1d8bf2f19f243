// Which idle connection makes way for a newcomer, and how peers are told apart.
#include "host/web/idle_connections.h"

#include <gtest/gtest.h>

namespace rivi::http {
namespace {

using namespace std::chrono_literals;
using Clock = IdleConnections::Clock;

TEST(IdleConnections, AnAddressAtItsShareMakesWayKeptAliveFirstThenNewOnesPastTheGrace) {
  const Clock::time_point t0{};
  IdleConnections idle(100, 3, 2s);
  idle.idle(1, "a", false, t0);
  idle.idle(2, "a", true, t0 + 1s);
  idle.idle(3, "a", false, t0 + 1s);
  idle.idle(4, "b", false, t0);
  idle.idle(5, "a", true, t0);
  idle.busy(5);  // a request of it is being handled: neither counted nor closed
  const auto first = idle.admit("a", 5, t0 + 1s);
  EXPECT_TRUE(first.admit);
  EXPECT_EQ(first.evict, 2u);  // kept alive after an answer, before those waiting for a first request
  EXPECT_EQ(idle.idle_of("a"), 2u);
  idle.idle(6, "a", false, t0 + 1s);
  // The rest wait for their first request: spared within the grace, the newcomer let in beside them.
  EXPECT_EQ(idle.admit("a", 6, t0 + 1s).evict, std::nullopt);
  EXPECT_EQ(idle.admit("a", 6, t0 + 2s).evict, 1u);  // then the one waiting the longest
  EXPECT_EQ(idle.admit("b", 6, t0 + 9s).evict, std::nullopt);
  idle.idle(1, "a", false, t0 + 3s);
  idle.idle(1, "a", true, t0 + 3s);  // counted already: keeps its place
  EXPECT_EQ(idle.admit("a", 6, t0 + 9s).evict, 3u);
}

TEST(IdleConnections, AFullServerTakesFromTheAddressHoldingTheMostIdle) {
  const Clock::time_point t0{};
  IdleConnections idle(6, 0, 2s);
  for (std::uint64_t id : {1, 2, 3}) idle.idle(id, "heavy", false, t0);
  idle.idle(4, "light", false, t0);
  // Below capacity without a share everybody gets in.
  EXPECT_EQ(idle.admit("heavy", 5, t0).evict, std::nullopt);
  EXPECT_TRUE(idle.admit("heavy", 5, t0).admit);
  // Full: a newcomer from elsewhere takes the place of the heaviest address's oldest, however new.
  const auto other = idle.admit("new", 6, t0);
  EXPECT_TRUE(other.admit);
  EXPECT_EQ(other.evict, 1u);
  // The heaviest address itself is refused rather than served at a lighter one's expense.
  idle.idle(5, "heavy", false, t0);
  idle.idle(6, "heavy", false, t0);
  EXPECT_FALSE(idle.admit("heavy", 6, t0).admit);
  // With nothing idle anywhere the newcomer is refused.
  for (std::uint64_t id : {2, 3, 4, 5, 6}) idle.busy(id);
  EXPECT_FALSE(idle.admit("new", 6, t0).admit);
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
