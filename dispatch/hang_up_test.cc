// Callers that hang up: a node cancels the probe of a caller that closed its connection, and a
// centre stops the fan-out of one, closing its requests to remote nodes (which then cancel theirs)
// and cancelling its in-process probes. Seen at a target that holds every fetch and counts the
// connections still open to it.
#include "dispatch/centre.h"
#include "dispatch/node.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/hanging_target.h"
#include "tests/support/raw_connections.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace rivi::dispatch {
namespace {

using namespace std::chrono_literals;
using rivi::testing::RawConnections;

// A node that may probe this machine's own addresses.
NodeOptions inner_node() {
  NodeOptions o;
  o.probe.allow_private = true;
  o.probe.isp = "n";
  return o;
}

TEST(HangUp, ANodeCancelsTheProbesOfCallersThatHungUp) {
  constexpr int kCallers = 50;
  rivi::testing::HangingTarget target;
  rivi::testing::RunningNode node(inner_node());
  RawConnections callers(node.port(), kCallers);
  callers.send_all(rivi::testing::form_post("/probe", "url=" + target.url() + "&timeout_ms=20000"));
  ASSERT_TRUE(target.wait_open(kCallers, 10s)) << target.open();
  callers.close();
  // Within the probes' 20 s time-out, and well beyond the moment it takes.
  EXPECT_TRUE(target.wait_open(0, 5s)) << target.open() << " fetches still open";

  // The node serves on.
  rivi::testing::LoopbackSite site;
  site.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  site.start();
  const auto answers = rivi::testing::post_at_once(node.port(), "/probe", "url=" + site.url("/ok"), 1, 10000);
  EXPECT_EQ(decode(answers[0].body)["http_code"], 200) << answers[0].body;
}

TEST(HangUp, ACentreStopsTheFanOutOfCallersThatHungUp) {
  constexpr int kCallers = 20;
  rivi::testing::HangingTarget target;
  rivi::testing::RunningNode node(inner_node());
  CentreConfig c;
  c.deadline_ms = 30000;
  c.nodes = {{"本地", "", "", true}, {"远程", node.address(), "", false}};
  rivi::testing::RunningCentre centre(c);

  RawConnections callers(centre.port(), kCallers);
  callers.send_all(rivi::testing::form_post("/api/local/rivi", "url=" + target.url()));
  ASSERT_TRUE(target.wait_open(2 * kCallers, 10s)) << target.open();
  callers.close();
  EXPECT_TRUE(target.wait_open(0, 5s)) << target.open() << " fetches still open";

  // A caller that hung up costs the nodes no failure in their health.
  const Record health = centre.centre().stats().health(centre.centre().config()->nodes);
  for (const Record& h : health) EXPECT_EQ(h["failures"], 0) << health.dump();
}

}  // namespace
}  // namespace rivi::dispatch
