// The chat robots' channel table through the web methods: the form's refusals, write-only
// secrets, routing by tag, and alerts delivered through the outbox to stand-in robots on loopback
// (signatures checked by them), retried after a failure.
#include "plugin/qn_rivi/channels.h"

#include "host/install.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/alert_delivery.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/chat_robots.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

namespace rivi {
namespace {

using testing::ChatRobot;
using Kind = ChatRobot::Kind;

constexpr std::int64_t kT = 1700000000;

class ChannelsTest : public ::testing::Test {
 protected:
  ChannelsTest() {
    set_now(kT);
    root_.write("data/stmp_mail.json", "{}");
    root_.write("data/dingding.json", "{}");
    root_.write("data/mail_list.json", "[]");
    {
      Connection db(database_path());
      create_host_tables(db);
    }
    plugin_.emplace();
    db_ = Connection::for_thread(database_path());
  }
  ~ChannelsTest() override { ::unsetenv("PANEL_NOW"); }
  static void set_now(std::int64_t t) { ::setenv("PANEL_NOW", std::to_string(t).c_str(), 1); }

  Record call(Record (qn_rivi_main::*method)(Record&), Record args) { return (*plugin_.*method)(args); }
  Record set(Record form) { return call(&qn_rivi_main::set_channel, std::move(form)); }
  std::int64_t add(Record form) {
    const Record r = set(std::move(form));
    EXPECT_TRUE(r["status"].get<bool>()) << r.dump();
    return r.value("id", std::int64_t{0});
  }
  Record listed(std::int64_t id) {
    for (const Record& c : call(&qn_rivi_main::get_channels, Record::object()))
      if (c["id"] == id) return c;
    return nullptr;
  }
  std::int64_t task(const std::string& name, const std::vector<std::string>& tags) {
    const std::int64_t id = public_::M("rivi_task").insert(Record{{"name", name}, {"url", "http://example.test/" + name}, {"status", 1}});
    db_->exec_script("CREATE TABLE IF NOT EXISTS rivi_tag (pid INTEGER, tag TEXT, PRIMARY KEY (pid, tag))");
    for (const std::string& t : tags) db_->run("INSERT INTO rivi_tag (pid, tag) VALUES (?, ?)", Record::array({id, t}));
    return id;
  }
  std::string stored_secret(std::int64_t id) { return channels::find(*db_, id)->secret; }

