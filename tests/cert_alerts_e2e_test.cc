// Certificate expiry alerts through the outbox to a real SMTP server on loopback, over many runs
// stored by `start` against a stand-in dispatch centre whose node results carry `cert` keys: one
// "[证书将过期]" per threshold per certificate, whatever the alert mode, the thresholds of the
// task's `cert_warn_days`, and one "[证书已续期]" once no line is served the old certificate.
#include "host/public.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/smtp_sink.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rivi {
namespace {

constexpr std::int64_t kT = 1765170000;
constexpr std::int64_t kDay = 86400;

Record node(const std::string& isp, const std::string& print, std::int64_t not_after) {
  return Record{{"isp", isp}, {"primary_ip", "192.0.2.1"}, {"http_code", 200}, {"total_time", 5.0}, {"error_code", ""},
                {"addresses", Record::array({"192.0.2.1"})},
                {"cert", Record{{"not_after", not_after}, {"days_left", 0}, {"subject", "CN=site.test"},
                                {"issuer", "Test CA"}, {"names", Record::array({"site.test"})},
                                {"fingerprint_sha256", print}, {"verify_error", ""}}}};
}

class CertAlertTest : public ::testing::Test {
 protected:
  CertAlertTest() {
    load_qn_rivi_module();
    root_.write("data/stmp_mail.json", Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"},
                                              {"port", sink_.port()}, {"security", "none"}, {"timeout", 5}}.dump());
    root_.write("data/mail_list.json", R"(["ops@example.test"])");
    qn_rivi_main first;  // makes the plug-in's tables
  }
  ~CertAlertTest() override {
    ::unsetenv("PANEL_NOW");
    std::filesystem::current_path(testing::build_dir());
  }

  std::int64_t task(const std::string& name) {
    return public_::M("rivi_task").insert(
        Record{{"name", name}, {"url", "https://site.test/"}, {"status", 1}, {"cycle", 1}, {"addtime", kT}});
  }
  void warn_days(std::int64_t pid, std::int64_t days) {
    Record args{{"pid", std::to_string(pid)}, {"cert_warn_days", std::to_string(days)}};
    ASSERT_EQ(call_web_method("set_checks", args)["status"], true);
  }
  void run(std::int64_t pid, std::int64_t time, const Record& nodes) {
    centre_.answer(encode(nodes));
    ::setenv("PANEL_NOW", std::to_string(time).c_str(), 1);
    qn_rivi_main plugin;
    Record args{{"id", pid}};
    ::testing::internal::CaptureStdout();
    plugin.start(args);
    ::testing::internal::GetCapturedStdout();
  }
  // The subjects the server took, once `count` of them came (or 20 s passed).
  std::vector<std::string> subjects(std::size_t count) {
    testing::wait_until([&] { return sink_.messages().size() >= count; }, 20);
    std::vector<std::string> out;
    for (const auto& m : sink_.messages()) out.push_back(m["subject"].get<std::string>());
    return out;
  }

  testing::TempRoot root_;
  testing::SmtpSink sink_;
  testing::StandInCentre centre_;
};

TEST_F(CertAlertTest, OneAlertPerThresholdOverManyRunsThenOneRenewalNotice) {
  root_.write("plugin/qn_rivi/config.json", R"({"alert": {"mode": "incident"}})");
  const std::int64_t pid = task("站点");
  const std::int64_t expiry = kT + 20 * kDay;
  // Twice a day for 21 days: 14, 7 and 1 day left are crossed once each; expired, nothing more.
  for (std::int64_t t = kT; t < kT + 21 * kDay; t += kDay / 2)
    run(pid, t, Record::array({node("电信", "OLD", expiry), node("联通", "OLD", expiry)}));
  const std::vector<std::string> warned(3, "[证书将过期] 站点");
  EXPECT_EQ(subjects(3), warned);
  const auto bodies = sink_.messages();
  ASSERT_EQ(bodies.size(), 3u);
  EXPECT_NE(bodies[0]["html"].get<std::string>().find("剩余 14 天"), std::string::npos) << bodies[0]["html"];
  EXPECT_NE(bodies[2]["html"].get<std::string>().find("剩余 1 天"), std::string::npos) << bodies[2]["html"];

  // One line renewed, the other still serves the old certificate: not renewed yet.
  const std::int64_t t = kT + 21 * kDay;
  run(pid, t, Record::array({node("电信", "NEW", expiry + 90 * kDay), node("联通", "OLD", expiry)}));
  for (int i = 1; i <= 4; ++i)
    run(pid, t + i * kDay / 2, Record::array({node("电信", "NEW", expiry + 90 * kDay), node("联通", "NEW", expiry + 90 * kDay)}));
  std::vector<std::string> all = warned;
  all.push_back("[证书已续期] 站点");
  EXPECT_EQ(subjects(4), all);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(sink_.messages().size(), 4u);
}

TEST_F(CertAlertTest, TheTasksWarningDaysSetTheFirstThresholdAndZeroTurnsThemOff) {
  const std::int64_t early = task("早");
  const std::int64_t off = task("关");
  warn_days(early, 30);
  warn_days(off, 0);
  const std::int64_t expiry = kT + 25 * kDay;
  // First seen with 25 days left (past 30) and then at 6 days (past 7 at once).
  run(early, kT, Record::array({node("电信", "A", expiry)}));
  run(off, kT + 60, Record::array({node("电信", "B", expiry)}));
  run(early, kT + 19 * kDay, Record::array({node("电信", "A", expiry)}));
  run(off, kT + 19 * kDay + 60, Record::array({node("电信", "B", expiry)}));
  run(early, kT + 19 * kDay + 3600, Record::array({node("电信", "A", expiry)}));
  EXPECT_EQ(subjects(2), (std::vector<std::string>{"[证书将过期] 早", "[证书将过期] 早"}));
}

}  // namespace
}  // namespace rivi
