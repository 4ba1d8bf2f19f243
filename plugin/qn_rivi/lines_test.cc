// What each ISP line saw, recorded from runs stored by `start` against a stand-in dispatch centre
// on loopback whose node results carry `cert` and `addresses` keys (the keys our nodes add): the
// certificates view and its paging, a disagreement between lines, the expiry metric, the
// resolution history with first and last seen, the `dns_expect` flag, the purge and the removal.
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/certificates.h"
#include "plugin/qn_rivi/line_records.h"
#include "plugin/qn_rivi/metrics.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/retention.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace rivi {
namespace {

constexpr std::int64_t kNow = 1765170000;
constexpr std::int64_t kDay = 86400;

Record cert(const std::string& print, std::int64_t not_after, const std::string& issuer = "Test CA",
            const std::string& verify_error = "") {
  return Record{{"not_after", not_after},   {"days_left", 0}, {"subject", "CN=site.test"}, {"issuer", issuer},
                {"names", Record::array({"site.test", "www.site.test"})},
                {"fingerprint_sha256", print}, {"verify_error", verify_error}};
}

Record node(const std::string& isp, const Record& addresses, const Record& certificate = nullptr) {
  Record n{{"isp", isp}, {"primary_ip", addresses.empty() ? Record("") : addresses[0]}, {"http_code", 200},
           {"total_time", 10.0}, {"error_code", ""}, {"addresses", addresses}};
  if (!certificate.is_null()) n["cert"] = certificate;
  return n;
}

class LinesTest : public ::testing::Test {
 protected:
  LinesTest() {
    at(kNow);
    load_qn_rivi_module();
    plugin_.emplace();
  }
  ~LinesTest() override {
    std::filesystem::current_path(testing::build_dir());
    ::unsetenv("PANEL_NOW");
  }
  static void at(std::int64_t t) { ::setenv("PANEL_NOW", std::to_string(t).c_str(), 1); }

  std::int64_t task(const std::string& name, const std::string& url) {
    return public_::M("rivi_task").insert(
        Record{{"name", name}, {"url", url}, {"status", 1}, {"cycle", 1}, {"addtime", kNow}});
  }
  void run(std::int64_t pid, const Record& nodes) {
    centre_.answer(encode(nodes));
    Record args{{"id", pid}};
    ::testing::internal::CaptureStdout();
    plugin_->start(args);
    ::testing::internal::GetCapturedStdout();
  }
  Record call(const std::string& method, Record args) { return call_web_method(method, args); }
  // The rules table as the task form keeps it.
  void expect_addresses(std::int64_t pid, const std::string& expect) {
    ASSERT_EQ(call("set_checks", Record{{"pid", std::to_string(pid)}, {"dns_expect", expect}})["status"], true);
  }

