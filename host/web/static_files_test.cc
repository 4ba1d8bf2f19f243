#include "host/web/static_files.h"

#include "host/web/web_server.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <regex>

namespace rivi {
namespace {

constexpr const char* kPassword = "static-files-password";

// `panel serve`'s web server on a free loopback port, serving a staged page: hashed files with
// gzip copies beside them, index.html with one, a hashed file without one, and an unhashed file.
// A logged-in client; plug-in calls answer {"ok": true}.
class StaticFilesTest : public ::testing::Test {
 protected:
  ~StaticFilesTest() override { std::filesystem::current_path(testing::build_dir()); }

  void SetUp() override {
    set_admin_password(kPassword, 1000);
    page("index.html", "<!doctype html><script type=module src=js/main.0123abcd.js></script>");
    page("index.html.gz", "GZ index");
    page("js/main.0123abcd.js", "import './dom.4567ef01.js';");
    page("js/main.0123abcd.js.gz", "GZ main");
    page("img/logo.89abcdef.png", "PNG");
    page("js/main.zzzzzzzz.js", "not a hash");
    root_.write("plugin/qn_rivi/secret.txt", "outside the page");
    WebOptions options;
    options.port = 0;
    options.plugin = {[](const std::string& m) { return m == "probe"; },
                      [](const std::string&, Record&) { return Record{{"ok", true}}; }};
    server_ = std::make_unique<WebServer>(options);
    server_->start();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    client_->set_read_timeout(30);
    client_->set_decompress(false);  // the bytes as sent
    log_in();
  }

  void page(const std::string& name, const std::string& text) { root_.write("plugin/qn_rivi/static/" + name, text); }

  void log_in() {
    auto form = client_->Get("/login");
    ASSERT_TRUE(form);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(form->body, m, std::regex("name=\"csrf_token\" value=\"([0-9a-f]+)\"")));
    const std::string token = m[1];
    std::string login_cookie = form->get_header_value("Set-Cookie");
    login_cookie.resize(login_cookie.find(';'));
    auto res = client_->Post("/login", {{"Cookie", login_cookie}}, "password=" + std::string(kPassword) + "&csrf_token=" + token,
                             "application/x-www-form-urlencoded");
    ASSERT_EQ(res->status, 303);
    for (auto [it, end] = res->headers.equal_range("Set-Cookie"); it != end; ++it)
      if (it->second.starts_with("rivi_session=")) cookie_ = it->second.substr(0, it->second.find(';'));
    csrf_ = Record::parse(client_->Get("/api/session", {{"Cookie", cookie_}})->body)["csrf"].get<std::string>();
  }

  httplib::Result get(const std::string& path, httplib::Headers headers = {}) {
    headers.emplace("Cookie", cookie_);
    auto res = client_->Get("/plugin/qn_rivi/" + path, headers);
    EXPECT_TRUE(res) << path;
    return res;
  }

