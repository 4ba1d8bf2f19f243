// The centre and the node among hostile peers: nodes that answer JSON nesting without end or
// header lines without end (listed as not answering, the centre serving on); clients whose chunk
// framing never ends or whose body's end is unknown (refused before any check of theirs); and the
// node closing the centre's idle connections to make way for newcomers (no answer lost).
#include "dispatch/centre.h"
#include "dispatch/probe.h"
#include "dispatch/tls.h"
#include "tests/support/dispatch_servers.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <tuple>

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

// Clients of the centre and of a keyed node, before the caller or signature check: a chunk
// extension or a trailer without end is refused after a bounded number of bytes, and a body whose
// end the Transfer-Encoding leaves unknown is refused rather than read as a request of its own.
TEST(HostileClients, ChunkFloodsAndBodiesOfUnknownEndAreRefusedByTheCentreAndTheNode) {
  RunningCentre centre(CentreConfig{});
  NodeOptions keyed;
  keyed.key = "node-key";
  rivi::testing::RunningNode node(keyed);
  for (const auto& [port, path] : {std::tuple{centre.port(), "/api/local/rivi"}, std::tuple{node.port(), "/probe"}}) {
    const std::string post = std::string("POST ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    const std::string chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {chunked + "1;" + std::string(20000, 'a'), "HTTP/1.1 400 "},
        {chunked + "1\r\nx\r\n0\r\nX-T: " + std::string(20000, 'a'), "HTTP/1.1 431 "},
        {post + "Transfer-Encoding: chunked, identity\r\n\r\nGET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
         "HTTP/1.1 400 "},
    };
    for (const auto& [request, status] : cases) {
      const std::string answer = rivi::testing::raw_exchange(port, request);
      EXPECT_EQ(answer.rfind(status, 0), 0u) << path << ": " << request.substr(0, 120) << "\n" << answer;
      EXPECT_EQ(answer.find("HTTP/1.1 ", 1), std::string::npos) << path << ": one answer only";
    }
  }
}

// An HTTPS node lets each address hold 128 of its 512 connections idle; the centre keeps up to
// 1,024 connections to its nodes alive and opens hundreds at once when as many requests come
// together. Neither costs an answer: a burst of new connections is not cut short, and a
// kept-alive connection the node closed to make way is asked again on a new one.
TEST(CentreKeptAliveConnections, ANodeMakingWayForNewcomersCostsNoAnswer) {
  rivi::testing::TempRoot dir(false);
  const auto certificate = rivi::testing::make_certificate(dir.path(), "node");
  NodeOptions o;
  o.tls_certificate = certificate.certificate;
  o.tls_key = certificate.key;
  o.probe.allow_private = true;
  rivi::testing::RunningNode node(o);
  http::Limits roomy;
  roomy.max_connections = 4096;
  http::Server target([](http::Request&, http::Reply reply) { reply(http::Response::text(200, "ok")); }, roomy);
  const std::string url = "http://127.0.0.1:" + std::to_string(target.bind("127.0.0.1", 0)) + "/ok";
  target.start();

  NodeEntry entry{"n", node.address(), "", false};
  entry.tls.on = true;
  entry.tls.pin = std::make_shared<const Fingerprint>(certificate_fingerprint(certificate.certificate));
  CentreConfig c;
  c.deadline_ms = 30000;
  c.nodes = {entry};
  RunningCentre centre(c);

  int unanswered_count = 0;
  for (const int count : {150, 300, 450, 200, 450}) {
    std::mutex mutex;
    std::condition_variable cv;
    int left = count;
    for (int i = 0; i < count; ++i) {
      centre.centre().fan_out(url, [&](Record list) {
        std::lock_guard lock(mutex);
        if (list[0]["http_code"] != 200) ++unanswered_count;
        if (--left == 0) cv.notify_all();
      });
    }
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return left == 0; }));
  }
  EXPECT_EQ(unanswered_count, 0);
  EXPECT_GT(node.evicted(), 0u);  // the node did close connections of the centre's
  const Record health = centre.centre().stats().health(c.nodes);
  EXPECT_EQ(health[0]["failures"], 0) << health.dump();
}

}  // namespace
}  // namespace rivi::dispatch
