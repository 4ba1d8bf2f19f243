// API tokens on the web server's plug-in route, with the server listening on loopback and its
// clock in the test's hands (so the slow-down is decided without waiting).
#include "host/web/web_server.h"

#include "host/paths.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/methods.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <regex>
#include <set>

namespace rivi {
namespace {

using namespace std::chrono_literals;

TEST(TokenScopes, EveryWebMethodIsClassifiedExactlyOnce) {
  std::multiset<std::string> classified;
  for (const auto* list : {&read_only_methods(), &changing_methods(), &session_only_methods()})
    classified.insert(list->begin(), list->end());
  for (const WebMethodEntry& m : web_method_table())
    EXPECT_EQ(classified.count(m.name), 1u) << m.name << " must be in exactly one list beside the method table";
  for (const std::string& name : classified) EXPECT_TRUE(web_methods().contains(name)) << name << " is no method";
  EXPECT_EQ(token_scope_of("get_overview"), TokenScope::read);
  EXPECT_EQ(token_scope_of("create"), TokenScope::write);
  EXPECT_EQ(token_scope_of("create_token"), std::nullopt);
  EXPECT_EQ(token_scope_of("no_such_method"), std::nullopt);
}

class TokenRoute : public ::testing::Test {
 protected:
  ~TokenRoute() override { std::filesystem::current_path(testing::build_dir()); }

  void SetUp() override {
    set_admin_password("token-password-1", 1000);
    root_.write("plugin/qn_rivi/static/index.html", "<!doctype html><title>page</title>");
    WebOptions options;
    options.plugin = {[](const std::string& m) { return web_methods().contains(m); }, call_web_method, token_scope_of};
    options.port = 0;
    options.clock = [this] { return now_; };
    server_ = std::make_unique<WebServer>(options);
    server_->start();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    client_->set_read_timeout(30);
  }

  httplib::Result call(const std::string& method, const std::string& body, httplib::Headers headers) {
    return client_->Post("/plugin?action=a&name=qn_rivi&s=" + method, headers, body, "application/x-www-form-urlencoded");
  }
  httplib::Result with_token(const std::string& token, const std::string& method, const std::string& body = "") {
    return call(method, body, {{"Authorization", "Bearer " + token}});
  }
  std::string make_token(const std::string& scope) {
    Record args{{"name", "t-" + scope}, {"scope", scope}};
    return call_web_method("create_token", args)["token"].get<std::string>();
  }

