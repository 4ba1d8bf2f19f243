#include "host/panel_auth.h"
#include "host/public.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace rivi {
namespace {

TEST(Files, ReadMissingGivesNothingAndWriteReplacesAtomically) {
  testing::TempRoot root(false);
  const std::string path = root.file("data/new/x.json");
  EXPECT_FALSE(public_::ReadFile(path).has_value());
  public_::writeFile(path, "[1]");
  public_::writeFile(path, "[]");
  EXPECT_EQ(public_::ReadFile(path).value(), "[]");
  for (const auto& entry : std::filesystem::directory_iterator(root.file("data/new")))
    EXPECT_EQ(entry.path().filename(), "x.json");  // no temporary file left behind
  EXPECT_THROW(public_::writeFile("/proc/nope/x", "x"), std::runtime_error);
}

TEST(Files, NewFilesAreTheOwnersAloneAndOldOnesKeepTheirMode) {
  namespace fs = std::filesystem;
  testing::TempRoot root(false);
  const std::string made = root.file("data/made.json");
  public_::writeFile(made, "{}");
  EXPECT_EQ(fs::status(made).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  const std::string shared = root.file("data/shared.json");
  root.write("data/shared.json", "[]");
  fs::permissions(shared, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  public_::writeFile(shared, "[1]");
  EXPECT_EQ(fs::status(shared).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(public_::ReadFile(shared).value(), "[1]");
}

TEST(Pager, ShiftAndRowFollowThePage) {
  struct Case {
    std::int64_t count, p;
    std::int64_t pages, shift;
  };
  for (const Case c : {Case{0, 1, 0, 0}, Case{12, 1, 1, 0}, Case{13, 2, 2, 12}, Case{25, 3, 3, 24}, Case{25, 9, 3, 96},
                       Case{5, 0, 1, 0}, Case{5, -3, 1, 0},
                       Case{5, INT64_MAX, 1, INT64_MAX / 12 * 12 - 12}}) {
    const Record page = public_::get_page(c.count, c.p, 12);
    EXPECT_EQ(page["pages"], c.pages) << c.count << "/" << c.p;
    EXPECT_EQ(page["shift"], c.shift) << c.count << "/" << c.p;
    EXPECT_EQ(page["row"], 12);
    EXPECT_EQ(page["count"], c.count);
  }
}

TEST(ToSize, ReadableUnits) {
  EXPECT_EQ(public_::to_size(0), "0 B");
  EXPECT_EQ(public_::to_size(1023), "1023 B");
  EXPECT_EQ(public_::to_size(1536), "1.50 KB");
  EXPECT_EQ(public_::to_size(3.5 * 1024 * 1024), "3.50 MB");
  EXPECT_EQ(public_::to_size(12.4), "12 B");
  EXPECT_THROW(public_::to_size("12"), std::invalid_argument);
  EXPECT_THROW(public_::to_size(nullptr), std::invalid_argument);
}

TEST(Clock, PanelNowFixesTimeAndDate) {
  ::setenv("PANEL_NOW", "1700000000", 1);
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  EXPECT_EQ(public_::now(), 1700000000);
  EXPECT_EQ(public_::format_date(), "2023-11-14 22:13:20");
  ::unsetenv("PANEL_NOW");
  EXPECT_NEAR(static_cast<double>(public_::now()), static_cast<double>(std::time(nullptr)), 2.0);
}

TEST(HttpPost, SendsFormFieldsAndRaisesOnTransportFailure) {
  testing::LoopbackSite site;
  site.server().Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.get_header_value("Content-Type") + "|" + req.get_param_value("url") + "|" +
                        req.get_param_value("n") + "|" + req.body,
                    "text/plain");
  });
  site.start();
  const std::string body = public_::httpPost(site.url("/echo"), Record{{"url", "http://a/?x=1&y=中"}, {"n", 3}}, 5);
  EXPECT_EQ(body,
            "application/x-www-form-urlencoded|http://a/?x=1&y=中|3|url=http%3A%2F%2Fa%2F%3Fx%3D1%26y%3D%E4%B8%AD&n=3");
  const int dead = testing::free_port();
  EXPECT_THROW(public_::httpPost("http://127.0.0.1:" + std::to_string(dead) + "/", Record::object(), 2), std::runtime_error);
}

// A failure names the address, never the secrets a URL may carry (a token in the query, a login).
TEST(HttpPost, AFailureNamesTheUrlWithoutItsQueryOrLogin) {
  const std::string dead = "127.0.0.1:" + std::to_string(testing::free_port());
  for (const std::string& url : {"http://" + dead + "/robot/send?access_token=SECRET-TOKEN",
                                 "http://user:SECRET-TOKEN@" + dead + "/robot/send#SECRET-TOKEN"}) {
    try {
      public_::httpPost(url, Record::object(), 2);
      ADD_FAILURE() << "no failure for " << url;
    } catch (const std::runtime_error& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find("POST http://" + dead + "/robot/send failed"), std::string::npos) << what;
      EXPECT_EQ(what.find("SECRET-TOKEN"), std::string::npos) << what;
    }
  }
}

