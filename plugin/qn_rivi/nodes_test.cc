// get_nodes against a stand-in for the dispatch centre's node list on loopback: the list is
// relayed as it came, the caller's identity rides in a form body (never in the URL), and a centre
// that cannot be reached or answers badly gives the failure envelope.
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/panel_auth.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

namespace rivi {
namespace {

const Record kNodes = Record::parse(R"([
  {"node":"bj-1","isp":"电信","address":"10.0.0.1:8891","state":"up","last_success":1765170000,"failures":0,
   "median_ms":12.5,"last_error":""},
  {"node":"sh-2","isp":"联通","address":"10.0.0.2:8891","state":"down","last_success":null,"failures":4,
   "median_ms":null,"last_error":"connect: refused"}
])");

class GetNodesTest : public ::testing::Test {
 protected:
  GetNodesTest() {
    root_.write("data/dispatch_key", "k3y&=\n");
    const auto answer = [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mu_);
      params_ = req.params;
      request_line_ = req.method + " " + req.target;
      res.status = status_;
      res.set_content(body_, "application/json");
    };
    centre_.server().Get("/api/local/rivi/nodes", answer);
    centre_.server().Post("/api/local/rivi/nodes", answer);
    centre_.start();
    point_at(centre_.port());
  }
  ~GetNodesTest() override {
    std::filesystem::current_path(testing::build_dir());
    ::unsetenv("RIVI_DISPATCH_HOST");
  }
  static void point_at(int port) { ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(port)).c_str(), 1); }
  Record get_nodes() {
    Record args = Record::object();
    ::testing::internal::CaptureStdout();
    Record answer = call_web_method("get_nodes", args);
    ::testing::internal::GetCapturedStdout();
    return answer;
  }

  testing::TempRoot root_;
  testing::LoopbackSite centre_;
  std::mutex mu_;
  httplib::Params params_;  // of the query and of a form body
  std::string request_line_;
  int status_ = 200;
  std::string body_ = kNodes.dump();
};

TEST_F(GetNodesTest, RelaysTheCentresListAskedWithTheServersIdentity) {
  EXPECT_EQ(get_nodes(), kNodes);
  const Record identity = panelAuth().create_serverid(nullptr);
  std::lock_guard lock(mu_);
  ASSERT_EQ(params_.count("serverid"), 1u);
  EXPECT_EQ(params_.find("serverid")->second, identity["serverid"].get<std::string>());
  ASSERT_EQ(params_.count("access_key"), 1u);
  EXPECT_EQ(params_.find("access_key")->second, "k3y&=");  // escaped on the way, whole on arrival
  // The request line, which logs keep, holds no key.
  EXPECT_EQ(request_line_, "POST /api/local/rivi/nodes");
}

TEST_F(GetNodesTest, AnUnreachableOrBrokenCentreGivesTheEnvelope) {
  const Record envelope{{"status", false}, {"msg", "连接调度中心失败!"}};
  {
    std::lock_guard lock(mu_);
    body_ = "not json";
  }
  EXPECT_EQ(get_nodes(), envelope);
  {
    std::lock_guard lock(mu_);
    body_ = kNodes.dump();
    status_ = 500;
  }
  EXPECT_EQ(get_nodes(), envelope);
  point_at(testing::free_port());
  EXPECT_EQ(get_nodes(), envelope);
}

// The centre's own refusal (a status record, sent with 403 by the centre) reaches the page as it is.
TEST_F(GetNodesTest, TheCentresRefusalPassesThrough) {
  const Record refusal{{"status", false}, {"msg", "密钥错误"}};
  for (const int status : {200, 403}) {
    {
      std::lock_guard lock(mu_);
      body_ = refusal.dump();
      status_ = status;
    }
    EXPECT_EQ(get_nodes(), refusal) << status;
  }
}

}  // namespace
}  // namespace rivi
