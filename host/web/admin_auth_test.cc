#include "host/web/admin_auth.h"

#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <set>
#include <vector>
#include <sstream>

namespace rivi {
namespace {

namespace fs = std::filesystem;
using std::chrono::hours;
using std::chrono::seconds;

std::string slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A clock the test moves by hand.
struct FakeClock {
  std::chrono::steady_clock::time_point t{};
  Clock fn() {
    return [this] { return t; };
  }
};

TEST(AdminPassword, StoredOnlyAsSaltedHashReadableByOwnerAlone) {
  testing::TempRoot root(false);
  EXPECT_FALSE(check_admin_password("anything-at-all"));

  set_admin_password("correct horse", 1000);
  std::string first = slurp(admin_password_path());
  EXPECT_EQ(first.find("correct horse"), std::string::npos);
  EXPECT_EQ(fs::status(admin_password_path()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(check_admin_password("correct horse"));
  EXPECT_FALSE(check_admin_password("correct horsE"));
  EXPECT_FALSE(check_admin_password("correct horse "));
  EXPECT_FALSE(check_admin_password(""));

  // Setting the same password again draws a new salt; the old hash no longer stands.
  set_admin_password("correct horse", 1000);
  auto a = nlohmann::json::parse(first), b = nlohmann::json::parse(slurp(admin_password_path()));
  EXPECT_NE(a["salt"], b["salt"]);
  EXPECT_NE(a["hash"], b["hash"]);
  EXPECT_EQ(b["iterations"], 1000);
  EXPECT_TRUE(check_admin_password("correct horse"));
}

TEST(AdminPassword, RefusesShortPasswordsAndKeepsTheOldOne) {
  testing::TempRoot root(false);
  set_admin_password("long enough", 1000);
  EXPECT_THROW(set_admin_password("short", 1000), std::invalid_argument);
  EXPECT_TRUE(check_admin_password("long enough"));
}

TEST(AdminPassword, DamagedFileIsAnErrorNotALogin) {
  testing::TempRoot root(false);
  for (const char* text : {"", "not json", R"({"algorithm": "md5", "iterations": 1, "salt": "", "hash": ""})",
                           R"({"algorithm": "pbkdf2-sha256", "iterations": 1, "salt": "zz", "hash": "00"})"}) {
    root.write("data/admin_password.json", text);
    try {
      check_admin_password("whatever1");
      ADD_FAILURE() << "accepted " << text;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("admin_password.json"), std::string::npos) << e.what();
    }
  }
}

TEST(AdminPassword, MadeAtInstallAndPrintedOnlyOnce) {
  testing::TempRoot root(false);
  std::ostringstream first, second;
  auto made = make_admin_password_at_install(first);
  ASSERT_TRUE(made);
  EXPECT_EQ(first.str(), "panel administrator password: " + *made + "\n");
  EXPECT_TRUE(check_admin_password(*made));
  EXPECT_FALSE(make_admin_password_at_install(second));
  EXPECT_EQ(second.str(), "");
  EXPECT_TRUE(check_admin_password(*made));
}

TEST(AdminPassword, RandomPasswordsAreLongAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    std::string p = random_password();
    EXPECT_EQ(p.size(), 16u);
    EXPECT_EQ(p.find_first_not_of("abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789"), std::string::npos);
    seen.insert(p);
  }
  EXPECT_EQ(seen.size(), 50u);
  EXPECT_EQ(random_token().size(), 64u);
}

TEST(SessionStore, LivesWhileUsedAndEndsAfterIdleTime) {
  FakeClock clock;
  SessionStore sessions(hours(1), clock.fn());
  auto s = sessions.create();
  EXPECT_NE(s.id, s.csrf);
  EXPECT_FALSE(sessions.find(""));
  EXPECT_FALSE(sessions.find(s.id + "0"));

  clock.t += std::chrono::minutes(59);
  auto found = sessions.find(s.id);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->csrf, s.csrf);
  clock.t += std::chrono::minutes(59);  // the last use restarted the idle time
  EXPECT_TRUE(sessions.find(s.id));
  clock.t += hours(1);
  EXPECT_FALSE(sessions.find(s.id));

