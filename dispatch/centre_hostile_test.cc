// The centre with nodes that answer JSON nesting without end: those nodes are listed as not
// answering, the others as usual, and the centre keeps serving.
#include "dispatch/centre.h"
#include "dispatch/probe.h"
#include "tests/support/dispatch_servers.h"

#include <gtest/gtest.h>

#include <string>

namespace rivi::dispatch {
namespace {

using rivi::testing::LoopbackSite;
using rivi::testing::RunningCentre;

TEST(CentreHostileNodes, DeeplyNestedAnswersCountAsUnanswered) {
  LoopbackSite target;
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("fine", "text/plain"); });
  target.start();

  // As deep as fits in the largest answer the centre takes from a node (256 KiB).
  const std::string deep = std::string(130000, '[') + std::string(130000, ']');
  LoopbackSite deep_node;
  deep_node.server().Post("/probe", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(deep, "application/json");
  });
  deep_node.start();
  // A node result with every key the centre looks for, and a value nested without end beside them.
  const std::string carrying = R"({"isp": "n", "http_code": 200, "total_time": 1.0, "x": )" + deep + "}";
  LoopbackSite carrying_node;
  carrying_node.server().Post("/probe", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(carrying, "application/json");
  });
  carrying_node.start();

  CentreConfig c;
  c.deadline_ms = 5000;
  c.nodes = {
      {"本地", "", "", true},
      {"深", "127.0.0.1:" + std::to_string(deep_node.port()), "", false},
      {"夹带", "127.0.0.1:" + std::to_string(carrying_node.port()), "", false},
  };
  RunningCentre centre(c);

  httplib::Client client("127.0.0.1", centre.port());
  client.set_read_timeout(10, 0);
  for (int round = 0; round < 2; ++round) {  // the second round shows the centre still serving
    SCOPED_TRACE(round);
    auto res = client.Post("/api/local/rivi", httplib::Params{{"serverid", "x"}, {"url", target.url("/ok")}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    const Record list = decode(res->body);
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]["isp"], "本地");
    EXPECT_EQ(list[0]["http_code"], 200);
    EXPECT_EQ(list[1], unanswered("深"));
    EXPECT_EQ(list[2], unanswered("夹带"));
  }
}

// A node answering trailer lines without end (libcurl keeps every one) is cut at the header cap,
// after a bounded number of bytes, and reported as failing for that reason.
TEST(CentreHostileNodes, EndlessTrailerLinesAreCutAtTheHeaderCap) {
  std::string lines;
  while (lines.size() < 64 * 1024) lines += "X-T: aaaa\r\n";
  constexpr std::size_t kMost = 16u << 20;
  rivi::testing::EndlessReplySite node(
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n1\r\n{\r\n0\r\n", lines,
      kMost);
  CentreConfig c;
  c.deadline_ms = 5000;
  c.nodes = {{"尾", "127.0.0.1:" + std::to_string(node.port()), "", false}};
  Centre centre(c);
  EXPECT_EQ(centre.fan_out("http://example.invalid/"), Record::array({unanswered("尾")}));
  const Record health = centre.stats().health(centre.config()->nodes);
  EXPECT_EQ(health[0]["last_error"], "the answer's header lines pass 262144 bytes") << health.dump();
  EXPECT_LT(node.sent(), kMost);
}

}  // namespace
}  // namespace rivi::dispatch
