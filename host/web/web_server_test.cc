#include "host/web/web_server.h"

#include "host/public.h"
#include "plugin/qn_rivi/methods.h"
#include "tests/support/smtp_sink.h"
#include "tests/support/testing.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace rivi {
namespace {

using std::chrono::seconds;
using namespace std::chrono_literals;

constexpr const char* kPassword = "test-password-1";

TEST(ParseListen, AcceptsHostAndPortOnly) {
  EXPECT_EQ(parse_listen("127.0.0.1:8888"), std::make_pair(std::string("127.0.0.1"), 8888));
  EXPECT_EQ(parse_listen("localhost:1"), std::make_pair(std::string("localhost"), 1));
  EXPECT_EQ(parse_listen(":9000"), std::make_pair(std::string("127.0.0.1"), 9000));
  EXPECT_EQ(parse_listen("9000"), std::make_pair(std::string("127.0.0.1"), 9000));
  for (const char* bad : {"", "abc", "host:", "host:0", "host:65536", "host:12x", "host:-1", "a b:80"})
    EXPECT_THROW(parse_listen(bad), std::invalid_argument) << bad;
}

TEST(FormRecord, KeepsOrderDecodesAndLetsTheLastValueWin) {
  struct Row {
    const char* body;
    const char* want;  // the record as JSON
  };
  const Row rows[] = {
      {"", "{}"},
      {"name2=a&url=b&cycle=5", R"({"name2":"a","url":"b","cycle":"5"})"},
      {"b=1&a=2&b=3", R"({"b":"3","a":"2"})"},
      {"q=a+b%2Bc%26d%3De", R"({"q":"a b+c&d=e"})"},
      {"name2=%E6%8B%94%E6%B5%8B", R"({"name2":"拔测"})"},
      {"flag&x=&&y=1", R"({"flag":"","x":"","y":"1"})"},
      {"n=%3Cimg%20src%3Dx%3E", R"({"n":"<img src=x>"})"},
  };
  for (const auto& row : rows) EXPECT_EQ(form_record(row.body).dump(), Record::parse(row.want).dump()) << row.body;
}

TEST(HostAllowed, LoopbackListenersAnswerOnlyLoopbackNames) {
  struct Row {
    const char* host_header;
    const char* listen;
    bool allowed;
  };
  const Row rows[] = {
      {"127.0.0.1:8888", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.1", true},
      {"localhost:8888", "127.0.0.1", true},
      {"LocalHost.:8888", "127.0.0.1", true},
      {"127.9.8.7:1", "127.0.0.1", true},
      {"[::1]:8888", "127.0.0.1", true},
      {"[::1]", "::1", true},
      {"[::1]:8888", "[::1]", true},
      {"127.0.0.1:8888", "localhost", true},
      {"evil.example", "127.0.0.1", false},
      {"evil.example:8888", "127.0.0.1", false},
      {"localhost.evil.example", "127.0.0.1", false},
      {"127.0.0.1.evil.example", "127.0.0.1", false},
      {"192.168.1.5:8888", "127.0.0.1", false},
      {"[fe80::1]:8888", "::1", false},
      {"192.168.1.5", "[::1]", false},
      {"", "127.0.0.1", false},
      {"127.0.0.1:", "127.0.0.1", false},
      {"127.0.0.1:80x", "127.0.0.1", false},
      {"::1", "127.0.0.1", false},  // an IPv6 literal needs its brackets
      {"[::1", "127.0.0.1", false},
      // Every address: any address literal, never a name but localhost.
      {"192.168.1.5:8888", "0.0.0.0", true},
      {"[fe80::1]:8888", "::", true},
      {"localhost:8888", "0.0.0.0", true},
      {"panel.example:8888", "0.0.0.0", false},
      // One address or name: that one, or loopback.
      {"192.168.1.5:8888", "192.168.1.5", true},
      {"192.168.1.6:8888", "192.168.1.5", false},
      {"Panel.Example:8888", "panel.example", true},
      {"other.example:8888", "panel.example", false},
      {"127.0.0.1:8888", "192.168.1.5", true},
  };
  for (const auto& row : rows)
    EXPECT_EQ(host_allowed(row.host_header, row.listen), row.allowed) << row.host_header << " on " << row.listen;
}

// A panel root with a password, a page and the server listening on a free loopback port.
class WebServerTest : public ::testing::Test {
 protected:
  // Loading the plug-in made the root the working directory; leave it before the root goes.
  ~WebServerTest() override { std::filesystem::current_path(testing::build_dir()); }

  void SetUp() override {
    set_admin_password(kPassword, 1000);
    root_.write("plugin/qn_rivi/static/index.html", "<!doctype html><title>page</title>");
    root_.write("plugin/qn_rivi/static/app.js", "console.log(1)");
    WebOptions options;
    options.plugin = {[](const std::string& m) { return web_methods().contains(m); }, call_web_method};
    options.port = 0;
    options.max_body = 4096;
    options.clock = [this] { return now_; };
    configure(options);
    server_ = std::make_unique<WebServer>(options);
    server_->start();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    client_->set_read_timeout(60);
  }

  // Changes the options before the server is made.
  virtual void configure(WebOptions&) {}

  // GET /login, then POST the form; answers the POST's response.
  httplib::Result post_login(const std::string& password, bool with_token = true) {
    auto page = client_->Get("/login");
    EXPECT_TRUE(page);
    std::smatch m;
    std::regex_search(page->body, m, std::regex("name=\"csrf_token\" value=\"([0-9a-f]+)\""));
    std::string token = m[1];
    std::string cookie = page->get_header_value("Set-Cookie");
    cookie = cookie.substr(0, cookie.find(';'));
    std::string body = "password=" + password + (with_token ? "&csrf_token=" + token : "");
    return client_->Post("/login", {{"Cookie", cookie}}, body, "application/x-www-form-urlencoded");
  }

  // Logs in; answers the session cookie ("rivi_session=...") and the CSRF token.
  std::pair<std::string, std::string> login() {
    auto res = post_login(kPassword);
    EXPECT_EQ(res->status, 303);
    std::string cookie;
    for (auto [it, end] = res->headers.equal_range("Set-Cookie"); it != end; ++it)
      if (it->second.rfind("rivi_session=", 0) == 0) cookie = it->second.substr(0, it->second.find(';'));
    auto session = client_->Get("/api/session", {{"Cookie", cookie}});
    EXPECT_EQ(session->status, 200);
    return {cookie, Record::parse(session->body)["csrf"].get<std::string>()};
  }

  httplib::Result call(const std::string& method, const std::string& body, const httplib::Headers& headers) {
    return client_->Post("/plugin?action=a&name=qn_rivi&s=" + method, headers, body,
                         "application/x-www-form-urlencoded");
  }
  httplib::Result call(const std::string& method, const std::string& body = "") {
    auto [cookie, csrf] = session_;
    return call(method, body, {{"Cookie", cookie}, {"X-CSRF-Token", csrf}});
  }

  testing::TempRoot root_;
  std::chrono::steady_clock::time_point now_{};
  std::unique_ptr<WebServer> server_;
  std::unique_ptr<httplib::Client> client_;
  std::pair<std::string, std::string> session_;
};

TEST_F(WebServerTest, PageNeedsASessionAndCarriesTheContentPolicy) {
  auto res = client_->Get("/plugin/qn_rivi/");
  EXPECT_EQ(res->status, 303);
  EXPECT_EQ(res->get_header_value("Location"), "/login");
  EXPECT_EQ(client_->Get("/plugin/qn_rivi/app.js")->status, 303);
  EXPECT_EQ(client_->Get("/")->get_header_value("Location"), "/plugin/qn_rivi/");

  auto [cookie, csrf] = login();
  res = client_->Get("/plugin/qn_rivi/", {{"Cookie", cookie}});
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "<!doctype html><title>page</title>");
  EXPECT_NE(res->get_header_value("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
  EXPECT_EQ(res->get_header_value("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(client_->Get("/plugin/qn_rivi/app.js", {{"Cookie", cookie}})->body, "console.log(1)");
  // Nothing outside the page's folder: not the database, not the worker.
  for (const char* path : {"/plugin/qn_rivi/../../data/default.db", "/plugin/qn_rivi/%2e%2e/%2e%2e/data/default.db",
                           "/plugin/qn_rivi/../rivi", "/data/default.db"}) {
    auto r = client_->Get(path, {{"Cookie", cookie}});
    EXPECT_TRUE(r->status == 404 || r->status == 400) << path << " " << r->status;
  }
}

TEST_F(WebServerTest, LoginSetsAStrictHttpOnlySessionCookieAndAScriptCsrfCookieAndLogoutEndsThem) {
  auto res = post_login(kPassword);
  EXPECT_EQ(res->status, 303);
  EXPECT_EQ(res->get_header_value("Location"), "/plugin/qn_rivi/");
  bool found = false;
  for (auto [it, end] = res->headers.equal_range("Set-Cookie"); it != end; ++it) {
    if (it->second.rfind("rivi_session=", 0) != 0) continue;
    found = true;
    EXPECT_NE(it->second.find("; HttpOnly"), std::string::npos);
    EXPECT_NE(it->second.find("; SameSite=Strict"), std::string::npos);
  }
  EXPECT_TRUE(found);

  // The CSRF token also comes as a cookie the page's script can read (not HttpOnly), the same
  // token /api/session answers; the logout expires both cookies.
  const auto set_cookie = [](const httplib::Result& r, const std::string& name) {
    for (auto [it, end] = r->headers.equal_range("Set-Cookie"); it != end; ++it)
      if (it->second.rfind(name + "=", 0) == 0) return it->second;
    return std::string();
  };
  auto again = post_login(kPassword);
  const std::string script_csrf = set_cookie(again, "rivi_csrf");
  ASSERT_FALSE(script_csrf.empty());
  EXPECT_EQ(script_csrf.find("HttpOnly"), std::string::npos);
  EXPECT_NE(script_csrf.find("; SameSite=Strict"), std::string::npos);
  const std::string session_cookie = set_cookie(again, "rivi_session").substr(0, set_cookie(again, "rivi_session").find(';'));
  auto session = client_->Get("/api/session", {{"Cookie", session_cookie}});
  EXPECT_EQ(script_csrf.substr(0, script_csrf.find(';')),
            "rivi_csrf=" + Record::parse(session->body)["csrf"].get<std::string>());
  EXPECT_EQ(set_cookie(session, "rivi_csrf"), script_csrf);

  auto [cookie, csrf] = login();
  EXPECT_EQ(client_->Post("/logout", {{"Cookie", cookie}}, "", "application/x-www-form-urlencoded")->status, 403);
  auto out = client_->Post("/logout", {{"Cookie", cookie}, {"X-CSRF-Token", csrf}}, "", "application/x-www-form-urlencoded");
  EXPECT_EQ(out->status, 200);
  EXPECT_NE(set_cookie(out, "rivi_csrf").find("Max-Age=0"), std::string::npos);
  EXPECT_EQ(client_->Get("/api/session", {{"Cookie", cookie}})->status, 401);
}

TEST_F(WebServerTest, LoginRefusesAMissingTokenAndWrongPasswordsThenSlowsDown) {
  EXPECT_EQ(post_login(kPassword, false)->status, 403);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(post_login("wrong-password")->status, 401) << i;
  // The fourth failure asks for a second's pause: even the right password waits.
  auto res = post_login(kPassword);
  EXPECT_EQ(res->status, 429);
  EXPECT_EQ(res->get_header_value("Retry-After"), "1");
  now_ += seconds(1);
  EXPECT_EQ(post_login(kPassword)->status, 303);
}

TEST_F(WebServerTest, ConcurrentGuessesGetNoMoreChecksThanOneByOne) {
  set_admin_password(kPassword, 100000);  // a check slow enough for the guesses to overlap
  constexpr int kGuesses = 16;
  // Each guess with its own login form token, all sent at once on their own connections.
  std::vector<std::pair<std::string, std::string>> forms;
  for (int i = 0; i < kGuesses; ++i) {
    auto page = client_->Get("/login");
    std::smatch m;
    std::regex_search(page->body, m, std::regex("name=\"csrf_token\" value=\"([0-9a-f]+)\""));
    auto cookie = page->get_header_value("Set-Cookie");
    forms.emplace_back(cookie.substr(0, cookie.find(';')), "password=wrong-guess&csrf_token=" + m[1].str());
  }
  std::vector<int> statuses(kGuesses);
  {
    std::vector<std::jthread> senders;
    for (int i = 0; i < kGuesses; ++i)
      senders.emplace_back([&, i] {
        httplib::Client c("127.0.0.1", server_->port());
        c.set_read_timeout(120);
        auto res = c.Post("/login", {{"Cookie", forms[i].first}}, forms[i].second, "application/x-www-form-urlencoded");
        statuses[i] = res ? res->status : -1;
      });
  }
  // The clock stands still: as one by one, four checks (all wrong), then waiting.
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 401), 4);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 429), kGuesses - 4);
}

TEST_F(WebServerTest, SessionsEndWhenThePasswordChanges) {
  auto [cookie, csrf] = login();
  set_admin_password("the-new-password", 1000);  // as `panel passwd` does, beside the server
  EXPECT_EQ(client_->Get("/api/session", {{"Cookie", cookie}})->status, 401);
  EXPECT_EQ(client_->Get("/plugin/qn_rivi/", {{"Cookie", cookie}})->status, 303);
  EXPECT_EQ(post_login(kPassword)->status, 401);
  EXPECT_EQ(post_login("the-new-password")->status, 303);
}

TEST_F(WebServerTest, ForeignHostNamesAreRefusedBeforeAnything) {
  const std::string port = std::to_string(server_->port());
  for (const std::string& host : std::vector<std::string>{"evil.example", "evil.example:" + port,
                                                          "127.0.0.1.evil.example:" + port}) {
    auto res = client_->Get("/login", {{"Host", host}});
    EXPECT_EQ(res->status, 421) << host;
    EXPECT_FALSE(res->has_header("Set-Cookie")) << host;
    EXPECT_EQ(client_->Post("/login", {{"Host", host}}, "password=x", "application/x-www-form-urlencoded")->status, 421);
  }
  auto [cookie, csrf] = login();
  auto res = call("return_mail_list", "", {{"Cookie", cookie}, {"X-CSRF-Token", csrf}, {"Host", "evil.example"}});
  EXPECT_EQ(res->status, 421);
  for (const std::string& host : {"127.0.0.1:" + port, "localhost:" + port, "[::1]:" + port}) {
    EXPECT_EQ(client_->Get("/login", {{"Host", host}})->status, 200) << host;
    res = call("return_mail_list", "", {{"Cookie", cookie}, {"X-CSRF-Token", csrf}, {"Host", host}});
    EXPECT_EQ(res->status, 200) << host;
  }
}

TEST_F(WebServerTest, ChannelSecretsStayOnTheServer) {
  root_.write("data/stmp_mail.json",
              R"({"qq_mail": "ops@mail.invalid", "password": "smtp-secret-1", "host": "127.0.0.1", "port": 25})");
  root_.write("data/dingding.json",
              R"({"dingding_url": "https://robot.invalid/send?access_token=hook-secret-2", "secret": "sign-secret-3"})");
  session_ = login();
  const std::map<std::string, std::string> want = {
      {"get_user_mail", R"({"qq_mail":"ops@mail.invalid","password_set":true,"host":"127.0.0.1","port":25})"},
      {"get_dingding", R"({"dingding_url":"https://robot.invalid/send?","secret_set":true})"},
  };
  for (const auto& [method, answer] : want) {
    auto res = call(method);
    ASSERT_EQ(res->status, 200) << method;
    EXPECT_EQ(Record::parse(res->body).dump(), answer) << method;
  }
  auto settings = call("get_settings");
  ASSERT_EQ(settings->status, 200);
  for (const char* secret : {"smtp-secret-1", "hook-secret-2", "sign-secret-3"})
    EXPECT_EQ(settings->body.find(secret), std::string::npos) << secret;
  auto body = Record::parse(settings->body);
  EXPECT_EQ(body["user_mail"]["info"].dump(), want.at("get_user_mail"));
  EXPECT_EQ(body["dingding"]["info"].dump(), want.at("get_dingding"));

  // Empty secrets read as not set; a channel that is not configured stays false.
  root_.write("data/stmp_mail.json", R"({"qq_mail": "ops@mail.invalid", "password": ""})");
  root_.write("data/dingding.json", "{}");
  EXPECT_EQ(Record::parse(call("get_user_mail")->body).dump(), R"({"qq_mail":"ops@mail.invalid","password_set":false})");
  EXPECT_EQ(call("get_dingding")->body, "false");
  // The method's own answer, as `panel call` prints it, is unchanged.
  Record none = Record::object();
  EXPECT_EQ(call_web_method("get_user_mail", none)["password"], "");
}

// The settings forms: POST /api/settings/... with the session and its CSRF token.
class SettingsFormTest : public WebServerTest {
 protected:
  void SetUp() override {
    WebServerTest::SetUp();
    session_ = login();
  }

  httplib::Result save(const std::string& what, const std::string& body) {
    auto [cookie, csrf] = session_;
    return client_->Post("/api/settings/" + what, {{"Cookie", cookie}, {"X-CSRF-Token", csrf}}, body,
                         "application/x-www-form-urlencoded");
  }
  Record file(const std::string& name) { return Record::parse(root_.read("data/" + name)); }
  std::filesystem::perms mode(const std::string& name) {
    return std::filesystem::status(root_.file("data/" + name)).permissions() & std::filesystem::perms::mask;
  }
  // Every answer seen, to check at the end that none held a secret.
  std::string seen_;
  void expect(const httplib::Result& res, int status, bool ok, const std::string& msg_part = "") {
    ASSERT_TRUE(res);
    seen_ += res->body;
    EXPECT_EQ(res->status, status) << res->body;
    auto body = Record::parse(res->body);
    EXPECT_EQ(body["status"], ok) << res->body;
    EXPECT_NE(body["msg"].get<std::string>().find(msg_part), std::string::npos) << res->body;
  }
};

constexpr auto kOwnerOnly = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;

TEST_F(SettingsFormTest, MailAccountIsWrittenOwnerOnlyAndItsPasswordIsWriteOnly) {
  root_.write("data/stmp_mail.json",
              R"({"qq_mail":"ops@mail.invalid","password":"smtp-secret-1","host":"127.0.0.1","port":2525,"ca_file":"/ca.pem","timeout":7})");
  std::filesystem::permissions(root_.file("data/stmp_mail.json"), std::filesystem::perms(0644));

  // An empty password field keeps the stored one (the server it goes to is the same: port 2525
  // meant no TLS); keys the form does not edit stay.
  expect(save("mail", "qq_mail=ops%40mail.invalid&host=127.0.0.1&port=2525&security=none&password="), 200, true,
         "已保存");
  EXPECT_EQ(file("stmp_mail.json").dump(),
            Record::parse(R"({"qq_mail":"ops@mail.invalid","password":"smtp-secret-1","host":"127.0.0.1","port":2525,
                             "ca_file":"/ca.pem","timeout":7,"security":"none"})").dump());
  EXPECT_EQ(mode("stmp_mail.json"), kOwnerOnly);
  EXPECT_EQ(Record::parse(call("get_user_mail")->body)["password_set"], true);

  expect(save("mail", "qq_mail=ops%40mail.invalid&host=smtp.mail.invalid&port=465&security=ssl&password=new-secret-2"),
         200, true);
  EXPECT_EQ(file("stmp_mail.json")["password"], "new-secret-2");
  expect(save("mail", "qq_mail=ops%40mail.invalid&host=smtp.mail.invalid&port=465&security=ssl&clear_password=1"),
         200, true);
  EXPECT_FALSE(file("stmp_mail.json").contains("password"));

  // A new file is owner-only too.
  std::filesystem::remove(root_.file("data/stmp_mail.json"));
  expect(save("mail", "qq_mail=a%40b.invalid&host=h&port=587&security=starttls&password=new-secret-3"), 200, true);
  EXPECT_EQ(mode("stmp_mail.json"), kOwnerOnly);
  EXPECT_EQ(file("stmp_mail.json")["password"], "new-secret-3");
  for (const char* secret : {"smtp-secret-1", "new-secret-2", "new-secret-3"})
    EXPECT_EQ(seen_.find(secret), std::string::npos) << secret;
}

TEST_F(SettingsFormTest, BadMailFormsAreRefusedAndLeaveTheFile) {
  const std::string before = R"({"qq_mail":"ops@mail.invalid","password":"smtp-secret-1","host":"h","port":25})";
  root_.write("data/stmp_mail.json", before);
  const std::string good = "&host=h&port=25&security=none&password=smtp-secret-9";
  const std::pair<std::string, const char*> rows[] = {
      {"qq_mail=ops" + good, "发件邮箱"},
      {"qq_mail=a%40b" + good, "发件邮箱"},
      {"qq_mail=a%20x%40b.invalid" + good, "发件邮箱"},
      {"qq_mail=a%40b.invalid%0d%0aRCPT" + good, "发件邮箱"},
      {"qq_mail=a%40b.invalid&host=&port=25&security=none", "SMTP"},
      {"qq_mail=a%40b.invalid&host=h%2Fx&port=25&security=none", "SMTP"},
      {"qq_mail=a%40b.invalid&host=h&port=0&security=none", "端口"},
      {"qq_mail=a%40b.invalid&host=h&port=65536&security=none", "端口"},
      {"qq_mail=a%40b.invalid&host=h&port=25x&security=none", "端口"},
      {"qq_mail=a%40b.invalid&host=h&port=&security=none", "端口"},
      {"qq_mail=a%40b.invalid&host=h&port=25&security=tls", "加密方式"},
      {"qq_mail=a%40b.invalid&host=h&port=25&security=none&password=x%0Ay", "密码"},
  };
  for (const auto& [body, msg] : rows) {
    SCOPED_TRACE(body);
    expect(save("mail", body), 400, false, msg);
    EXPECT_EQ(root_.read("data/stmp_mail.json"), before);
  }
  expect(save("mail", "qq_mail=a%40b.invalid&host=h&port=65535&security=none"), 200, true);
  EXPECT_EQ(seen_.find("smtp-secret"), std::string::npos);
}

TEST_F(SettingsFormTest, DingTalkWebhookAndSecretAreKeptUnlessReplaced) {
  root_.write("data/dingding.json",
              R"({"dingding_url":"https://robot.invalid/send?access_token=hook-secret-1","secret":"sign-secret-2","timeout":5})");
  const std::string stored = file("dingding.json").dump();
  // Empty fields, or the address as the page shows it (query hidden), keep everything.
  for (const char* body : {"dingding_url=&secret=", "dingding_url=https%3A%2F%2Frobot.invalid%2Fsend%3F&secret="}) {
    expect(save("dingding", body), 200, true, "已保存");
    EXPECT_EQ(file("dingding.json").dump(), stored) << body;
    EXPECT_EQ(mode("dingding.json"), kOwnerOnly);
  }
  for (const char* bad : {"http://robot.invalid/send", "ftp://127.0.0.1/x", "robot.invalid", "http://127.0.0.1.evil.invalid/",
                          "https://user@robot.invalid/", "https://robot.invalid/a b"}) {
    std::string field;
    for (const unsigned char c : std::string(bad)) field += std::isalnum(c) ? std::string(1, c) : fmt::format("%{:02X}", c);
    expect(save("dingding", "dingding_url=" + field), 400, false, "Webhook");
    EXPECT_EQ(file("dingding.json").dump(), stored) << bad;
  }
  expect(save("dingding", "dingding_url=http%3A%2F%2F127.0.0.1%3A9%2Frobot%3Fk%3Dv&secret=sign-secret-3"), 200, true);
  EXPECT_EQ(file("dingding.json")["dingding_url"], "http://127.0.0.1:9/robot?k=v");
  EXPECT_EQ(file("dingding.json")["secret"], "sign-secret-3");
  expect(save("dingding", "dingding_url=http%3A%2F%2F%5B%3A%3A1%5D%2Fr&clear_secret=1"), 200, true);
  EXPECT_FALSE(file("dingding.json").contains("secret"));
  EXPECT_EQ(file("dingding.json")["timeout"], 5);

  // Nothing stored and nothing given: refused.
  root_.write("data/dingding.json", "{}");
  expect(save("dingding", "dingding_url="), 400, false, "Webhook");
  for (const char* secret : {"hook-secret-1", "sign-secret-2", "sign-secret-3"})
    EXPECT_EQ(seen_.find(secret), std::string::npos) << secret;
}

// A session that points the account at another server and presses "test" must not get the
// stored password sent there: a save that moves the account, or the robot, drops the secret.
TEST_F(SettingsFormTest, StoredSecretsStayWithTheServerTheyWereGivenFor) {
  const std::string stored = R"({"qq_mail":"ops@mail.invalid","password":"smtp-secret-1","host":"smtp.mail.invalid","port":465})";
  const auto password_kept = [&] { return file("stmp_mail.json").value("password", "") == "smtp-secret-1"; };
  // The same server (the host's case aside; port 465 meant ssl): kept, and nothing to ask.
  root_.write("data/stmp_mail.json", stored);
  auto res = save("mail", "qq_mail=ops%40mail.invalid&host=SMTP.mail.invalid&port=465&security=ssl");
  expect(res, 200, true, "已保存");
  EXPECT_FALSE(Record::parse(res->body).contains("dropped"));
  EXPECT_TRUE(password_kept());
  for (const char* moved : {"qq_mail=ops%40mail.invalid&host=collector.invalid&port=465&security=ssl",
                            "qq_mail=ops%40mail.invalid&host=smtp.mail.invalid&port=25&security=ssl",
                            "qq_mail=ops%40mail.invalid&host=smtp.mail.invalid&port=465&security=none",
                            "qq_mail=other%40mail.invalid&host=smtp.mail.invalid&port=465&security=ssl"}) {
    SCOPED_TRACE(moved);
    root_.write("data/stmp_mail.json", stored);
    res = save("mail", moved);
    expect(res, 200, true, "请重新输入密码");
    EXPECT_EQ(Record::parse(res->body)["dropped"], "password");
    EXPECT_FALSE(file("stmp_mail.json").contains("password"));
    EXPECT_EQ(Record::parse(call("get_user_mail")->body).value("password_set", false), false);
  }
  // Moved with the password given again: the new one is the one for the new server.
  root_.write("data/stmp_mail.json", stored);
  expect(save("mail", "qq_mail=ops%40mail.invalid&host=new.mail.invalid&port=465&security=ssl&password=smtp-secret-2"),
         200, true, "已保存");
  EXPECT_EQ(file("stmp_mail.json")["password"], "smtp-secret-2");

  // The signing key follows the robot's origin: path, query, the scheme's case and a spelled-out
  // default port keep it; another host or port drops it.
  const std::string robot = R"({"dingding_url":"https://robot.invalid/send?access_token=t1","secret":"sign-secret-1"})";
  for (const char* same : {"https%3A%2F%2Frobot.invalid%2Fother%3Faccess_token%3Dt2", "HTTPS%3A%2F%2FROBOT.invalid%3A443%2Fsend"}) {
    root_.write("data/dingding.json", robot);
    res = save("dingding", std::string("dingding_url=") + same);
    expect(res, 200, true, "已保存");
    EXPECT_FALSE(Record::parse(res->body).contains("dropped")) << same;
    EXPECT_EQ(file("dingding.json")["secret"], "sign-secret-1") << same;
  }
  for (const char* other : {"https%3A%2F%2Fcollector.invalid%2Fsend", "https%3A%2F%2Frobot.invalid%3A8443%2Fsend"}) {
    root_.write("data/dingding.json", robot);
    res = save("dingding", std::string("dingding_url=") + other);
    expect(res, 200, true, "请重新输入加签密钥");
    EXPECT_EQ(Record::parse(res->body)["dropped"], "secret") << other;
    EXPECT_FALSE(file("dingding.json").contains("secret")) << other;
  }
  for (const char* secret : {"smtp-secret-1", "smtp-secret-2", "sign-secret-1"})
    EXPECT_EQ(seen_.find(secret), std::string::npos) << secret;
}

// From outside: the account moved to another SMTP server by a session, then "test" pressed. The
// other server asks for the same login and records who logged in: nobody does.
TEST_F(SettingsFormTest, ATestAfterTheServerMovedSendsNoStoredPassword) {
  testing::SmtpSinkOptions login;
  login.user = "ops@mail.invalid";
  login.password = "smtp-secret-1";
  testing::SmtpSink own(login), collector(login);
  root_.write("data/stmp_mail.json", Record{{"qq_mail", "ops@mail.invalid"}, {"password", "smtp-secret-1"}, {"host", "127.0.0.1"},
                                            {"port", own.port()}, {"security", "none"}, {"timeout", 5}}.dump());
  expect(save("mail", fmt::format("qq_mail=ops%40mail.invalid&host=127.0.0.1&port={}&security=none", collector.port())), 200,
         true, "请重新输入密码");
  auto res = call("test_channel", "channel=mail");
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(Record::parse(res->body)["status"], false) << res->body;  // the collector wants a login
  EXPECT_TRUE(collector.messages().empty());
  EXPECT_TRUE(own.messages().empty());
}

TEST_F(SettingsFormTest, RecipientsAreCheckedOneByOneAndRefusedTogether) {
  expect(save("recipients", "mail_list=a%40x.invalid%0D%0Ab%40y.invalid%2C+a%40x.invalid%3Bc%40z.invalid"), 200, true,
         "3");
  EXPECT_EQ(file("mail_list.json").dump(), R"(["a@x.invalid","b@y.invalid","c@z.invalid"])");
  EXPECT_EQ(mode("mail_list.json"), kOwnerOnly);
  EXPECT_EQ(Record::parse(call("return_mail_list")->body).dump(), R"(["a@x.invalid","b@y.invalid","c@z.invalid"])");

  expect(save("recipients", "mail_list=d%40x.invalid%0Anot-an-address%0Ae%40y.invalid"), 400, false, "not-an-address");
  EXPECT_EQ(file("mail_list.json").dump(), R"(["a@x.invalid","b@y.invalid","c@z.invalid"])");
  expect(save("recipients", "mail_list=%0A"), 200, true, "0");
  EXPECT_EQ(file("mail_list.json").dump(), "[]");
}

TEST_F(SettingsFormTest, SavingNeedsTheSessionAndItsCsrfToken) {
  root_.write("data/mail_list.json", R"(["a@x.invalid"])");
  auto [cookie, csrf] = session_;
  const std::string body = "mail_list=evil%40attacker.invalid";
  auto post = [&](const httplib::Headers& headers) {
    return client_->Post("/api/settings/recipients", headers, body, "application/x-www-form-urlencoded");
  };
  EXPECT_EQ(post({})->status, 401);
  EXPECT_EQ(post({{"X-CSRF-Token", csrf}})->status, 401);
  EXPECT_EQ(post({{"Cookie", cookie}})->status, 403);
  EXPECT_EQ(post({{"Cookie", cookie}, {"X-CSRF-Token", csrf + "0"}})->status, 403);
  EXPECT_EQ(post({{"Cookie", cookie}, {"X-CSRF-Token", csrf}, {"Origin", "http://attacker.invalid"}})->status, 403);
  EXPECT_EQ(client_->Get("/api/settings/recipients", {{"Cookie", cookie}})->status, 404);
  EXPECT_EQ(root_.read("data/mail_list.json"), R"(["a@x.invalid"])");
  EXPECT_EQ(post({{"Cookie", cookie}, {"X-CSRF-Token", csrf}})->status, 200);
}

TEST_F(WebServerTest, APortInUseIsAnErrorNotASharedPort) {
  WebOptions options;
  options.port = server_->port();
  WebServer second(options);
  try {
    second.start();
    ADD_FAILURE() << "a second server started on port " << options.port;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "cannot listen on 127.0.0.1:" + std::to_string(options.port) +
                                         ": the address is already in use (another program listens there)");
  }
  EXPECT_EQ(client_->Get("/login")->status, 200);
}

TEST_F(WebServerTest, PluginCallsNeedSessionAndCsrfToken) {
  session_ = login();
  auto [cookie, csrf] = session_;
  EXPECT_EQ(call("return_mail_list", "", {})->status, 401);
  EXPECT_EQ(call("return_mail_list", "", {{"Cookie", "rivi_session=0123"}, {"X-CSRF-Token", csrf}})->status, 401);
  EXPECT_EQ(call("return_mail_list", "", {{"Cookie", cookie}})->status, 403);
  EXPECT_EQ(call("return_mail_list", "", {{"Cookie", cookie}, {"X-CSRF-Token", csrf + "0"}})->status, 403);
  EXPECT_EQ(call("return_mail_list", "", {{"Cookie", cookie}, {"X-CSRF-Token", cookie}})->status, 403);
  auto cross = call("return_mail_list", "",
                    {{"Cookie", cookie}, {"X-CSRF-Token", csrf}, {"Origin", "http://attacker.invalid"}});
  EXPECT_EQ(cross->status, 403);
  auto res = call("return_mail_list");
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "[]");
  EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8");
}

TEST_F(WebServerTest, OnlyWebCallableMethodsAreReachable) {
  session_ = login();
  for (const char* name : {"create_task", "modify_task", "remove_task", "_send_task", "get_state", "send_mail",
                           "qn_rivi_main", "", "GET_LIST"}) {
    auto res = call(name, "id=1");
    EXPECT_EQ(res->status, 404) << name;
    EXPECT_EQ(Record::parse(res->body), Record({{"status", false}, {"msg", std::string("未知的方法：") + name}}))
        << name;
  }
  auto res = client_->Post("/plugin?action=a&name=other&s=get_list",
                           {{"Cookie", session_.first}, {"X-CSRF-Token", session_.second}}, "",
                           "application/x-www-form-urlencoded");
  EXPECT_EQ(res->status, 404);
}

TEST_F(WebServerTest, FormFieldsBecomeTheArgumentsAndAnswersAreJson) {
  session_ = login();
  auto res = call("create", "name2=%3Cimg+src%3Dx+onerror%3Dalert(1)%3E&url=+http%3A%2F%2F127.0.0.1%3A1%2F+&cycle=5");
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(Record::parse(res->body), Record({{"status", true}, {"msg", "添加成功!"}}));

  res = call("create", "name2=x&url=ftp%3A%2F%2Fa&cycle=5");
  EXPECT_EQ(Record::parse(res->body), Record({{"status", false}, {"msg", "URL地址必需包含http://或https://"}}));

  res = call("get_list", "search=127.0.0.1");
  auto list = Record::parse(res->body);
  ASSERT_EQ(list["data"].size(), 1u);
  EXPECT_EQ(list["data"][0]["name"], "<img src=x onerror=alert(1)>");
  EXPECT_EQ(list["data"][0]["url"], "http://127.0.0.1:1/");
}

TEST_F(WebServerTest, AnswerHoldingBytesThatAreNotUtf8StillReachesThePage) {
  session_ = login();
  // `create` refuses such a name now; a row stored before that still has to reach the page.
  auto res = call("create", "name2=a%FFb&url=http%3A%2F%2F127.0.0.1%3A1%2F&cycle=5");
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(Record::parse(res->body)["status"], false) << res->body;
  public_::M("rivi_task").insert(Record{{"name", "a\xFF" "b"}, {"url", "http://127.0.0.1:1/"}, {"status", 1}, {"cycle", 5}, {"addtime", 1}});
  res = call("get_list");
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(Record::parse(res->body)["data"][0]["name"], "a\xEF\xBF\xBD" "b");  // U+FFFD in place of the byte
}

// Bytes that are not UTF-8 in a field that is stored as text are a bad value of that field,
// answered as such, never a 500 with a library's message; nothing is written.
TEST_F(WebServerTest, TextThatIsNotUtf8IsABadValueNotAServerError) {
  session_ = login();
  ASSERT_EQ(Record::parse(call("create", "name2=ok&url=http%3A%2F%2F127.0.0.1%3A1%2F&cycle=5")->body)["status"], true);
  const std::pair<const char*, const char*> calls[] = {
      {"set_alert_policy", "mode=%FF"},
      {"set_alert_policy", "mode=incident&remind_minutes=3%FF"},
      {"set_alert_policy", "recovery=%C3%28"},
      {"set_alert_policy", "error_after=%ED%A0%80"},  // a surrogate
      {"create", "name2=%FF&url=http%3A%2F%2F127.0.0.1%3A1%2F&cycle=5"},
      {"create", "name2=n&url=http%3A%2F%2F127.0.0.1%3A1%2F%FF&cycle=5"},
      {"modify", "id=1&name2=%C0%AF"},  // an overlong form
      {"modify", "id=1&url=http%3A%2F%2F127.0.0.1%3A1%2F%FF"},
  };
  for (const auto& [method, body] : calls) {
    SCOPED_TRACE(std::string(method) + " " + body);
    auto res = call(method, body);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    const Record answer = Record::parse(res->body);
    EXPECT_EQ(answer["status"], false);
    EXPECT_EQ(res->body.find("exception"), std::string::npos) << res->body;
    EXPECT_EQ(res->body.find("\xEF\xBF\xBD"), std::string::npos) << "the bad bytes came back: " << res->body;
  }
  EXPECT_FALSE(std::filesystem::exists(root_.file("plugin/qn_rivi/config.json")));
  const Record task = Record::parse(call("get_find", "id=1")->body);
  EXPECT_EQ(task["name"], "ok");
  EXPECT_EQ(task["url"], "http://127.0.0.1:1/");
}

TEST_F(WebServerTest, ErrorsRaisedToTheHostAre500WithTheirText) {
  session_ = login();
  auto res = call("get_list", "p=abc");
  EXPECT_EQ(res->status, 500);
  auto body = Record::parse(res->body);
  EXPECT_EQ(body["status"], false);
  EXPECT_NE(body["msg"].get<std::string>().find("invalid literal for int()"), std::string::npos) << res->body;
  // A number beyond 64 bits is the method's own error, not an unknown method.
  res = call("create", "name2=n&url=http%3A%2F%2Fa&cycle=99999999999999999999999");
  EXPECT_EQ(res->status, 500);
}

TEST_F(WebServerTest, OversizeAndNonFormBodiesAreRefused) {
  session_ = login();
  auto res = call("create", "name2=" + std::string(5000, 'a') + "&url=http%3A%2F%2Fa&cycle=5");
  EXPECT_EQ(res->status, 413);
  EXPECT_EQ(Record::parse(res->body)["msg"], "request body too large");
  EXPECT_EQ(Record::parse(call("get_list")->body)["data"].size(), 0u);  // nothing was created

  res = client_->Post("/plugin?action=a&name=qn_rivi&s=get_list",
                      {{"Cookie", session_.first}, {"X-CSRF-Token", session_.second}}, "{\"p\": 1}",
                      "application/json");
  EXPECT_EQ(res->status, 415);
}

// A blocking loopback socket speaking raw HTTP, with a receive time-out; closed on destruction.
// From the loopback address `source` when given (e.g. "127.0.0.2", another peer to the server).
class RawClient {
 public:
  explicit RawClient(int port, const char* source = nullptr) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (source) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      ::inet_pton(AF_INET, source, &from.sin_addr);
      EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool send(const std::string& data) {
    return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  // Everything until the peer closes, or until the time-out (then `closed` is false).
  std::string read_to_end() {
    std::string out;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed = n == 0 || errno == ECONNRESET;
        return out;
      }
      out.append(buf, static_cast<std::size_t>(n));
    }
  }
  // One response head alone.
  std::string read_head() {
    std::string out;
    char c;
    while (out.find("\r\n\r\n") == std::string::npos && ::recv(fd_, &c, 1, 0) == 1) out.push_back(c);
    return out;
  }
  // One response head and its Content-Length bytes of body.
  std::string read_response() {
    std::string out;
    char buf[4096];
    auto complete = [&out] {
      const auto end = out.find("\r\n\r\n");
      if (end == std::string::npos) return false;
      const auto at = out.find("Content-Length: ");
      const std::size_t length = at == std::string::npos || at > end ? 0 : std::stoul(out.substr(at + 16));
      return out.size() >= end + 4 + length;
    };
    while (!complete()) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

  bool closed = false;

 private:
  int fd_ = -1;
};

TEST_F(WebServerTest, HeadsPastTheCapsAndLongBodiesAreRefusedAndTheConnectionCloses) {
  const std::string start = "GET /login HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  const std::string logout = "POST /logout HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  std::string many = start;
  for (int i = 0; i < 70; ++i) many += "X-Field-" + std::to_string(i) + ": 1\r\n";
  struct Case {
    std::string name, request;
    int status;
    std::string msg;
  };
  const Case cases[] = {
      {"too many fields", many + "\r\n", 431, "request header fields too large"},
      {"one endless field", start + "X-Long: " + std::string(20000, 'a') + "\r\n\r\n", 431,
       "request header fields too large"},
      {"a body past max_body, sent whole", "POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5000\r\n\r\n" +
                                               std::string(5000, 'a'), 413, "request body too large"},
      {"not HTTP", "HELLO\r\n\r\n", 400, "bad request"},
      // Before any session or CSRF check: chunk framing without end is refused after a bounded
      // number of bytes, and a body whose end is unknown rather than read as a request of its own.
      {"an endless chunk extension", logout + "Transfer-Encoding: chunked\r\n\r\n1;" + std::string(20000, 'a'), 400,
       "bad request"},
      {"an endless trailer", logout + "Transfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\nX-T: " + std::string(20000, 'a'),
       431, "request header fields too large"},
      {"chunked, then identity",
       logout + "Transfer-Encoding: chunked, identity\r\n\r\nGET /login HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400,
       "bad request"},
  };
  for (const auto& c : cases) {
    RawClient raw(server_->port());
    ASSERT_TRUE(raw.send(c.request)) << c.name;
    const std::string answer = raw.read_to_end();
    EXPECT_TRUE(raw.closed) << c.name;
    EXPECT_EQ(answer.rfind("HTTP/1.1 " + std::to_string(c.status) + " ", 0), 0u) << c.name << ": " << answer;
    EXPECT_EQ(answer.find("HTTP/1.1 ", 1), std::string::npos) << c.name << ": one answer only";
    EXPECT_NE(answer.find("Content-Security-Policy: "), std::string::npos) << c.name;
    const auto body = answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4));
    EXPECT_EQ(Record::parse(body), Record({{"status", false}, {"msg", c.msg}})) << c.name << ": " << body;
  }
  // A body too large for the sockets' buffers, all sent before the answer is read: the server
  // reads and drops it after its refusal, so the client can send it all and read the refusal.
  auto big = client_->Post("/plugin?action=a&name=qn_rivi&s=get_list", std::string(900'000, 'a'),
                           "application/x-www-form-urlencoded");
  ASSERT_TRUE(big) << httplib::to_string(big.error());
  EXPECT_EQ(big->status, 413);
  EXPECT_EQ(client_->Get("/login")->status, 200);
}

// More connections that never send a thing from one address than the whole server holds: the page
// still answers another address.
TEST_F(WebServerTest, IdleConnectionsFromOneAddressDoNotLockOthersOut) {
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 1100; ++i) idle.push_back(std::make_unique<RawClient>(server_->port()));
  RawClient other(server_->port(), "127.0.0.2");
  ASSERT_TRUE(other.send("GET /login HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  EXPECT_EQ(other.read_response().rfind("HTTP/1.1 200 ", 0), 0u);
}

TEST_F(WebServerTest, HeadAnswersTheHeadOfTheFileAlone) {
  auto [cookie, csrf] = login();
  RawClient raw(server_->port());
  ASSERT_TRUE(raw.send("HEAD /plugin/qn_rivi/app.js HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n"));
  const std::string head = raw.read_head();
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("Content-Length: 14\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.substr(head.find("\r\n\r\n")), "\r\n\r\n");
  // Nothing of the body follows: the next answer on the connection is the next request's.
  ASSERT_TRUE(raw.send("GET /plugin/qn_rivi/app.js HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n"));
  const std::string get = raw.read_response();
  EXPECT_EQ(get.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << get;
  EXPECT_EQ(get.substr(get.find("\r\n\r\n") + 4), "console.log(1)");
}

// The inodes of the TCP sockets on this machine whose local port is `port`: the listening one
// and the connections it accepted.
std::set<std::string> sockets_on_port(int port) {
  std::set<std::string> out;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (std::stoi(local.substr(local.find(':') + 1), nullptr, 16) == port) out.insert(inode);
    }
  }
  return out;
}

// The inodes of the sockets process `pid` holds open.
std::set<std::string> sockets_held(int pid) {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
    if (target.rfind("socket:[", 0) == 0) out.insert(target.substr(8, target.size() - 9));
  }
  return out;
}

std::size_t shared(const std::set<std::string>& a, const std::set<std::string>& b) {
  return static_cast<std::size_t>(std::count_if(a.begin(), a.end(), [&b](const auto& x) { return b.contains(x); }));
}

TEST_F(WebServerTest, ProgramsStartedWhileServingHoldNeitherThePortNorAConnection) {
  const int port = server_->port();
  RawClient raw(port);
  ASSERT_TRUE(raw.send("GET /login HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  ASSERT_EQ(raw.read_response().rfind("HTTP/1.1 200 ", 0), 0u);
  // As the scheduler starts a job: a program forked and executed beside the server.
  testing::Child job({"sleep", "60"});
  for (int i = 0; i < 500; ++i) {
    std::ifstream comm("/proc/" + std::to_string(job.pid()) + "/comm");
    std::string name;
    if (comm >> name && name == "sleep") break;
    std::this_thread::sleep_for(10ms);
  }
  const auto server_sockets = sockets_on_port(port);
  ASSERT_GE(shared(server_sockets, sockets_held(::getpid())), 2u) << "the listening socket and the connection";
  EXPECT_EQ(shared(server_sockets, sockets_held(job.pid())), 0u) << "the job holds the server's sockets";

  server_.reset();
  WebOptions options;
  options.port = port;
  WebServer again(options);
  EXPECT_NO_THROW(again.start()) << "the job holds the port";
}

TEST(WebServerStop, AStopRightAfterStartOrBeforeItIsNotLost) {
  testing::TempRoot root(false);
  WebOptions options;
  options.port = 0;
  for (int i = 0; i < 20; ++i) {
    WebServer server(options);
    server.start();
    server.stop();
  }
  WebServer early(options);
  early.stop();
  early.start();
  // Reaching the end at all is the test: a lost stop would leave the destructors waiting.
}

// A head that dribbles in never holds the server: it is cut at the deadline however steadily
// its lines come, and others are answered meanwhile.
class ShortHeadDeadlineTest : public WebServerTest {
 protected:
  void configure(WebOptions& options) override { options.head_deadline = 500ms; }
};

TEST_F(ShortHeadDeadlineTest, ADribblingHeadIsCutOffWhileOthersAreAnswered) {
  RawClient dribble(server_->port());
  ASSERT_TRUE(dribble.send("GET /login HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
  bool cut = false;
  int lines = 0;
  // One line every 50 ms: a time-out per read would wait for ever; 200 lines take 10 s.
  for (; lines < 200 && !cut; ++lines) {
    std::this_thread::sleep_for(50ms);
    cut = !dribble.send("X-Drip-" + std::to_string(lines) + ": 1\r\n");
    if (lines == 2) {
      EXPECT_EQ(client_->Get("/login")->status, 200);
    }
  }
  if (!cut) dribble.read_to_end();
  EXPECT_TRUE(cut || dribble.closed) << lines << " lines";
  EXPECT_LT(lines, 200);
  EXPECT_EQ(client_->Get("/login")->status, 200);
}

// Plug-in calls that block until the test lets them go.
class SlowPluginTest : public WebServerTest {
 protected:
  void configure(WebOptions& options) override {
    options.plugin.callable = [](const std::string& method) { return method == "slow"; };
    options.plugin.call = [this](const std::string&, Record&) {
      std::unique_lock lock(mutex_);
      ++entered_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return released_; });
      return Record{{"status", true}};
    };
  }
  ~SlowPluginTest() override { release(); }

 public:
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 protected:
  // Waits until `count` calls are under way; false after a minute.
  bool wait_for_calls(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 60s, [&] { return entered_ >= count; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int entered_ = 0;
  bool released_ = false;
};

TEST_F(SlowPluginTest, SlowCallsBlockNeitherThePageNorTheLoginForm) {
  auto [cookie, csrf] = login();
  // More calls than worker threads: some run, the others wait for a thread.
  constexpr int kCalls = 24;
  std::vector<int> statuses(kCalls, 0);
  std::vector<std::jthread> callers;
  // Lets the calls go before the callers are joined, however the test ends.
  struct LetGo {
    SlowPluginTest* test;
    ~LetGo() { test->release(); }
  } let_go{this};
  for (int i = 0; i < kCalls; ++i)
    callers.emplace_back([&, i] {
      httplib::Client c("127.0.0.1", server_->port());
      c.set_read_timeout(120);
      auto res = c.Post("/plugin?action=a&name=qn_rivi&s=slow", {{"Cookie", cookie}, {"X-CSRF-Token", csrf}}, "",
                        "application/x-www-form-urlencoded");
      statuses[i] = res ? res->status : -1;
    });
  ASSERT_TRUE(wait_for_calls(WebOptions{}.workers));

  httplib::Client page("127.0.0.1", server_->port());
  page.set_read_timeout(20);
  auto file = page.Get("/plugin/qn_rivi/app.js", {{"Cookie", cookie}});
  ASSERT_TRUE(file) << "the page's file got no answer";
  EXPECT_EQ(file->status, 200);
  EXPECT_EQ(file->body, "console.log(1)");
  auto form = page.Get("/login");
  ASSERT_TRUE(form) << "the login form got no answer";
  EXPECT_EQ(form->status, 200);
  EXPECT_EQ(page.Get("/api/session", {{"Cookie", cookie}})->status, 200);

  release();
  callers.clear();
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 200), kCalls);
}

TEST(WebRoutes, RoutesAnswerWithoutASocket) {
  testing::TempRoot root(false);
  root.write("page/index.html", "<!doctype html>");
  WebOptions options;
  options.page_dir = root.path() / "page";
  options.plugin.callable = [](const std::string&) { return true; };
  options.plugin.call = [](const std::string&, Record&) -> Record { throw std::logic_error("not to be called"); };
  WebRoutes routes(options);
  auto request = [](std::string method, std::string path, std::string host = "127.0.0.1:8888") {
    http::Request r;
    r.method = std::move(method);
    r.target = r.path = std::move(path);
    r.headers = {{"Host", std::move(host)}};
    r.remote = "127.0.0.1";
    return r;
  };
  auto header = [](const http::Response& res, const std::string& name) {
    for (const auto& [key, value] : res.headers)
      if (key == name) return value;
    return std::string();
  };
  struct Row {
    http::Request request;
    int status;
    bool blocking;
    std::string location;
  };
  const Row rows[] = {
      {request("GET", "/login"), 200, false, ""},
      {request("GET", "/login", "evil.example"), 421, false, ""},
      {request("POST", "/plugin", "evil.example"), 421, false, ""},
      {request("GET", "/"), 303, false, "/plugin/qn_rivi/"},
      {request("GET", "/plugin/qn_rivi/"), 303, false, "/login"},
      {request("GET", "/api/session"), 401, false, ""},
      {request("POST", "/logout"), 401, false, ""},
      {request("POST", "/plugin"), 401, true, ""},
      {request("POST", "/login"), 403, true, ""},
      {request("PUT", "/login"), 404, false, ""},
      {request("GET", "/data/default.db"), 404, false, ""},
  };
  for (const auto& row : rows) {
    const auto route = routes.route(row.request);
    const auto res = routes.answer(row.request, route);
    const std::string what = row.request.method + " " + row.request.path + " " + row.request.header("Host");
    EXPECT_EQ(res.status, row.status) << what;
    EXPECT_EQ(route.blocking, row.blocking) << what;
    EXPECT_EQ(header(res, "Location"), row.location) << what;
    EXPECT_EQ(header(res, "X-Content-Type-Options"), "nosniff") << what;
  }
  const auto form = routes.answer(request("GET", "/login"));
  EXPECT_EQ(header(form, "Set-Cookie").rfind("rivi_login=", 0), 0u);
  EXPECT_NE(form.body.find("name=\"csrf_token\""), std::string::npos);
  EXPECT_EQ(Record::parse(routes.answer(request("GET", "/nothing")).body),
            Record({{"status", false}, {"msg", "未找到"}}));
}

// /metrics answers a scraper holding the token file's token and no one else: no session, no
// redirect to the login, but the Host check still first. Without a token file no one gets in.
TEST(WebRoutes, MetricsAnswerOnlyTheBearerOfTheToken) {
  testing::TempRoot root(false);
  root.write("page/index.html", "<!doctype html>");
  WebOptions options;
  options.page_dir = root.path() / "page";
  options.metrics_token = root.path() / "metrics_token";
  std::atomic<int> built{0};
  options.metrics = [&built] {
    ++built;
    return std::string("# HELP up Whether up.\n# TYPE up gauge\nup 1\n");
  };
  WebRoutes routes(options);
  auto scrape = [&routes](const std::string& authorization, std::string host = "127.0.0.1:8888") {
    http::Request r;
    r.method = "GET";
    r.target = r.path = "/metrics";
    r.headers = {{"Host", std::move(host)}};
    if (!authorization.empty()) r.headers.emplace_back("Authorization", authorization);
    r.remote = "127.0.0.1";
    const auto route = routes.route(r);
    EXPECT_EQ(route.blocking, route.answer == &WebRoutes::metrics);  // the token file is read off the loop
    return routes.answer(r, route);
  };
  EXPECT_EQ(scrape("Bearer anything").status, 401);  // no token file
  root.write("metrics_token", "");
  EXPECT_EQ(scrape("Bearer ").status, 401);  // an empty token lets no one in
  root.write("metrics_token", "s3cret-token\n");
  const auto good = scrape("Bearer s3cret-token");
  EXPECT_EQ(good.status, 200);
  EXPECT_EQ(good.content_type, "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(good.body, "# HELP up Whether up.\n# TYPE up gauge\nup 1\n");
  EXPECT_EQ(scrape("bearer s3cret-token").status, 200);  // the scheme is case-blind
  for (const char* bad : {"", "Bearer", "Bearer s3cret-toke", "Bearer s3cret-token2", "Basic s3cret-token",
                          "s3cret-token"})
    EXPECT_EQ(scrape(bad).status, 401) << bad;
  EXPECT_EQ(scrape("Bearer s3cret-token", "evil.example").status, 421);
  EXPECT_EQ(built.load(), 2);

  // Without a metrics hook there is no such route.
  WebOptions plain;
  plain.page_dir = options.page_dir;
  plain.metrics_token = options.metrics_token;
  WebRoutes without(plain);
  http::Request r;
  r.method = "GET";
  r.target = r.path = "/metrics";
  r.headers = {{"Host", "127.0.0.1"}, {"Authorization", "Bearer s3cret-token"}};
  EXPECT_EQ(without.answer(r).status, 404);
}

}  // namespace
}  // namespace rivi
