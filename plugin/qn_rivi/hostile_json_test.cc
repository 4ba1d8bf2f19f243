// JSON that nests without end, from the dispatch centre or in a settings file: the plug-in refuses
// it as malformed instead of walking it, and keeps serving.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/public.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace rivi {
namespace {

constexpr int kDeep = 200000;

std::string deep_lists() { return std::string(kDeep, '[') + std::string(kDeep, ']'); }

class HostileJsonTest : public ::testing::Test {
 protected:
  HostileJsonTest() {
    load_qn_rivi_module();
    plugin_.emplace();
    task_ = public_::M("rivi_task").insert(
        Record{{"name", "web"}, {"url", "http://example.test/"}, {"status", 1}, {"cycle", 1}, {"addtime", 1}});
  }
  ~HostileJsonTest() override {
    // Loading the plug-in entered the root, which is about to be removed.
    std::filesystem::current_path(testing::build_dir());
  }

  // Runs `start` on the task while the centre answers `body`; answers the answer and what it printed.
  std::pair<Record, std::string> start_with(const std::string& body) {
    centre_.answer(body);
    Record args{{"id", task_}};
    ::testing::internal::CaptureStdout();
    Record answer;
    try {
      answer = plugin_->start(args);
    } catch (...) {
      ::testing::internal::GetCapturedStdout();
      throw;
    }
    return {answer, ::testing::internal::GetCapturedStdout()};
  }
  std::int64_t rows() { return public_::M("rivi_list").count(); }

  testing::TempRoot root_;
  testing::StandInCentre centre_;
  std::optional<qn_rivi_main> plugin_;
  std::int64_t task_ = 0;
};

TEST_F(HostileJsonTest, DeeplyNestedDispatchAnswerIsAFailedDispatch) {
  const std::pair<const char*, std::string> answers[] = {
      {"lists nested 200000 deep", deep_lists()},
      {"a node result carrying a value nested 200000 deep",
       R"([{"isp": "a", "http_code": 200, "total_time": 1.0, "x": )" + deep_lists() + "}]"},
  };
  for (const auto& [label, body] : answers) {
    SCOPED_TRACE(label);
    const auto [answer, out] = start_with(body);
    EXPECT_EQ(answer, public_::returnMsg(false, "连接调度中心失败!"));
    EXPECT_NE(out.find("invalid JSON: nested deeper than 64 levels"), std::string::npos) << out;
    EXPECT_EQ(rows(), 0);
  }
  // The same object goes on serving ordinary answers.
  const auto [answer, out] = start_with(R"([{"isp": "a", "http_code": 200, "total_time": 1.0}])");
  EXPECT_TRUE(answer.is_array()) << out;
  EXPECT_EQ(rows(), 1);
}

TEST_F(HostileJsonTest, DeeplyNestedSettingsFileIsAnError) {
  root_.write("data/stmp_mail.json", deep_lists());
  try {
    plugin_->get_user_mail();
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("invalid JSON"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace rivi
