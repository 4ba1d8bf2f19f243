// Callers that hang up: a node cancels the probe of a caller that closed its connection, and a
// centre stops the fan-out of one, closing its requests to remote nodes (which then cancel theirs)
// and cancelling its in-process probes. Seen at a target that holds every fetch and counts the
// connections still open to it.
#include "dispatch/centre.h"
#include "dispatch/node.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/hanging_target.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace rivi::dispatch {
namespace {

using namespace std::chrono_literals;

// `count` connections to 127.0.0.1:`port`, each sending one url-encoded POST of `form` to `path`;
// their callers hang up (close) on destruction.
class Callers {
 public:
  Callers(int port, const std::string& path, const std::string& form, int count) {
    const std::string request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                std::to_string(form.size()) + "\r\n\r\n" + form;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) continue;
      fds_.push_back(fd);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        [[maybe_unused]] const auto sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      }
    }
  }
  ~Callers() { hang_up(); }
  Callers(const Callers&) = delete;
  Callers& operator=(const Callers&) = delete;

  void hang_up() {
    for (const int fd : fds_) ::close(fd);
    fds_.clear();
  }

 private:
  std::vector<int> fds_;
};

TEST(HangUp, ANodeCancelsTheProbesOfCallersThatHungUp) {
  constexpr int kCallers = 50;
  rivi::testing::HangingTarget target;
  NodeOptions o;
  o.probe.allow_private = true;
  o.probe.isp = "n";
  rivi::testing::RunningNode node(o);
  Callers callers(node.port(), "/probe", "url=" + target.url() + "&timeout_ms=20000", kCallers);
  ASSERT_TRUE(target.wait_open(kCallers, 10s)) << target.open();
  callers.hang_up();
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
  NodeOptions o;
  o.probe.allow_private = true;
  o.probe.isp = "n";
  rivi::testing::RunningNode node(o);
  CentreConfig c;
  c.deadline_ms = 30000;
  c.nodes = {{"本地", "", "", true}, {"远程", node.address(), "", false}};
  rivi::testing::RunningCentre centre(c);

  Callers callers(centre.port(), "/api/local/rivi", "url=" + target.url(), kCallers);
  ASSERT_TRUE(target.wait_open(2 * kCallers, 10s)) << target.open();
  callers.hang_up();
  EXPECT_TRUE(target.wait_open(0, 5s)) << target.open() << " fetches still open";

  // A caller that hung up costs the nodes no failure in their health.
  const Record health = centre.centre().stats().health(centre.centre().config()->nodes);
  for (const Record& h : health) EXPECT_EQ(h["failures"], 0) << health.dump();
}

}  // namespace
}  // namespace rivi::dispatch
