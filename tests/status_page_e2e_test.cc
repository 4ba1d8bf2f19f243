// The public status pages as a visitor without a session sees them: through the real `panel
// serve` on loopback (content, what stays hidden, headers, 404s, badges, the rate limit), and
// through the web server in this process with a clock of the test's (the 30 s cache, the exact
// bucket). The data are real SQLite rows of the panel root, as the probe runs leave them.
#include "host/public.h"
#include "host/store/store.h"
#include "host/web/web_server.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/status_page.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace rivi {
namespace {

constexpr std::int64_t kNow = 1700000000;  // 2023-11-14 22:13:20 UTC
constexpr std::int64_t kDay = 86400;

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + part.size())) ++n;
  return n;
}

class StatusPages : public ::testing::Test {
 protected:
  StatusPages() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    ::setenv("PANEL_NOW", std::to_string(kNow).c_str(), 1);
    load_qn_rivi_module();
    qn_rivi_main plugin;  // lays out the plug-in's tables
    Connection& db = *Connection::for_thread(root_.file("data/default.db"));
    db.exec_script("CREATE TABLE IF NOT EXISTS rivi_tag (pid INTEGER NOT NULL, tag TEXT NOT NULL, PRIMARY KEY (pid, tag))");
    main_ = add_task(db, "主站", "https://internal.example.lan/health", "web");
    api_ = add_task(db, "接口", "http://10.20.30.40:8080/api", "web");
    add_task(db, "后台", "http://admin.example.lan/", "other");
    const auto health = [&](std::int64_t pid, const char* state, const char* reason, const char* unanswered) {
      db.run("INSERT INTO rivi_health (pid, health, since, last_attempt, last_run, reason, unanswered_nodes) "
             "VALUES (?, ?, ?, ?, ?, ?, ?)",
             Record::array({pid, state, kNow - 3600, kNow - 60, kNow - 60, reason, unanswered}));
    };
    health(main_, "up", "", "[]");
    health(api_, "down", "3/3 节点失败：连接被拒绝", "[\"10.9.8.7:8891\"]");
    const auto hour = [&](std::int64_t pid, std::int64_t at, int runs, int good, int errors) {
      db.run("INSERT INTO rivi_hourly (pid, hour, runs, good, errors) VALUES (?, ?, ?, ?, ?)",
             Record::array({pid, at - at % 3600, runs, good, errors}));
    };
    hour(main_, kNow, 4, 3, 0);               // today: 75 %
    hour(main_, kNow - kDay, 10, 10, 0);      // yesterday: 100 %
    hour(main_, kNow - 2 * kDay, 5, 0, 5);    // monitor errors only: no judged run
    hour(api_, kNow - 95 * kDay, 10, 10, 0);  // before the 90 days
    db.run("INSERT INTO rivi_incident (pid, kind, start_time, last_time, reason) VALUES (?, 'down', ?, ?, ?)",
           Record::array({api_, kNow - 600, kNow - 60, "3/3 节点失败：连接被拒绝 10.9.8.7"}));
    db.run("INSERT INTO rivi_maintenance (pid, kind, start_time, end_time, weekdays, start_minute, duration, note, "
           "addtime) VALUES (?, 'once', ?, ?, '', 0, 0, '内部备注 10.1.1.1', ?)",
           Record::array({main_, kNow + 3600, kNow + 7200, kNow}));
    save_page("web", "网站 <服务>", "web", "0");
    save_page("open", "公开网址", "web", "1");
  }
  ~StatusPages() override {
    ::unsetenv("PANEL_NOW");
    ::unsetenv("TZ");
    ::tzset();
  }

  static std::int64_t add_task(Connection& db, const char* name, const char* url, const char* tag) {
    db.run("INSERT INTO rivi_task (name, url, status, cycle, addtime) VALUES (?, ?, 1, 5, ?)",
           Record::array({name, url, kNow - 10 * kDay}));
    const std::int64_t id = to_int(db.query("SELECT MAX(id) AS id FROM rivi_task")[0]["id"]);
    db.run("INSERT INTO rivi_tag (pid, tag) VALUES (?, ?)", Record::array({id, tag}));
    return id;
  }

  static Record call(const std::string& method, Record args) { return call_web_method(method, args); }

  static void save_page(const char* slug, const char* title, const char* tag, const char* show_urls) {
    const Record saved =
        call("set_status_page", Record{{"slug", slug}, {"title", title}, {"tag", tag}, {"show_urls", show_urls}});
    ASSERT_EQ(saved["status"], true) << saved.dump();
  }

  testing::TempRoot root_;
  std::int64_t main_ = 0, api_ = 0;
};