  testing::TempRoot root_{false};
  std::unique_ptr<WebServer> server_;
  std::unique_ptr<httplib::Client> client_;
  std::string cookie_, csrf_;
};

TEST_F(StaticFilesTest, GzipIsSentOnlyToThoseWhoAcceptItAndEveryAnswerSaysItVaries) {
  struct Row {
    const char* accept;  // nullptr: no Accept-Encoding field
    bool gzip;
  };
  const Row rows[] = {
      {nullptr, false},       {"gzip", true},           {"gzip, deflate, br, zstd", true},
      {"GZIP", true},         {"br;q=1.0, gzip;q=0.8", true}, {"x-gzip", true},
      {"identity", false},    {"br", false},            {"gzip;q=0", false},
      {"gzip; q=0.000", false}, {"*", true},            {"deflate, *;q=0.1", true},
      {"*;q=0", false},       {"gzip;q=0, *", false},    {"", false},
  };
  for (const auto& row : rows) {
    httplib::Headers headers;
    if (row.accept) headers.emplace("Accept-Encoding", row.accept);
    for (const auto& [path, plain, packed, type] :
         {std::tuple{"js/main.0123abcd.js", "import './dom.4567ef01.js';", "GZ main", "text/javascript; charset=utf-8"},
          std::tuple{"", "<!doctype html><script type=module src=js/main.0123abcd.js></script>", "GZ index",
                     "text/html; charset=utf-8"}}) {
      auto res = get(path, headers);
      const auto where = std::string(path) + " with " + (row.accept ? row.accept : "(none)");
      EXPECT_EQ(res->status, 200) << where;
      EXPECT_EQ(res->body, row.gzip ? packed : plain) << where;
      EXPECT_EQ(res->get_header_value("Content-Encoding"), row.gzip ? "gzip" : "") << where;
      EXPECT_EQ(res->get_header_value("Vary"), "Accept-Encoding") << where;
      EXPECT_EQ(res->get_header_value("Content-Type"), type) << where;
    }
  }
  // A file without a gzip copy is sent as it is, and does not vary.
  auto png = get("img/logo.89abcdef.png", {{"Accept-Encoding", "gzip"}});
  EXPECT_EQ(png->body, "PNG");
  EXPECT_EQ(png->get_header_value("Content-Type"), "image/png");
  EXPECT_FALSE(png->has_header("Content-Encoding"));
  EXPECT_FALSE(png->has_header("Vary"));
}

TEST_F(StaticFilesTest, HashedNamesAreKeptForAYearAndTheEntryIsRevalidatedByItsTag) {
  for (const char* path : {"js/main.0123abcd.js", "img/logo.89abcdef.png"}) {
    auto res = get(path);
    EXPECT_EQ(res->get_header_value("Cache-Control"), "public, max-age=31536000, immutable") << path;
    EXPECT_EQ(res->get_header_value_count("Cache-Control"), 1u) << path;
    EXPECT_FALSE(res->has_header("ETag")) << path;
  }
  // Eight characters that are not a hash name an ordinary file.
  EXPECT_EQ(get("js/main.zzzzzzzz.js")->get_header_value("Cache-Control"), "no-cache");

  auto first = get("");
  EXPECT_EQ(first->get_header_value("Cache-Control"), "no-cache");
  EXPECT_EQ(first->get_header_value_count("Cache-Control"), 1u);
  const std::string tag = first->get_header_value("ETag");
  ASSERT_FALSE(tag.empty());
  EXPECT_EQ(get("index.html")->get_header_value("ETag"), tag);
  for (const std::string& asked : {tag, "W/" + tag, "\"other\", " + tag, std::string("*")}) {
    auto again = get("", {{"If-None-Match", asked}});
    EXPECT_EQ(again->status, 304) << asked;
    EXPECT_EQ(again->body, "") << asked;
    EXPECT_EQ(again->get_header_value("ETag"), tag) << asked;
    EXPECT_EQ(again->get_header_value("Cache-Control"), "no-cache") << asked;
    EXPECT_EQ(again->get_header_value("Content-Security-Policy").empty(), false) << asked;
  }
  EXPECT_EQ(get("", {{"If-None-Match", "\"other\""}})->status, 200);
  // The gzip copy is another representation with a tag of its own.
  auto packed = get("", {{"Accept-Encoding", "gzip"}});
  const std::string packed_tag = packed->get_header_value("ETag");
  EXPECT_NE(packed_tag, tag);
  EXPECT_EQ(get("", {{"Accept-Encoding", "gzip"}, {"If-None-Match", packed_tag}})->status, 304);
  EXPECT_EQ(get("", {{"If-None-Match", packed_tag}})->status, 200);

  // A new build's page is not taken for the old one.
  page("index.html", "<!doctype html><title>next build</title>");
  auto next = get("", {{"If-None-Match", tag}});
  EXPECT_EQ(next->status, 200);
  EXPECT_EQ(next->body, "<!doctype html><title>next build</title>");
  EXPECT_NE(next->get_header_value("ETag"), tag);
}

TEST_F(StaticFilesTest, AnswersAndRefusalsAreNeverStoredAndEveryAnswerKeepsItsSecurityFields) {
  auto call = client_->Post("/plugin?action=a&name=qn_rivi&s=probe", {{"Cookie", cookie_}, {"X-CSRF-Token", csrf_}}, "",
                            "application/x-www-form-urlencoded");
  EXPECT_EQ(call->status, 200);
  EXPECT_EQ(call->body, R"({"ok": true})");
  auto missing = get("js/missing.0123abcd.js");
  EXPECT_EQ(missing->status, 404);
  auto anonymous = client_->Get("/plugin/qn_rivi/js/main.0123abcd.js");
  EXPECT_EQ(anonymous->status, 303);
  EXPECT_EQ(anonymous->get_header_value("Location"), "/login");
  for (const auto* res : {&call, &missing, &anonymous}) {
    EXPECT_EQ((*res)->get_header_value("Cache-Control"), "no-store") << (*res)->status;
    EXPECT_EQ((*res)->get_header_value_count("Cache-Control"), 1u);
  }
  for (const auto& res : {get(""), get("js/main.0123abcd.js"), get("", {{"If-None-Match", "*"}}), std::move(call)}) {
    EXPECT_NE(res->get_header_value("Content-Security-Policy").find("script-src 'self';"), std::string::npos);
    EXPECT_EQ(res->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(res->get_header_value("Referrer-Policy"), "same-origin");
  }
}

TEST_F(StaticFilesTest, NothingOutsideThePageFolderNorAFolderIsServed) {
  for (const char* path :
       {"missing.js", "js", "js/", "../secret.txt", "js/../../secret.txt", "%2e%2e/secret.txt", "%2E%2E%2Fsecret.txt",
        "js/..%2f..%2fsecret.txt", "..%5csecret.txt", "js%5c..%5c..%5csecret.txt", "%252e%252e/secret.txt",
        "index.html%00.js", "./../secret.txt", "../../../data/default.db"}) {
    auto res = get(path, {{"Accept-Encoding", "gzip"}});
    EXPECT_TRUE(res->status == 404 || res->status == 400) << path << ": " << res->status;
    EXPECT_EQ(res->body.find("outside the page"), std::string::npos) << path;
  }
  EXPECT_EQ(get("js/./main.0123abcd.js")->status, 200);
}

}  // namespace
}  // namespace rivi