  testing::TempRoot root_;
  testing::StandInCentre centre_;
  std::optional<qn_rivi_main> plugin_;
};

TEST_F(LinesTest, TheViewListsHttpsTasksSoonestExpiryFirstWithEachLinesCertificate) {
  const std::int64_t later = task("later", "https://later.test/");
  const std::int64_t soon = task("soon", "HTTPS://soon.test/");
  const std::int64_t plain = task("plain", "http://plain.test/");
  const std::int64_t unseen = task("unseen", "https://unseen.test/");
  const Record ip = Record::array({"192.0.2.1"});
  run(later, Record::array({node("电信", ip, cert("AA", kNow + 90 * kDay)), node("联通", ip, cert("AA", kNow + 90 * kDay))}));
  // Two lines served different certificates: one of them an interception with its own issuer.
  run(soon, Record::array({node("电信", ip, cert("BB", kNow + 10 * kDay + 5)),
                           node("电信", ip, cert("ZZ", kNow + kDay)),  // a second 电信 node: the first speaks
                           node("联通", ip, cert("CC", kNow + 30 * kDay, "Other CA", "unable to get local issuer certificate")),
                           node("节点未响应", Record::array())}));
  run(plain, Record::array({node("电信", ip)}));

  const Record page = call("get_certificates", Record::object());
  ASSERT_EQ(page["data"].size(), 3u) << page.dump();
  EXPECT_EQ(page["page"]["count"], 3);
  const Record& first = page["data"][0];
  EXPECT_EQ(first["pid"], soon);
  EXPECT_EQ(first["not_after"], kNow + 10 * kDay + 5);
  EXPECT_EQ(first["days_left"], 10);
  EXPECT_EQ(first["issuer"], "Test CA");
  EXPECT_EQ(first["names"], Record::array({"site.test", "www.site.test"}));
  ASSERT_EQ(first["lines"].size(), 2u);
  EXPECT_EQ(first["lines"][0]["isp"], "电信");
  EXPECT_EQ(first["lines"][0]["fingerprint_sha256"], "BB");
  EXPECT_EQ(first["lines"][1]["isp"], "联通");
  EXPECT_EQ(first["lines"][1]["fingerprint_sha256"], "CC");
  EXPECT_EQ(first["lines"][1]["days_left"], 30);
  EXPECT_EQ(first["lines"][1]["verify_error"], "unable to get local issuer certificate");
  EXPECT_EQ(page["data"][1]["pid"], later);
  EXPECT_EQ(page["data"][1]["lines"][0]["fingerprint_sha256"], page["data"][1]["lines"][1]["fingerprint_sha256"]);
  // Never probed over HTTPS yet: listed last, without figures.
  EXPECT_EQ(page["data"][2]["pid"], unseen);
  EXPECT_TRUE(page["data"][2]["not_after"].is_null());
  EXPECT_TRUE(page["data"][2]["lines"].empty());

  // A renewed certificate replaces the line's; an expired one counts its days below zero.
  at(kNow + 11 * kDay);
  run(soon, Record::array({node("电信", ip, cert("DD", kNow + 100 * kDay)), node("联通", ip, cert("CC", kNow + 30 * kDay))}));
  const Record again = call("get_certificates", Record::object());
  EXPECT_EQ(again["data"][0]["pid"], soon);
  EXPECT_EQ(again["data"][0]["days_left"], 19);
  EXPECT_EQ(again["data"][0]["lines"][0]["fingerprint_sha256"], "DD");
}

TEST(CertificateDays, RoundDownAndGoBelowZeroAfterExpiry) {
  EXPECT_EQ(certificates::days_left(kNow + kDay, kNow), 1);
  EXPECT_EQ(certificates::days_left(kNow + kDay - 1, kNow), 0);
  EXPECT_EQ(certificates::days_left(kNow, kNow), 0);
  EXPECT_EQ(certificates::days_left(kNow - 1, kNow), -1);
  EXPECT_EQ(certificates::days_left(kNow - kDay - 1, kNow), -2);
}

TEST_F(LinesTest, CertificatesArePagedTwelveAPageAndScrapedPerLine) {
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 13; ++i) {
    ids.push_back(task("t" + std::to_string(i), "https://t" + std::to_string(i) + ".test/"));
    // Expiry falls with the task's number, so the last task comes first.
    run(ids.back(), Record::array({node("电信", Record::array({"192.0.2.1"}), cert("F" + std::to_string(i), kNow + (50 - i) * kDay)),
                                   node("联通", Record::array({"192.0.2.1"}), cert("G", kNow + 60 * kDay))}));
  }
  Record p2{{"p", "2"}};
  const Record second = call("get_certificates", p2);
  ASSERT_EQ(second["data"].size(), 1u);
  EXPECT_EQ(second["data"][0]["pid"], ids[0]);
  EXPECT_EQ(call("get_certificates", Record::object())["data"][0]["pid"], ids[12]);

