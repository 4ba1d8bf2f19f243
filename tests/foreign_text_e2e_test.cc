// Text that comes from outside the monitor, through the real plug-in and a centre and a DingTalk
// robot standing in on loopback: a node's error code of another centre, and task names and URLs
// written into the robot's markdown.
#include "host/public.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace rivi {
namespace {

Record node(const std::string& isp, const std::string& error_code) {
  return Record{{"isp", isp},           {"primary_ip", ""},      {"http_code", 0},      {"total_time", 0.0},
                {"namelookup_time", 0.0}, {"starttransfer_time", 0.0}, {"size_download", 0}, {"speed_download", 0},
                {"error_code", error_code}};
}

const std::string kForeign = "<b>请致电 400-000-0000 处理</b>" + std::string(300, 'x');

class ForeignText : public ::testing::Test {
 protected:
  ForeignText() {
    centre_.server().Post("/api/local/rivi", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(Record::array({node("电信", kForeign), node("联通", kForeign), node("移动", "timeout")}).dump(),
                      "application/json");
    });
    centre_.start();
    ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(centre_.port())).c_str(), 1);
    root_.write("data/dingding.json", Record{{"dingding_url", robot_.url()}}.dump());
    load_qn_rivi_module();
  }
  ~ForeignText() override {
    ::unsetenv("RIVI_DISPATCH_HOST");
    std::filesystem::current_path(testing::build_dir());
  }

  // Creates a task and probes it once, as the page would; answers the task's id.
  std::int64_t probe(const std::string& name, const std::string& url) {
    Record args{{"name2", name}, {"url", url}, {"cycle", "5"}};
    EXPECT_EQ(call_web_method("create", args)["status"], true);
    Record none = Record::object();
    const std::int64_t id = call_web_method("get_list", none)["data"][0]["id"];
    args = Record{{"id", std::to_string(id)}};
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(call_web_method("start", args).is_array());
    ::testing::internal::GetCapturedStdout();
    return id;
  }
  std::string markdown() {
    const auto bodies = robot_.bodies();
    return bodies.empty() ? "" : decode(bodies.back())["markdown"]["text"].get<std::string>();
  }

  testing::TempRoot root_;
  testing::LoopbackSite centre_;
  testing::LoopbackRobot robot_;
};

// A code that is not one of ours reads "未知错误" wherever the monitor words it; its text stays in
// the run's stored node results alone.
TEST_F(ForeignText, AnErrorCodeOfAnotherCentreIsAnUnknownError) {
  const std::int64_t id = probe("站点", "http://example.test/");
  Record none = Record::object();
  const Record task = call_web_method("get_overview", none)["data"][0];
  EXPECT_EQ(task["reason"], "3/3 节点失败：未知错误、连接超时");
  Record pid{{"pid", std::to_string(id)}};
  EXPECT_EQ(call_web_method("get_incidents", pid)["data"][0]["reason"], task["reason"]);
  const std::string text = markdown();
  EXPECT_NE(text.find("- 电信: **异常** | 0 | 未知错误\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("400"), std::string::npos) << text;
  const Record log = call_web_method("get_task_log", pid);
  EXPECT_EQ(log["data"][0]["data"][0]["error_code"], kForeign) << log.dump();
}

// Names and URLs reach the robot as text: no markup, entity, strike-through, link or line of
// their own.
TEST_F(ForeignText, MarkdownForTheRobotCarriesNamesAndUrlsAsText) {
  probe("a~~b~~ &amp; **c** https://evil.example/x ops@evil.example www.evil.example\u2028## head\u2029| t |",
        "http://example.test/");
  const std::string text = markdown();
  const std::string title = text.substr(0, text.find('\n'));
  EXPECT_EQ(title,
            "### 【a\\~\\~b\\~\\~ \\&amp; \\*\\*c\\*\\* https\\://evil\\.example/x ops\\@evil\\.example "
            "www\\.evil\\.example \\#\\# head \\| t \\|】Quelmar拔测监控到\\[3\\]个测试异常");
  for (const char* raw : {"\u2028", "\u2029", "~~", " &amp;", "www.", "**c", "https:"})
    EXPECT_EQ(title.find(raw), std::string::npos) << raw;
}

}  // namespace
}  // namespace rivi
