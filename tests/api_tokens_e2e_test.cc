// API tokens through `panel serve`: tokens made with `panel call`, used with curl-style requests
// on loopback, revoked while the server runs; then the server's output, the cron logs, the
// operation log and the database file are searched for the tokens' text.
#include "host/paths.h"
#include "host/record.h"
#include "host/store/store.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>

namespace rivi {
namespace {

class TokensThroughPanelServe : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = testing::free_port();
    // Runs that the scheduler might start find no centre at once.
    serve_ = std::make_unique<testing::Child>(
        std::vector<std::string>{testing::bin("panel"), "serve", "--listen", "127.0.0.1:" + std::to_string(port_)},
        std::map<std::string, std::string>{{"RIVI_DISPATCH_HOST", "127.0.0.1:" + std::to_string(testing::free_port())}},
        root_.file("serve.log"));
    ASSERT_TRUE(testing::wait_for_port(port_)) << root_.read("serve.log");
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client_->set_read_timeout(30);
  }

  Record panel_call(std::vector<std::string> args) {
    args.insert(args.begin(), {testing::bin("panel"), "call", "qn_rivi"});
    const testing::RunResult r = testing::run(args);
    EXPECT_EQ(r.status, testing::call_status(r.out)) << r.err;
    calls_output_ += r.out + r.err;
    return decode(r.out);
  }

  httplib::Result post(const std::string& token, const std::string& method, const std::string& body = "") {
    auto res = client_->Post("/plugin?action=a&name=qn_rivi&s=" + method, {{"Authorization", "Bearer " + token}}, body,
                             "application/x-www-form-urlencoded");
    EXPECT_TRUE(res);
    if (res) answers_ += res->body;
    return res;
  }

  testing::TempRoot root_;
  int port_ = 0;
  std::unique_ptr<testing::Child> serve_;
  std::unique_ptr<httplib::Client> client_;
  std::string answers_;       // every answer after the tokens were made
  std::string calls_output_;  // what `panel call` printed (the creation answers among it)
};

TEST_F(TokensThroughPanelServe, ScopesRevocationAndNoTokenTextAnywhereButItsCreation) {
  const Record write = panel_call({"create_token", "name=ci", "scope=write"});
  const Record read = panel_call({"create_token", "name=dashboard", "scope=read"});
  ASSERT_EQ(write["status"], true) << write;
  const std::string write_token = write["token"].get<std::string>();
  const std::string read_token = read["token"].get<std::string>();

  // A write token adds a site; a read token reads health and is refused a change, in Chinese.
  auto created = post(write_token, "create", "name2=site&url=http%3A%2F%2F127.0.0.1%3A9%2F&cycle=60");
  ASSERT_EQ(created->status, 200) << created->body;
  EXPECT_EQ(decode(created->body)["status"], true) << created->body;
  auto overview = post(read_token, "get_overview");
  ASSERT_EQ(overview->status, 200) << overview->body;
  EXPECT_EQ(decode(overview->body)["data"].size(), 1u) << overview->body;
  auto refused = post(read_token, "create", "name2=other&url=http%3A%2F%2F127.0.0.1%3A9%2F&cycle=60");
  EXPECT_EQ(refused->status, 403);
  EXPECT_NE(decode(refused->body)["msg"].get<std::string>().find("只读令牌"), std::string::npos) << refused->body;
  EXPECT_EQ(decode(post(read_token, "get_list")->body)["data"].size(), 1u) << "the refused create added nothing";

  // The list names the tokens and when they were last used, never the tokens.
  const Record listed = panel_call({"get_tokens"});
  ASSERT_EQ(listed["data"].size(), 2u) << listed;
  for (const Record& t : listed["data"]) EXPECT_NE(t["last_used"], "") << t;
  EXPECT_EQ(post(read_token, "get_tokens")->status, 200);

  // Revoked from the command line while the server runs: refused on the very next request.
  EXPECT_EQ(panel_call({"revoke_token", "id=" + std::to_string(write["id"].get<std::int64_t>())})["status"], true);
  auto revoked = post(write_token, "get_list");
  EXPECT_EQ(revoked->status, 401);
  EXPECT_EQ(revoked->get_header_value("WWW-Authenticate"), "Bearer");
  EXPECT_EQ(post(read_token, "get_list")->status, 200);
  auto bad = post("0123456789abcdef", "get_list");
  EXPECT_EQ(bad->status, 401);

  EXPECT_EQ(serve_->stop(), 0);
  // Nowhere after creation: the answers, the server's output, the job logs, the operation log,
  // the database (the table holds hashes).
  std::string logs = root_.read("serve.log");
  if (std::filesystem::is_directory(root_.path() / "cron"))
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_.path() / "cron"))
      if (entry.is_regular_file()) logs += testing::read_file(entry.path());
  Connection db(database_path());
  db.query("PRAGMA wal_checkpoint(TRUNCATE)");
  const std::string operation_log = db.query("SELECT log FROM logs").dump();
  const std::string database = testing::read_file(database_path());
  EXPECT_NE(operation_log.find("创建API令牌[ci]"), std::string::npos) << operation_log;
  EXPECT_NE(operation_log.find("撤销API令牌[ci]"), std::string::npos) << operation_log;
  for (const std::string& token : {write_token, read_token}) {
    EXPECT_EQ(answers_.find(token), std::string::npos);
    EXPECT_EQ(logs.find(token), std::string::npos);
    EXPECT_EQ(operation_log.find(token), std::string::npos);
    EXPECT_EQ(database.find(token), std::string::npos);
    EXPECT_EQ(calls_output_.find(token) == calls_output_.rfind(token), true) << "printed once, at its creation";
  }
}

}  // namespace
}  // namespace rivi