TEST(HttpPost, AnswerPastTheCapIsAFailureAndIsNotReadToItsEnd) {
  constexpr std::size_t kCap = public_::kMaxPostAnswer;
  constexpr std::size_t kOffered = 16 * kCap;
  std::atomic<std::size_t> streamed{0};
  testing::LoopbackSite site;
  site.server().Post("/exact", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(kCap, 'x'), "text/plain");
  });
  site.server().Post("/declared", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(kCap + 1, 'x'), "text/plain");
  });
  // No declared length: only the running count can stop it.
  site.server().Post("/stream", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [&](std::size_t, httplib::DataSink& sink) {
      const std::string chunk(64 * 1024, 'x');
      if (streamed >= kOffered) {
        sink.done();
        return true;
      }
      if (!sink.write(chunk.data(), chunk.size())) return false;
      streamed += chunk.size();
      return true;
    });
  });
  site.start();

  EXPECT_EQ(public_::httpPost(site.url("/exact"), Record::object(), 30).size(), kCap);
  for (const char* path : {"/declared", "/stream"}) {
    try {
      public_::httpPost(site.url(path), Record::object(), 30);
      ADD_FAILURE() << path << " was read";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "POST " + site.url(path) + " failed: the answer is larger than 4194304 bytes");
    }
  }
  // The reader hung up soon after the cap: socket buffers hold a little more, never the rest.
  EXPECT_LT(streamed.load(), kOffered / 2);
}

// This machine's own addresses are reached directly whatever proxy the environment names; other
// hosts go through it (the proxy double answers with the target it was asked for).
TEST(HttpPost, AProxyFromTheEnvironmentNeverServesThisMachine) {
  testing::LoopbackSite proxy;
  proxy.server().Post(R"(.*)", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("proxied " + req.path, "text/plain");
  });
  proxy.start();
  testing::LoopbackSite site;
  site.server().Post("/direct", [](const httplib::Request&, httplib::Response& res) { res.set_content("direct", "text/plain"); });
  site.start();
  const std::string port = std::to_string(site.port());
  ::setenv("http_proxy", proxy.url("").c_str(), 1);
  EXPECT_EQ(public_::httpPost("http://127.0.0.1:" + port + "/direct", Record::object(), 5), "direct");
  EXPECT_EQ(public_::httpPost("http://localhost:" + port + "/direct", Record::object(), 5), "direct");
  EXPECT_EQ(public_::httpPost("http://centre.invalid/api/local/rivi", Record::object(), 5),
            "proxied http://centre.invalid/api/local/rivi");
  ::unsetenv("http_proxy");
}

TEST(Services, LogEnvelopeErrorTextAndIdentity) {
  testing::TempRoot root;
  public_::WriteLog("拔测监控", "创建拔测任务[web]");
  const Record row = public_::M("logs").find();
  EXPECT_EQ(row["type"], "拔测监控");
  EXPECT_EQ(row["log"], "创建拔测任务[web]");
  EXPECT_EQ(encode(public_::returnMsg(false, "错误的参数!")), R"({"status": false, "msg": "\u9519\u8bef\u7684\u53c2\u6570!"})");
  try {
    throw std::runtime_error("boom");
  } catch (...) {
    EXPECT_EQ(public_::get_error_info(), "boom");
  }
  const Record a = panelAuth().create_serverid(nullptr);
  const Record b = panelAuth().create_serverid(nullptr);
  EXPECT_EQ(a["serverid"].get<std::string>().size(), 32u);
  EXPECT_EQ(a["serverid"], b["serverid"]);  // kept under the root
  EXPECT_FALSE(a.contains("access_key"));
  root.write("data/dispatch_key", "s3cret\n");
  EXPECT_EQ(panelAuth().create_serverid(nullptr)["access_key"], "s3cret");
}

}  // namespace
}  // namespace rivi