TEST_F(StatusPages, PanelServeShowsThePageToAnyoneAndHidesWhatIsInternal) {
  const int port = testing::free_port();
  testing::Child serve({testing::bin("panel"), "serve", "--listen", "127.0.0.1:" + std::to_string(port)}, {},
                       root_.file("serve.log"));
  ASSERT_TRUE(testing::wait_for_port(port)) << root_.read("serve.log");
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(10, 0);

  const auto page = client.Get("/status/web");
  ASSERT_TRUE(page);
  ASSERT_EQ(page->status, 200) << page->body;
  const std::string& html = page->body;
  EXPECT_NE(html.find("<h1>网站 &lt;服务&gt;</h1>"), std::string::npos);
  EXPECT_NE(html.find(">主站</span>"), std::string::npos);
  EXPECT_NE(html.find(">接口</span>"), std::string::npos);
  EXPECT_EQ(html.find("后台"), std::string::npos) << "a task without the tag";
  EXPECT_NE(html.find("<span class=\"state up\">正常</span>"), std::string::npos);
  EXPECT_NE(html.find("<span class=\"state down\">故障</span>"), std::string::npos);
  EXPECT_NE(html.find("部分服务故障"), std::string::npos);
  EXPECT_EQ(count(html, "<rect class=\"day\""), 2u * status_page::kDays);
  EXPECT_NE(html.find("2023-11-14 可用率 75.00% (3/4)"), std::string::npos);
  EXPECT_NE(html.find("2023-11-13 可用率 100.00% (10/10)"), std::string::npos);
  EXPECT_NE(html.find("2023-11-12 无数据"), std::string::npos) << "monitor errors judge nothing";
  EXPECT_NE(html.find("2023-08-17 无数据"), std::string::npos) << "the first of the 90 days";
  EXPECT_NE(html.find("90天可用率 92.86%"), std::string::npos);  // 13 of 14
  EXPECT_NE(html.find(">接口</span>: 故障，开始于 <time>2023-11-14 22:03</time>"), std::string::npos);
  EXPECT_NE(html.find("计划维护：主站，2023-11-14 23:13 至 2023-11-15 00:13"), std::string::npos);
  EXPECT_NE(html.find("2023-11-14 22:13:20"), std::string::npos);
  for (const char* hidden : {"internal.example.lan", "10.20.30.40", "10.9.8.7", "连接被拒绝", "内部备注", "10.1.1.1",
                             "127.0.0.1", "<script"})
    EXPECT_EQ(html.find(hidden), std::string::npos) << hidden;

  EXPECT_EQ(page->get_header_value("Cache-Control"), "public, max-age=30");
  const std::string policy = page->get_header_value("Content-Security-Policy");
  EXPECT_NE(policy.find("script-src 'none'"), std::string::npos) << policy;
  EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << policy;
  EXPECT_EQ(page->get_header_value_count("Content-Security-Policy"), 1u);
  EXPECT_EQ(page->get_header_value_count("Cache-Control"), 1u);
  EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(page->get_header_value("Set-Cookie"), "");

  const auto shown = client.Get("/status/open");
  ASSERT_TRUE(shown);
  EXPECT_NE(shown->body.find("https://internal.example.lan/health"), std::string::npos) << "show_urls 1";
  EXPECT_EQ(shown->body.find("10.9.8.7"), std::string::npos);

  const auto css = client.Get("/status/status.css");
  ASSERT_TRUE(css);
  EXPECT_EQ(css->status, 200);
  EXPECT_EQ(css->get_header_value("Content-Type"), "text/css; charset=utf-8");

  const auto badge = client.Get("/status/web/badge/" + std::to_string(main_) + ".svg");
  ASSERT_TRUE(badge);
  ASSERT_EQ(badge->status, 200);
  EXPECT_EQ(badge->get_header_value("Content-Type"), "image/svg+xml");
  EXPECT_EQ(badge->get_header_value("Cache-Control"), "public, max-age=30");
  EXPECT_EQ(badge->get_header_value("Cross-Origin-Resource-Policy"), "cross-origin");
  EXPECT_TRUE(badge->body.starts_with("<svg xmlns=\"http://www.w3.org/2000/svg\""));
  EXPECT_NE(badge->body.find("aria-label=\"正常 | 92.86%\""), std::string::npos) << badge->body;  // 13 of 14 in 30 days
  EXPECT_EQ(badge->body.find("script"), std::string::npos);

  for (const std::string path : {"/status/nope", "/status/Web", "/status/web/", "/status/web/badge/3.svg",
                                 "/status/web/badge/999.svg", "/status/web/badge/x.svg", "/status/nope/badge/1.svg",
                                 "/status/web/badge/1.png"}) {
    const auto missing = client.Get(path);
    ASSERT_TRUE(missing) << path;
    EXPECT_EQ(missing->status, 404) << path;
    EXPECT_EQ(missing->get_header_value("Content-Type"), "text/html; charset=utf-8") << path;
    EXPECT_NE(missing->get_header_value("Content-Security-Policy").find("script-src 'none'"), std::string::npos);
  }

  // One address past its bucket: refused, with when to come back, badges too.
  int refused_at = 0;
  for (int i = 1; i <= 60 && refused_at == 0; ++i) {
    const auto res = client.Get("/status/web");
    ASSERT_TRUE(res);
    if (res->status == 429) {
      refused_at = i;
      EXPECT_FALSE(res->get_header_value("Retry-After").empty());
    } else {
      EXPECT_EQ(res->status, 200);
    }
  }
  EXPECT_GT(refused_at, 0) << "never refused";
  const auto badge_refused = client.Get("/status/web/badge/" + std::to_string(main_) + ".svg");
  ASSERT_TRUE(badge_refused);
  EXPECT_EQ(badge_refused->status, 429);
  EXPECT_EQ(client.Get("/status/status.css")->status, 200) << "the stylesheet is not counted";
}

