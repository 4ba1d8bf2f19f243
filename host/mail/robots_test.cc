// The chat robots' wire formats, sent by the host's sender to stand-in robots on loopback that
// check each robot's signing rule and body shape as the real ones do.
#include "host/mail/robots.h"

#include "host/mail/send_mail.h"
#include "tests/support/chat_robots.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

namespace rivi {
namespace {

using testing::ChatRobot;
using Kind = ChatRobot::Kind;

robots::Alert alert(std::string markdown = "### [故障] 官网\n\n- 电信: **异常** | 0 | 连接被拒绝\n") {
  robots::Alert a;
  a.kind = "fault";
  a.title = "[故障] 官网";
  a.markdown = std::move(markdown);
  a.task_id = 7;
  a.task_name = "官网";
  a.task_url = "https://example.test/";
  a.state = "down";
  a.reason = "3 个节点失败";
  a.time = 1700000000;
  return a;
}

Record robot(const char* kind, const std::string& url, const std::string& secret = "") {
  return Record{{"kind", kind}, {"url", url}, {"secret", secret}, {"timeout", 5}};
}

class RobotsTest : public ::testing::Test {
 protected:
  SendResult send(const Record& settings, const robots::Alert& a = alert()) {
    ::testing::internal::CaptureStderr();
    SendResult r = sender_.robot_send(settings, a);
    ::testing::internal::GetCapturedStderr();
    return r;
  }
  send_mail sender_;
};

TEST_F(RobotsTest, WecomTakesMarkdownWithItsKeyAndRefusesAnother) {
  ChatRobot wecom(Kind::wecom, "k-123");
  const SendResult sent = send(robot("wecom", wecom.url()));
  ASSERT_TRUE(sent) << sent.answer;
  EXPECT_EQ(sent.answer, "errcode 0: ok");
  ASSERT_EQ(wecom.accepted().size(), 1u);
  EXPECT_EQ(Record::parse(wecom.accepted()[0]),
            Record::parse(R"({"msgtype":"markdown","markdown":{"content":"### [故障] 官网\n\n- 电信: **异常** | 0 | 连接被拒绝\n"}})"));

  const SendResult wrong = send(robot("wecom", wecom.url_with_key("other")));
  EXPECT_FALSE(wrong);
  EXPECT_EQ(wrong.answer, "企业微信未接受消息（errcode 93000: invalid webhook url）");
  EXPECT_EQ(wecom.refused(), 1u);

  wecom.fail_next(1);
  EXPECT_FALSE(send(robot("wecom", wecom.url())));
  EXPECT_TRUE(send(robot("wecom", wecom.url())));
}

TEST_F(RobotsTest, WecomMarkdownIsCutToItsLimitOnACharacterBoundary) {
  ChatRobot wecom(Kind::wecom, "k");
  std::string long_text;
  while (long_text.size() < 6000) long_text += "节点异常";
  ASSERT_TRUE(send(robot("wecom", wecom.url()), alert(long_text)));
  const std::string content = Record::parse(wecom.accepted().at(0))["markdown"]["content"].get<std::string>();
  EXPECT_LE(content.size(), robots::kWecomMarkdownBytes);
  EXPECT_GT(content.size(), robots::kWecomMarkdownBytes - 8);
  EXPECT_TRUE(content.ends_with("…"));
}

TEST_F(RobotsTest, FeishuSignsWithTimestampAndSecretAndRefusalsAreReported) {
  ChatRobot feishu(Kind::feishu, "fs-secret");
  const SendResult sent = send(robot("feishu", feishu.url(), "fs-secret"));
  ASSERT_TRUE(sent) << sent.answer;
  EXPECT_EQ(sent.answer, "code 0: success");
  const Record body = Record::parse(feishu.accepted().at(0));
  EXPECT_EQ(body["msg_type"], "interactive");
  EXPECT_EQ(body["card"]["header"]["title"]["content"], "[故障] 官网");
  EXPECT_EQ(body["card"]["elements"][0]["tag"], "markdown");
  EXPECT_EQ(body["card"]["elements"][0]["content"], alert().markdown);
  EXPECT_EQ(body["sign"], testing::feishu_signature(body["timestamp"].get<std::string>(), "fs-secret"));

  const SendResult wrong = send(robot("feishu", feishu.url(), "not-it"));
  EXPECT_FALSE(wrong);
  EXPECT_NE(wrong.answer.find("code 19021: sign match fail"), std::string::npos) << wrong.answer;
  EXPECT_FALSE(send(robot("feishu", feishu.url())));  // unsigned, to a robot that wants a signature
  EXPECT_EQ(feishu.refused(), 2u);

  ChatRobot open(Kind::feishu, "");
  ASSERT_TRUE(send(robot("feishu", open.url())));
  const Record unsigned_body = Record::parse(open.accepted().at(0));
  EXPECT_FALSE(unsigned_body.contains("sign"));
  EXPECT_FALSE(unsigned_body.contains("timestamp"));
}

TEST_F(RobotsTest, WebhookPostsTheAlertsFieldsSignedOverTheRawBody) {
  ChatRobot hook(Kind::webhook, "wh-secret");
  const SendResult sent = send(robot("webhook", hook.url(), "wh-secret"));
  ASSERT_TRUE(sent) << sent.answer;
  EXPECT_EQ(sent.answer, "HTTP 204");
  const std::string raw = hook.accepted().at(0);
  EXPECT_EQ(hook.headers().at(0), "sha256=" + testing::hex_hmac("wh-secret", raw));
  const Record body = Record::parse(raw);
  EXPECT_EQ(body["kind"], "fault");
  EXPECT_EQ(body["title"], "[故障] 官网");
  EXPECT_EQ(body["task_id"], 7);
  EXPECT_EQ(body["task_name"], "官网");
  EXPECT_EQ(body["task_url"], "https://example.test/");
  EXPECT_EQ(body["state"], "down");
  EXPECT_EQ(body["reason"], "3 个节点失败");
  EXPECT_EQ(body["time"], 1700000000);
  EXPECT_EQ(body["markdown"], alert().markdown);
  EXPECT_EQ(body["text"], "[故障] 官网\n\n- 电信: 异常 | 0 | 连接被拒绝\n");

  const SendResult wrong = send(robot("webhook", hook.url(), "other"));
  EXPECT_FALSE(wrong);
  EXPECT_EQ(wrong.answer, "Webhook未接受消息（HTTP 401）");
  hook.fail_next(1);
  EXPECT_FALSE(send(robot("webhook", hook.url(), "wh-secret")));
  EXPECT_EQ(hook.failed(), 1u);
}

TEST_F(RobotsTest, InnerAddressesAndUnknownKindsAreRefusedBeforeSending) {
  EXPECT_NE(send(robot("wecom", "https://10.0.0.1/cgi-bin/webhook/send?key=k")).answer.find("setting `url`"),
            std::string::npos);
  EXPECT_NE(send(robot("webhook", "http://192.168.1.1/hook")).answer.find("setting `url`"), std::string::npos);
  EXPECT_NE(send(robot("sms", "https://example.test/")).answer.find("kind"), std::string::npos);
  EXPECT_FALSE(send(Record::object()));
}

TEST(RobotAnswers, EachKindJudgesItsOwnSuccessField) {
  EXPECT_TRUE(robots::judge_answer("wecom", 200, R"({"errcode":0,"errmsg":"ok"})").second);
  EXPECT_FALSE(robots::judge_answer("wecom", 200, R"({"code":0})").second);
  EXPECT_TRUE(robots::judge_answer("feishu", 200, R"({"StatusCode":0,"StatusMessage":"success"})").second);
  EXPECT_FALSE(robots::judge_answer("feishu", 200, R"({"code":19021,"msg":"sign match fail"})").second);
  EXPECT_FALSE(robots::judge_answer("feishu", 500, R"({"code":0})").second);
  EXPECT_FALSE(robots::judge_answer("feishu", 200, "not json").second);
  EXPECT_TRUE(robots::judge_answer("webhook", 200, "").second);
  EXPECT_TRUE(robots::judge_answer("webhook", 299, "").second);
  EXPECT_FALSE(robots::judge_answer("webhook", 302, "").second);
}

}  // namespace
}  // namespace rivi