  auto other = sessions.create();
  sessions.remove(other.id);
  EXPECT_FALSE(sessions.find(other.id));
}

TEST(SessionStore, EndsAfterItsLifetimeHoweverOftenUsed) {
  FakeClock clock;
  SessionPolicy policy;
  policy.idle = hours(12);
  policy.lifetime = hours(24 * 7);
  SessionStore sessions(policy, clock.fn());
  auto s = sessions.create();
  for (int i = 0; i < 14; ++i) {  // used every eleven hours: never idle for long
    clock.t += hours(11);
    EXPECT_TRUE(sessions.find(s.id)) << i;
  }
  clock.t += hours(14);  // 168 hours after the login
  EXPECT_FALSE(sessions.find(s.id));
  EXPECT_FALSE(sessions.find(s.id));
}

TEST(SessionStore, KeepsAtMostTheNewestSessions) {
  FakeClock clock;
  SessionPolicy policy;
  policy.max_sessions = 3;
  SessionStore sessions(policy, clock.fn());
  std::vector<SessionStore::Session> made;
  for (int i = 0; i < 3; ++i) {
    made.push_back(sessions.create());
    clock.t += seconds(1);
  }
  EXPECT_TRUE(sessions.find(made[0].id));  // the oldest login, though just used, goes first
  for (int i = 3; i < 5; ++i) {
    made.push_back(sessions.create());
    clock.t += seconds(1);
  }
  EXPECT_FALSE(sessions.find(made[0].id));
  EXPECT_FALSE(sessions.find(made[1].id));
  for (int i = 2; i < 5; ++i) EXPECT_TRUE(sessions.find(made[i].id)) << i;
}

TEST(SessionStore, EndsWhenTheCredentialsChange) {
  testing::TempRoot root(false);
  SessionPolicy policy;
  policy.generation = admin_password_fingerprint;
  SessionStore sessions(policy);
  set_admin_password("first password", 1000);
  auto s = sessions.create();
  EXPECT_TRUE(sessions.find(s.id));
  set_admin_password("first password", 1000);  // even the same password again: a new salt
  EXPECT_FALSE(sessions.find(s.id));
  auto t = sessions.create();
  EXPECT_TRUE(sessions.find(t.id));
  fs::remove(admin_password_path());
  EXPECT_FALSE(sessions.find(t.id));
  EXPECT_EQ(admin_password_fingerprint(), "");
}

TEST(LoginThrottle, ReserveCountsTheAttemptBeforeItsCheck) {
  FakeClock clock;
  LoginThrottle throttle(3, seconds(300), clock.fn());
  // Four attempts may start at once; the fifth, with none of the four finished, must wait.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(throttle.reserve("10.0.0.1").count(), 0) << i;
  EXPECT_EQ(throttle.reserve("10.0.0.1").count(), 1);
  EXPECT_EQ(throttle.reserve("10.0.0.1").count(), 1);  // a refused attempt is not counted
  clock.t += seconds(1);
  EXPECT_EQ(throttle.reserve("10.0.0.1").count(), 0);
  EXPECT_EQ(throttle.wait_for("10.0.0.1").count(), 2);
  throttle.succeeded("10.0.0.1");  // the last one was right after all
  EXPECT_EQ(throttle.reserve("10.0.0.1").count(), 0);
}

TEST(LoginThrottle, WaitsDoubleAfterTheFreeFailuresUpToTheCap) {
  FakeClock clock;
  LoginThrottle throttle(3, seconds(5), clock.fn());
  // failures so far -> wait demanded right after the last one
  const std::pair<int, int> rows[] = {{1, 0}, {2, 0}, {3, 0}, {4, 1}, {5, 2}, {6, 4}, {7, 5}, {8, 5}};
  for (auto [failures, wait] : rows) {
    throttle.failed("10.0.0.1");
    EXPECT_EQ(throttle.wait_for("10.0.0.1").count(), wait) << failures << " failures";
    clock.t += seconds(wait);
    EXPECT_EQ(throttle.wait_for("10.0.0.1").count(), 0) << failures << " failures, waited";
  }
  EXPECT_EQ(throttle.wait_for("10.0.0.2").count(), 0);  // other clients are not held up

  throttle.failed("10.0.0.1");
  EXPECT_GT(throttle.wait_for("10.0.0.1").count(), 0);
  throttle.succeeded("10.0.0.1");
  EXPECT_EQ(throttle.wait_for("10.0.0.1").count(), 0);
  for (int i = 0; i < 4; ++i) throttle.failed("10.0.0.1");
  EXPECT_EQ(throttle.wait_for("10.0.0.1").count(), 1);  // counting started over

  for (int i = 0; i < 10; ++i) throttle.failed("10.0.0.3");
  clock.t += hours(1);
  throttle.failed("10.0.0.3");  // an hour later the old failures are forgotten
  EXPECT_EQ(throttle.wait_for("10.0.0.3").count(), 0);
}

}  // namespace
}  // namespace rivi
