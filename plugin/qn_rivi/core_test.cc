#include "host/public.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace rivi {
namespace {

// The texts kept beside the recipient file (mail_list.json.<time>.bak) before it was reset.
std::vector<std::string> kept_copies(const testing::TempRoot& root) {
  std::vector<std::string> kept;
  for (const auto& e : std::filesystem::directory_iterator(root.file("data"))) {
    const auto name = e.path().filename().string();
    if (name.rfind("mail_list.json.", 0) == 0 && name.ends_with(".bak")) kept.push_back(root.read("data/" + name));
  }
  return kept;
}

// Saves `text` over the file at `path` (whole, by rename, as an editor does) as soon as someone
// has read the file once and closed it, so that the next read sees the new text.
class SaveAfterFirstRead {
 public:
  SaveAfterFirstRead(const std::string& path, const std::string& text) : fd_(::inotify_init1(IN_CLOEXEC)) {
    if (fd_ < 0 || ::inotify_add_watch(fd_, path.c_str(), IN_CLOSE_NOWRITE) < 0)
      throw std::runtime_error("cannot watch " + path);
    thread_ = std::thread([this, path, text] {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10000) == 1) {
        public_::writeFile(path, text);
        saved_ = true;
      }
    });
  }
  ~SaveAfterFirstRead() {
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  bool saved() {
    if (thread_.joinable()) thread_.join();
    return saved_;
  }

 private:
  int fd_;
  bool saved_ = false;
  std::thread thread_;
};

std::int64_t count_rows(const std::string& table, const std::string& where = "", Record params = Record::array()) {
  return public_::M(table).where(where, std::move(params)).count();
}

bool table_exists(const std::string& name) {
  return count_rows("sqlite_master", "type=? AND name=?", Record::array({"table", name})) != 0;
}

TEST(Construction, FirstStartCreatesTablesAndRegistersOnce) {
  testing::TempRoot root;
  qn_rivi_main first;
  EXPECT_TRUE(table_exists("rivi_task"));
  EXPECT_TRUE(table_exists("rivi_list"));
  const Record row = public_::M("nodes").where("name=?", "coll_rivi").find();
  EXPECT_EQ(encode(row),
            R"({"id": 1, "name": "coll_rivi", "title": "\u62d4\u6d4b\u76d1\u63a7", "level": 1, "sort": 10.0, "state": 1, "p_nid": 0, "ps": ""})");
  const std::string schema = public_::M("sqlite_master").where("name=?", "rivi_task").getField("sql");
  EXPECT_NE(schema.find("name STRING (64), url STRING (128)"), std::string::npos);
  qn_rivi_main second;
  EXPECT_EQ(count_rows("nodes"), 1);
}

TEST(Construction, ChecksOnlyTheTaskTable) {
  testing::TempRoot root;
  public_::M("nodes").execute("CREATE TABLE rivi_task (id INTEGER PRIMARY KEY)");
  qn_rivi_main plugin;
  EXPECT_FALSE(table_exists("rivi_list"));  // nothing is created once rivi_task exists
  EXPECT_EQ(count_rows("nodes"), 0);        // and nothing is registered
}

TEST(Construction, ExistingRegistrationIsNotDoubled) {
  testing::TempRoot root;
  public_::M("nodes").insert(Record{{"name", "coll_rivi"}, {"title", "x"}});
  qn_rivi_main plugin;
  EXPECT_TRUE(table_exists("rivi_list"));
  EXPECT_EQ(count_rows("nodes", "name=?", "coll_rivi"), 1);
}

TEST(Construction, RacingFirstStartsLeaveOneRegistration) {
  testing::TempRoot root;
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([] { qn_rivi_main plugin; });
  for (auto& t : threads) t.join();
  EXPECT_EQ(count_rows("nodes", "name=?", "coll_rivi"), 1);
}

TEST(RecipientList, MissingFileBecomesAnEmptyList) {
  testing::TempRoot root;
  qn_rivi_main plugin;
  EXPECT_EQ(plugin.return_mail_list(), Record::array());
  EXPECT_EQ(root.read("data/mail_list.json"), "[]");
}