// The web server in this process, with a clock the test moves.
class StatusServer {
 public:
  StatusServer() {
    WebOptions options;
    options.port = 0;
    options.clock = [this] { return now_; };
    options.status = {status_page::render, status_page::badge, std::string(status_page::stylesheet())};
    server_ = std::make_unique<WebServer>(std::move(options));
    server_->start();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    client_->set_read_timeout(10, 0);
  }
  void advance(std::chrono::seconds s) { now_ += s; }
  httplib::Result get(const std::string& path) { return client_->Get(path); }

 private:
  std::chrono::steady_clock::time_point now_{std::chrono::hours(1000)};
  std::unique_ptr<WebServer> server_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(StatusPages, PagesAndBadgesAreBuiltAgainOnlyAfterThirtySeconds) {
  StatusServer server;
  const std::string badge = "/status/web/badge/" + std::to_string(main_) + ".svg";
  ASSERT_NE(server.get("/status/web")->body.find(">主站</span>"), std::string::npos);
  ASSERT_NE(server.get(badge)->body.find("正常 |"), std::string::npos);

  Connection& db = *Connection::for_thread(root_.file("data/default.db"));
  db.run("UPDATE rivi_task SET name = '主站新名' WHERE id = ?", Record::array({main_}));
  db.run("UPDATE rivi_health SET health = 'down' WHERE pid = ?", Record::array({main_}));
  server.advance(std::chrono::seconds(29));
  EXPECT_NE(server.get("/status/web")->body.find(">主站</span>"), std::string::npos);
  EXPECT_NE(server.get(badge)->body.find("正常 |"), std::string::npos);
  // Each page is kept on its own: one not asked for yet is built now.
  EXPECT_NE(server.get("/status/open")->body.find(">主站新名</span>"), std::string::npos);

  server.advance(std::chrono::seconds(1));
  EXPECT_NE(server.get("/status/web")->body.find(">主站新名</span>"), std::string::npos);
  EXPECT_NE(server.get(badge)->body.find("故障 |"), std::string::npos);
}

TEST_F(StatusPages, AnAddressHasThirtyRequestsAtOnceThenOneASecond) {
  StatusServer server;
  for (int i = 0; i < 30; ++i) ASSERT_EQ(server.get("/status/nope")->status, 404) << i;
  const auto refused = server.get("/status/web");
  EXPECT_EQ(refused->status, 429);
  EXPECT_EQ(refused->get_header_value("Retry-After"), "1");
  EXPECT_EQ(refused->get_header_value("Cache-Control"), "no-store");
  server.advance(std::chrono::seconds(1));
  EXPECT_EQ(server.get("/status/web")->status, 200);
  EXPECT_EQ(server.get("/status/web")->status, 429);
}

TEST_F(StatusPages, TheMethodsRefuseBadFieldsByName) {
  const auto refusal = [](Record args) {
    const Record answer = call("set_status_page", std::move(args));
    EXPECT_EQ(answer["status"], false) << answer.dump();
    return answer["msg"].get<std::string>();
  };
  const Record good{{"slug", "ok"}, {"title", "标题"}, {"tag", "web"}};
  const auto with = [&](const char* key, Record value) {
    Record args = good;
    args[key] = std::move(value);
    return args;
  };
  for (const char* slug : {"", "Web", "a b", "a_b", "../x", "状态"})
    EXPECT_NE(refusal(with("slug", slug)).find("slug"), std::string::npos) << slug;
  EXPECT_NE(refusal(with("slug", std::string(41, 'a'))).find("slug"), std::string::npos);
  EXPECT_NE(refusal(with("slug", "web")).find("已被其他状态页使用"), std::string::npos);
  EXPECT_EQ(refusal(with("title", "  ")), "标题（title）不能为空！");
  EXPECT_EQ(refusal(with("title", std::string(101 * 3, 'x'))), "标题（title）不能超过100个字符！");
  EXPECT_EQ(refusal(with("tag", "")), "标签（tag）不能为空！");
  EXPECT_EQ(refusal(with("show_urls", "2")), "显示网址（show_urls）只能是0或1！");
  EXPECT_EQ(refusal(with("description", std::string(501, 'd'))), "说明（description）不能超过500个字符！");
  EXPECT_EQ(refusal(with("id", "999")), "指定状态页不存在！");
  EXPECT_EQ(refusal(with("id", "abc")), "指定状态页不存在！");

  // 100 characters of three bytes each are allowed; changing a page keeps its slug free for itself.
  Record created = call("set_status_page", with("title", std::string(100, 'x')));
  ASSERT_EQ(created["status"], true);
  Record changed = call("set_status_page", Record{{"id", std::to_string(to_int(created["id"]))}, {"slug", "ok"},
                                                  {"title", "新标题"}, {"tag", "other"}, {"show_urls", "1"}});
  ASSERT_EQ(changed["status"], true) << changed.dump();
  const Record pages = call("get_status_pages", Record::object());
  ASSERT_EQ(pages["data"].size(), 3u);
  EXPECT_EQ(pages["data"][2]["title"], "新标题");
  EXPECT_EQ(pages["data"][2]["show_urls"], 1);
  EXPECT_EQ(pages["data"][2]["tasks"], 1);
  EXPECT_EQ(pages["data"][2]["path"], "/status/ok");
  EXPECT_EQ(pages["tags"], Record::array({"other", "web"}));

  EXPECT_EQ(call("remove_status_page", Record{{"id", "999"}})["status"], false);
  EXPECT_EQ(call("remove_status_page", Record{{"id", std::to_string(to_int(created["id"]))}})["status"], true);
  EXPECT_EQ(call("get_status_pages", Record::object())["data"].size(), 2u);
}

TEST_F(StatusPages, WithoutTheTagTableAPageListsNoTask) {
  Connection& db = *Connection::for_thread(root_.file("data/default.db"));
  db.exec_script("DROP TABLE rivi_tag");
  const auto html = status_page::render("web");
  ASSERT_TRUE(html);
  EXPECT_NE(html->find("此状态页暂无监控项目"), std::string::npos);
  EXPECT_FALSE(status_page::badge("web", main_));
}

}  // namespace
}  // namespace rivi