  testing::TempRoot root_;
  std::chrono::steady_clock::time_point now_{};
  std::unique_ptr<WebServer> server_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(TokenRoute, BadTokensAreSlowedDownPerAddressLikeLoginsAndAGoodOneWaitsItsTurnToo) {
  const std::string good = make_token("read");
  for (int i = 0; i < 4; ++i) {
    auto res = with_token("f00d" + std::to_string(i), "get_list");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Bearer");
  }
  // The next try within the second after the fourth failure waits, whatever the token.
  auto slowed = with_token(good, "get_list");
  EXPECT_EQ(slowed->status, 429) << slowed->body;
  EXPECT_EQ(slowed->get_header_value("Retry-After"), "1");
  EXPECT_EQ(with_token("f00d", "get_list")->status, 429);
  now_ += 1s;
  EXPECT_EQ(with_token(good, "get_list")->status, 200);
  // A success clears the count: four more failures pass before the next wait.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(with_token("bad", "get_list")->status, 401);
  EXPECT_EQ(with_token("bad", "get_list")->status, 429);
  // Logins have a count of their own: failed tokens do not lock the administrator out.
  auto page = client_->Get("/login");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
}

// Each failed login is one line naming the address and the user name given (bounded, on one
// line), never the password.
TEST_F(TokenRoute, EachFailedLoginIsLoggedWithoutThePassword) {
  auto page = client_->Get("/login");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(page->body, m, std::regex("name=\"csrf_token\" value=\"([0-9a-f]+)\"")));
  const std::string login_cookie = page->get_header_value("Set-Cookie").substr(0, page->get_header_value("Set-Cookie").find(';'));
  ::testing::internal::CaptureStderr();
  for (const std::string user : {"", "&username=ops", "&username=root%0A%3C3%3Eforged"}) {
    auto res = client_->Post("/login", {{"Cookie", login_cookie}}, "password=guess-7c1f&csrf_token=" + m[1].str() + user,
                             "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
  }
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.find("guess-7c1f"), std::string::npos) << log;
  EXPECT_EQ(testing::count_lines(log, "panel serve: failed login from 127.0.0.1 as user "), 3) << log;
  EXPECT_EQ(testing::count_lines(log, ""), 3) << "a name cannot start a line of its own: " << log;
  EXPECT_EQ(testing::count_lines(log, "as user \"admin\""), 1) << log;
  EXPECT_EQ(testing::count_lines(log, "as user \"ops\""), 1) << log;
}

TEST_F(TokenRoute, SessionsStillNeedTheirCsrfTokenAndATokenNeedsNeither) {
  const std::string write = make_token("write");
  // No session, no token: 401; a session cookie alone (no CSRF header) stays refused.
  EXPECT_EQ(call("get_list", "", {})->status, 401);
  auto page = client_->Get("/login");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(page->body, m, std::regex("name=\"csrf_token\" value=\"([0-9a-f]+)\"")));
  const std::string login_cookie = page->get_header_value("Set-Cookie").substr(0, page->get_header_value("Set-Cookie").find(';'));
  auto logged = client_->Post("/login", {{"Cookie", login_cookie}}, "password=token-password-1&csrf_token=" + m[1].str(),
                              "application/x-www-form-urlencoded");
  ASSERT_EQ(logged->status, 303);
  std::string cookie;
  for (auto [it, end] = logged->headers.equal_range("Set-Cookie"); it != end; ++it)
    if (it->second.rfind("rivi_session=", 0) == 0) cookie = it->second.substr(0, it->second.find(';'));
  EXPECT_EQ(call("get_list", "", {{"Cookie", cookie}})->status, 403);
  EXPECT_EQ(call("get_list", "", {{"Cookie", cookie}, {"X-CSRF-Token", "wrong"}})->status, 403);
  // A token with a cross-site origin header is still a token: it proves itself.
  auto res = call("get_list", "", {{"Authorization", "bearer " + write}, {"Origin", "http://evil.example"}});
  EXPECT_EQ(res->status, 200) << res->body;
  // A bad token is refused even beside a valid session: the token decides.
  EXPECT_EQ(call("get_list", "", {{"Cookie", cookie}, {"Authorization", "Bearer nope"}})->status, 401);
}

TEST_F(TokenRoute, TokensCannotManageTokens) {
  const std::string write = make_token("write");
  auto made = with_token(write, "create_token", "name=again&scope=write");
  EXPECT_EQ(made->status, 403);
  EXPECT_EQ(made->body.find("\"token\""), std::string::npos);
  EXPECT_EQ(with_token(write, "revoke_token", "id=1")->status, 403);
  EXPECT_EQ(with_token(write, "get_tokens")->status, 200);
  EXPECT_EQ(with_token(write, "no_such")->status, 404);
}

TEST_F(TokenRoute, TheTableHoldsHashesAndTheMethodsCheckTheirArguments) {
  Record args{{"name", "  ci  "}, {"scope", "write"}};
  const Record made = call_web_method("create_token", args);
  ASSERT_EQ(made["status"], true) << made;
  const std::string token = made["token"].get<std::string>();
  EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{64}")));
  EXPECT_EQ(made["name"], "ci");
  Connection db(database_path());
  const Record rows = db.query("SELECT * FROM api_token");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["token_hash"], sha256_hex(token));
  EXPECT_EQ(rows.dump().find(token), std::string::npos);
  for (const auto& [name, scope] : std::vector<std::pair<std::string, std::string>>{
           {"", "read"}, {"x", "admin"}, {"x", ""}, {std::string(65, 'n'), "read"}, {"\xff", "read"}}) {
    Record bad{{"name", name}, {"scope", scope}};
    EXPECT_EQ(call_web_method("create_token", bad)["status"], false) << name << "/" << scope;
  }
  Record none{{"id", "999"}};
  EXPECT_EQ(call_web_method("revoke_token", none)["status"], false);
  Record listed_args = Record::object();
  const Record listed = call_web_method("get_tokens", listed_args);
  ASSERT_EQ(listed["data"].size(), 1u);
  EXPECT_EQ(listed["data"][0]["last_used"], "");
  EXPECT_FALSE(listed["data"][0].contains("token_hash"));
  EXPECT_EQ(with_token(token, "get_list")->status, 200);
  EXPECT_NE(call_web_method("get_tokens", listed_args)["data"][0]["last_used"], "");
}

}  // namespace
}  // namespace rivi