  auto tasks = public_::M("rivi_task");
  const std::string text = plugin_metrics(tasks.connection(), kNow);
  EXPECT_NE(text.find("# TYPE rivi_cert_expiry_timestamp_seconds gauge\n"), std::string::npos);
  EXPECT_NE(text.find("rivi_cert_expiry_timestamp_seconds{task_id=\"" + std::to_string(ids[3]) + "\",isp=\"电信\"} " +
                      std::to_string(kNow + 47 * kDay) + "\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("rivi_cert_expiry_timestamp_seconds{task_id=\"" + std::to_string(ids[3]) + "\",isp=\"联通\"} " +
                      std::to_string(kNow + 60 * kDay) + "\n"),
            std::string::npos);
  // A removed task takes its lines with it, from the view and the scrape.
  Record gone{{"id", ids[3]}};
  ASSERT_EQ(call("remove", gone)["status"], true);
  const std::string after = plugin_metrics(tasks.connection(), kNow);
  EXPECT_EQ(after.find("task_id=\"" + std::to_string(ids[3]) + "\""), std::string::npos);
  EXPECT_TRUE(tasks.connection().query("SELECT 1 FROM rivi_cert WHERE pid = ?", Record::array({ids[3]})).empty());
}

TEST_F(LinesTest, ResolutionHistoryKeepsFirstAndLastSeenPerLineAndIsPurgedWithTheResults) {
  const std::int64_t pid = task("web", "https://web.test/");
  run(pid, Record::array({node("电信", Record::array({"192.0.2.1", "192.0.2.2"})), node("联通", Record::array({"192.0.2.1"}))}));
  at(kNow + 600);
  run(pid, Record::array({node("电信", Record::array({"192.0.2.2"})), node("联通", Record::array({"198.51.100.7", "bogus"}))}));
  at(kNow + 1200);
  // A node from before the `addresses` key: its primary address; a failed lookup adds nothing.
  run(pid, Record::array({Record{{"isp", "移动"}, {"primary_ip", "2001:db8::5"}, {"http_code", 200}, {"total_time", 1.0}},
                          Record{{"isp", "移动"}, {"primary_ip", false}, {"http_code", 0}, {"total_time", 1.0}}}));

  Record args{{"pid", pid}};
  Record lines = call("get_resolution", args);
  ASSERT_EQ(lines.size(), 3u) << lines.dump();
  EXPECT_EQ(lines[0]["isp"], "电信");
  ASSERT_EQ(lines[0]["addresses"].size(), 2u);
  EXPECT_EQ(lines[0]["addresses"][0], (Record{{"address", "192.0.2.2"}, {"first_seen", kNow}, {"last_seen", kNow + 600},
                                              {"latest", true}, {"expected", nullptr}}));
  EXPECT_EQ(lines[0]["addresses"][1]["address"], "192.0.2.1");
  EXPECT_EQ(lines[0]["addresses"][1]["last_seen"], kNow);
  EXPECT_EQ(lines[0]["addresses"][1]["latest"], false);
  EXPECT_EQ(lines[1]["isp"], "移动");
  ASSERT_EQ(lines[1]["addresses"].size(), 1u);
  EXPECT_EQ(lines[1]["addresses"][0]["address"], "2001:db8::5");
  EXPECT_EQ(lines[2]["isp"], "联通");
  EXPECT_EQ(lines[2]["addresses"][0]["address"], "198.51.100.7");  // the text that is no address is left out
  EXPECT_EQ(lines[2]["mismatch"], false);

  // Outside what the task expects: the line's latest answer is flagged, here and in the overview.
  expect_addresses(pid, "192.0.2.0/24, 2001:db8::/32");
  lines = call("get_resolution", args);
  EXPECT_EQ(lines[0]["mismatch"], false);
  EXPECT_EQ(lines[2]["mismatch"], true);
  EXPECT_EQ(lines[2]["addresses"][0]["expected"], false);
  EXPECT_EQ(lines[2]["addresses"][1]["expected"], true);  // 192.0.2.1, seen before, not latest
  EXPECT_EQ(call("get_overview", Record::object())["data"][0]["dns_mismatch"], true);
  expect_addresses(pid, "192.0.2.0/24,198.51.100.7,2001:db8::5");
  EXPECT_EQ(call("get_overview", Record::object())["data"][0]["dns_mismatch"], false);

  // Seven days after the first run its addresses go; those seen later stay.
  auto tasks = public_::M("rivi_task");
  const std::int64_t cutoff = result_retention_cutoff(kNow + 7 * kDay + 300);
  EXPECT_EQ(line_records::purge_before(tasks.connection(), cutoff, 1), 2);  // 电信 and 联通's 192.0.2.1
  lines = call("get_resolution", args);
  EXPECT_EQ(lines[0]["addresses"].size(), 1u);
  EXPECT_EQ(lines[2]["addresses"].size(), 1u);
  // The certificates view and the history read only what the purge keeps.
  at(kNow + 30 * kDay);
  EXPECT_TRUE(call("get_resolution", args).empty());
}

}  // namespace
}  // namespace rivi