  testing::TempRoot root_{false};
  std::optional<qn_rivi_main> plugin_;
  std::shared_ptr<Connection> db_;
};

TEST_F(ChannelsTest, TheFormRefusesNamingTheField) {
  const Record good{{"kind", "webhook"}, {"name", "值班"}, {"url", "https://hooks.example.test/x"}};
  const auto refused = [&](Record changes, const std::string& field) {
    Record form = good;
    for (auto& [k, v] : changes.items()) form[k] = v;
    const Record r = set(form);
    EXPECT_FALSE(r["status"].get<bool>()) << form.dump();
    EXPECT_NE(r["msg"].get<std::string>().find(field), std::string::npos) << r.dump();
  };
  refused({{"kind", "sms"}}, "kind");
  refused({{"name", "  "}}, "name");
  refused({{"name", std::string(65, 'x')}}, "name");
  refused({{"url", ""}}, "url");
  refused({{"url", "http://hooks.example.test/x"}}, "url");   // plain http beyond loopback
  refused({{"url", "https://10.1.2.3/x"}}, "url");            // an inner address
  refused({{"kind", "wecom"}, {"url", "https://qyapi.example.test/cgi-bin/webhook/send"}}, "key");
  refused({{"tags", std::string(33, 't')}}, "tags");
  refused({{"enabled", "maybe"}}, "enabled");
  refused({{"id", "999"}}, "id");
  EXPECT_TRUE(call(&qn_rivi_main::get_channels, Record::object()).empty());
  EXPECT_FALSE(call(&qn_rivi_main::remove_channel, Record{{"id", "999"}})["status"].get<bool>());
}

TEST_F(ChannelsTest, SecretsAreNeverAnsweredAndStayWithTheirHost) {
  const std::int64_t wecom = add({{"kind", "wecom"}, {"name", "企业群"}, {"url", "https://qyapi.example.test/cgi-bin/webhook/send?key=K-SECRET"}});
  const std::int64_t feishu = add({{"kind", "feishu"}, {"name", "飞书群"}, {"url", "https://open.example.test/open-apis/bot/v2/hook/TOKEN"},
                                   {"secret", "S-SECRET"}, {"tags", "shop, blog，shop"}});
  const std::string all = call(&qn_rivi_main::get_channels, Record::object()).dump();
  for (const char* secret : {"K-SECRET", "TOKEN", "S-SECRET"}) EXPECT_EQ(all.find(secret), std::string::npos) << all;
  EXPECT_EQ(listed(wecom)["url"], "https://qyapi.example.test/…");
  EXPECT_EQ(listed(feishu)["secret_set"], true);
  EXPECT_EQ(listed(feishu)["tags"], Record::array({"shop", "blog"}));

  // The shown URL and an empty secret keep both; a new name changes only the name.
  EXPECT_TRUE(set({{"id", std::to_string(feishu)}, {"name", "飞书 2"}, {"url", "https://open.example.test/…"}, {"secret", ""}})["status"]);
  EXPECT_EQ(stored_secret(feishu), "S-SECRET");
  EXPECT_EQ(channels::find(*db_, feishu)->url, "https://open.example.test/open-apis/bot/v2/hook/TOKEN");
  EXPECT_EQ(channels::find(*db_, wecom)->url, "https://qyapi.example.test/cgi-bin/webhook/send?key=K-SECRET");

  // Another path on the same host keeps the secret; another host drops it and says so.
  EXPECT_TRUE(set({{"id", std::to_string(feishu)}, {"url", "https://open.example.test/open-apis/bot/v2/hook/T2"}})["status"]);
  EXPECT_EQ(stored_secret(feishu), "S-SECRET");
  const Record moved = set({{"id", std::to_string(feishu)}, {"url", "https://elsewhere.example.test/hook/T2"}});
  EXPECT_EQ(moved["dropped"], "secret");
  EXPECT_NE(moved["msg"].get<std::string>().find("原签名密钥已清除"), std::string::npos);
  EXPECT_EQ(stored_secret(feishu), "");
  EXPECT_EQ(listed(feishu)["secret_set"], false);
  // A new secret given with the move stays; clear_secret removes it.
  set({{"id", std::to_string(feishu)}, {"url", "https://third.example.test/h"}, {"secret", "S2"}});
  EXPECT_EQ(stored_secret(feishu), "S2");
  set({{"id", std::to_string(feishu)}, {"clear_secret", "1"}});
  EXPECT_EQ(stored_secret(feishu), "");

  EXPECT_TRUE(call(&qn_rivi_main::remove_channel, Record{{"id", std::to_string(wecom)}})["status"]);
  EXPECT_TRUE(listed(wecom).is_null());
}

TEST_F(ChannelsTest, TaggedChannelsTakeTheirTasksAlertsAndMonitorAlertsReachEveryone) {
  const std::int64_t shop = task("shop", {"shop", "prod"}), blog = task("blog", {"blog"}), bare = task("bare", {});
  const std::int64_t all = add({{"kind", "webhook"}, {"name", "all"}, {"url", "https://a.example.test/h"}});
  const std::int64_t shops = add({{"kind", "webhook"}, {"name", "shops"}, {"url", "https://s.example.test/h"}, {"tags", "shop"}});
  const std::int64_t prod = add({{"kind", "feishu"}, {"name", "prod"}, {"url", "https://p.example.test/h"}, {"tags", "prod blog"}});
  const std::int64_t off = add({{"kind", "webhook"}, {"name", "off"}, {"url", "https://o.example.test/h"}, {"enabled", "0"}});
  const auto routed = [&](std::int64_t pid) {
    std::vector<std::int64_t> ids;
    for (const outbox::Address& a : channels::addresses_for(*db_, pid)) ids.push_back(*channels::id_of_recipient(a.recipient));
    return ids;
  };
  EXPECT_EQ(routed(shop), (std::vector<std::int64_t>{all, shops, prod}));
  EXPECT_EQ(routed(blog), (std::vector<std::int64_t>{all, prod}));
  EXPECT_EQ(routed(bare), (std::vector<std::int64_t>{all}));
  EXPECT_EQ(routed(0), (std::vector<std::int64_t>{all, shops, prod}));  // the monitor's own alerts
  (void)off;

  // Without the tag table no task has tags: only the untagged channel takes a task's alerts.
  db_->exec_script("DROP TABLE rivi_tag");
  EXPECT_EQ(routed(shop), (std::vector<std::int64_t>{all}));
}

Record node(const char* isp) {
  return Record{{"isp", isp},           {"primary_ip", ""},        {"http_code", 0},          {"total_time", 1.0},
                {"namelookup_time", 1.5}, {"starttransfer_time", 0.1}, {"size_download", 0}, {"speed_download", 0.0}};
}

TEST_F(ChannelsTest, ReportsGoThroughTheOutboxToTheirRobotsSignedAndAreRetried) {
  ChatRobot wecom(Kind::wecom, "wk"), feishu(Kind::feishu, "fs"), hook(Kind::webhook, "wh");
  const std::int64_t shop = task("shop", {"shop"}), blog = task("blog", {});
  add({{"kind", "wecom"}, {"name", "企业群"}, {"url", wecom.url()}});
  add({{"kind", "feishu"}, {"name", "飞书"}, {"url", feishu.url()}, {"secret", "fs"}, {"tags", "shop"}});
  add({{"kind", "webhook"}, {"name", "hook"}, {"url", hook.url()}, {"secret", "wh"}, {"tags", "shop"}});
  feishu.fail_next(1);

  ::testing::internal::CaptureStderr();
  Record data = Record::array({node("电信"), node("联通"), node("移动")});
  plugin_->send_mail(data, 3, shop);
  data = Record::array({node("电信"), node("联通"), node("移动")});
  plugin_->send_mail(data, 3, blog);
  ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(wecom.accepted().size(), 2u);  // untagged: both tasks
  EXPECT_EQ(hook.accepted().size(), 1u);   // tagged shop: the shop task's alone
  ASSERT_EQ(feishu.failed(), 1u);
  EXPECT_TRUE(feishu.accepted().empty());
  EXPECT_EQ(wecom.refused() + feishu.refused() + hook.refused(), 0u);
  const Record body = Record::parse(hook.accepted().at(0));
  EXPECT_EQ(body["kind"], "report");
  EXPECT_EQ(body["task_id"], shop);
  EXPECT_EQ(body["task_name"], "shop");
  EXPECT_EQ(body["task_url"], "http://example.test/shop");
  EXPECT_NE(body["title"].get<std::string>().find("【shop】"), std::string::npos);

  // The failed Feishu message waits for its back-off, then goes.
  plugin_->send_alerts(kUpkeepBudget);
  EXPECT_TRUE(feishu.accepted().empty());
  set_now(kT + 60);
  plugin_->send_alerts(kUpkeepBudget);
  ASSERT_EQ(feishu.accepted().size(), 1u);
  const Record attempts = db_->query("SELECT success, answer FROM rivi_delivery WHERE channel = 'feishu' ORDER BY id");
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_EQ(to_int(attempts[0]["success"]), 0);
  EXPECT_NE(attempts[0]["answer"].get<std::string>().find("code 11232"), std::string::npos);
  EXPECT_EQ(to_int(attempts[1]["success"]), 1);
}

TEST_F(ChannelsTest, TestChannelTakesASavedRobotOrTheFormsValuesAndIsPaced) {
  ChatRobot hook(Kind::webhook, "wh");
  const std::int64_t id = add({{"kind", "webhook"}, {"name", "hook"}, {"url", hook.url()}, {"secret", "wh"}});
  ::testing::internal::CaptureStderr();
  const Record saved = call(&qn_rivi_main::test_channel, Record{{"id", std::to_string(id)}});
  const Record again = call(&qn_rivi_main::test_channel, Record{{"id", std::to_string(id)}});
  // An unsaved form with a wrong secret: refused by the robot, its summary answered.
  const Record form = call(&qn_rivi_main::test_channel, Record{{"channel", "webhook"}, {"url", hook.url()}, {"secret", "bad"}});
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(saved["status"].get<bool>()) << saved.dump();
  EXPECT_EQ(saved["msg"], "HTTP 204");
  EXPECT_FALSE(again["status"].get<bool>());
  EXPECT_NE(again["msg"].get<std::string>().find("测试过于频繁"), std::string::npos);
  EXPECT_FALSE(form["status"].get<bool>());
  EXPECT_EQ(form["msg"], "Webhook未接受消息（HTTP 401）");
  EXPECT_EQ(Record::parse(hook.accepted().at(0))["kind"], "test");
  EXPECT_EQ(hook.accepted().size(), 1u);
}

}  // namespace
}  // namespace rivi