TEST(RecipientList, ParsedValueIsKeptAsReadAndNotReloaded) {
  testing::TempRoot root;
  root.write("data/mail_list.json", R"(["a@example.com", "b@example.com"])");
  qn_rivi_main plugin;
  root.write("data/mail_list.json", R"(["c@example.com"])");
  EXPECT_EQ(encode(plugin.return_mail_list()), R"(["a@example.com", "b@example.com"])");
  EXPECT_EQ(root.read("data/mail_list.json"), R"(["c@example.com"])");
  root.write("data/mail_list.json", R"({"x@example.com": 1})");
  EXPECT_TRUE(qn_rivi_main().return_mail_list().is_object());
}

TEST(RecipientList, MalformedFileIsResetButItsTextIsKeptBeside) {
  testing::TempRoot root;
  root.write("data/mail_list.json", "a@example.com, b@example.com");
  qn_rivi_main plugin;
  EXPECT_EQ(plugin.return_mail_list(), Record::array());
  EXPECT_EQ(root.read("data/mail_list.json"), "[]");
  int kept = 0;
  for (const auto& e : std::filesystem::directory_iterator(root.file("data"))) {
    const auto name = e.path().filename().string();
    if (name.rfind("mail_list.json.", 0) == 0 && name.ends_with(".bak")) {
      ++kept;
      EXPECT_EQ(root.read("data/" + name), "a@example.com, b@example.com");
    }
  }
  EXPECT_EQ(kept, 1);
  root.write("data/mail_list.json", "");
  EXPECT_EQ(qn_rivi_main().return_mail_list(), Record::array());
}

TEST(RecipientList, TextThatNeverParsesIsResetAndKeptBeside) {
  const std::pair<const char*, std::string> cases[] = {
      {"a number beyond a real", R"(["a@example.com", 1e999])"},
      {"a negative number beyond a real", "-3e1888888"},
      {"lists nested 200000 deep", std::string(200000, '[') + std::string(200000, ']')},
      {"records nested 65 deep", [] {
         std::string t;
         for (int i = 0; i < 65; ++i) t += R"({"a": )";
         return t + "1" + std::string(65, '}');
       }()},
  };
  for (const auto& [label, text] : cases) {
    SCOPED_TRACE(label);
    testing::TempRoot root;
    root.write("data/mail_list.json", text);
    std::optional<qn_rivi_main> plugin;
    ASSERT_NO_THROW(plugin.emplace());
    EXPECT_EQ(plugin->return_mail_list(), Record::array());
    EXPECT_EQ(root.read("data/mail_list.json"), "[]");
    EXPECT_EQ(kept_copies(root), std::vector<std::string>{text});
  }
}

TEST(RecipientList, ReadCaughtMidRewriteWaitsForTheSavedText) {
  testing::TempRoot root;
  const std::string saved = R"(["a@example.com", "b@example.com"])";
  root.write("data/mail_list.json", R"(["a@example.com", "b@exa)");  // cut short by a rewrite
  SaveAfterFirstRead editor(root.file("data/mail_list.json"), saved);
  qn_rivi_main plugin;
  ASSERT_TRUE(editor.saved());
  EXPECT_EQ(encode(plugin.return_mail_list()), saved);
  EXPECT_EQ(root.read("data/mail_list.json"), saved);
  EXPECT_TRUE(kept_copies(root).empty());
}

TEST(RecipientList, EmptyFileIsAnEmptyListAndLeftAsItIs) {
  testing::TempRoot root;
  root.write("data/mail_list.json", "");  // what a reader sees between truncate and write
  qn_rivi_main plugin;
  EXPECT_EQ(plugin.return_mail_list(), Record::array());
  EXPECT_EQ(root.read("data/mail_list.json"), "");
  EXPECT_TRUE(kept_copies(root).empty());
}

TEST(ModuleLoad, EntersThePanelRoot) {
  testing::TempRoot root;
  load_qn_rivi_module();
  EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(root.path()));
  ::setenv("PANEL_ROOT", "/nonexistent/panel", 1);
  EXPECT_THROW(load_qn_rivi_module(), std::runtime_error);
  ::setenv("PANEL_ROOT", root.path().c_str(), 1);
}

}  // namespace
}  // namespace rivi
