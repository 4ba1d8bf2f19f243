// The task list (search, paging, latest run) and the lookup of one task, on a real panel root and
// SQLite database.
#include "host/public.h"
#include "host/record.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rivi {
namespace {

std::int64_t add_task(const std::string& name, const std::string& url) {
  return public_::M("rivi_task").insert(
      Record{{"name", name}, {"url", url}, {"status", 1}, {"cycle", 5}, {"addtime", 1781600000}});
}

void add_result(std::int64_t pid, std::int64_t addtime) {
  public_::M("rivi_list").insert(Record{{"pid", pid}, {"data", "[]"}, {"status", 1}, {"addtime", addtime}});
}

std::vector<std::int64_t> ids_of(const Record& rows) {
  std::vector<std::int64_t> ids;
  for (const Record& row : rows) ids.push_back(row.at("id").get<std::int64_t>());
  return ids;
}

class TaskListTest : public ::testing::Test {
 protected:
  testing::TempRoot root_;
  qn_rivi_main plugin_;
};

TEST_F(TaskListTest, SearchByWholeNameOrPartOfUrl) {
  const std::int64_t home = add_task("home", "http://example.com/");
  const std::int64_t quote = add_task("it's mine", "https://shop.example.org/cart");
  const std::int64_t odd = add_task("Shop", "https://a_b.test/x%y");
  const std::int64_t blog = add_task("blog", "http://blog.test/");

  struct Case {
    const char* search;
    std::vector<std::int64_t> expected;
  };
  const Case cases[] = {
      {"", {blog, odd, quote, home}},      // the pattern is the two wildcards alone
      {"home", {home}},                    // whole name
      {"hom", {}},                         // part of a name that is not in its url
      {"EXAMPLE", {quote, home}},          // url comparison ignores ASCII case
      {"shop", {quote}},                   // the name must match exactly, case included
      {"a%b", {odd}},                      // "%" is a wildcard in the url comparison
      {"shop_example", {quote}},           // and so is "_"
      {"it's mine", {quote}},              // a quote is matched literally
      {"' OR '1'='1", {}},                 // request text never becomes SQL
      {"blog.test/'--", {}},
  };
  for (const Case& c : cases) {
    Record args{{"search", c.search}};
    const Record answer = plugin_.get_list(args);
    EXPECT_EQ(ids_of(answer.at("data")), c.expected) << c.search;
    EXPECT_EQ(answer.at("page"), public_::get_page(static_cast<std::int64_t>(c.expected.size()), 1, 12))
        << c.search;
  }

  Record all = Record::object();
  EXPECT_EQ(ids_of(plugin_.get_list(all).at("data")), (std::vector<std::int64_t>{blog, odd, quote, home}));
}

TEST_F(TaskListTest, LastRunTimeIsTheAddtimeOfTheNewestResult) {
  const std::int64_t never = add_task("never", "http://a.test/");
  const std::int64_t twice = add_task("twice", "http://b.test/");
  const std::int64_t once = add_task("once", "http://c.test/");
  add_result(twice, 200);
  add_result(once, 300);
  add_result(twice, 100);  // newest by id although older by addtime

  Record args = Record::object();
  const Record answer = plugin_.get_list(args);
  EXPECT_EQ(encode(answer.at("data")),
            encode(Record::array({
                Record{{"id", once}, {"name", "once"}, {"url", "http://c.test/"}, {"status", 1}, {"cycle", 5},
                       {"addtime", 1781600000}, {"last_run_time", 300}},
                Record{{"id", twice}, {"name", "twice"}, {"url", "http://b.test/"}, {"status", 1}, {"cycle", 5},
                       {"addtime", 1781600000}, {"last_run_time", 100}},
                Record{{"id", never}, {"name", "never"}, {"url", "http://a.test/"}, {"status", 1}, {"cycle", 5},
                       {"addtime", 1781600000}, {"last_run_time", nullptr}},
            })));
}

TEST_F(TaskListTest, Paging) {
  Record empty_args = Record::object();
  const Record empty = plugin_.get_list(empty_args);
  EXPECT_EQ(empty.begin().key(), "page");
  EXPECT_EQ(empty.at("page"), public_::get_page(0, 1, 12));
  EXPECT_EQ(empty.at("data"), Record::array());
  EXPECT_EQ(empty_args.at("p"), 1);  // the default, stored back as a whole number

  std::vector<std::int64_t> ids;
  for (int i = 0; i < 13; ++i) ids.push_back(add_task("t" + std::to_string(i), "http://t.test/"));

  Record first = Record::object();
  EXPECT_EQ(ids_of(plugin_.get_list(first).at("data")), std::vector<std::int64_t>(ids.rbegin(), ids.rbegin() + 12));

  Record second{{"p", "2"}};
  const Record page2 = plugin_.get_list(second);
  EXPECT_EQ(second.at("p"), 2);
  EXPECT_EQ(page2.at("page"), public_::get_page(13, 2, 12));
  EXPECT_EQ(ids_of(page2.at("data")), std::vector<std::int64_t>{ids.front()});

  Record beyond{{"p", "3"}};
  EXPECT_EQ(plugin_.get_list(beyond).at("data"), Record::array());

  Record bad{{"p", "two"}};
  EXPECT_THROW(plugin_.get_list(bad), std::invalid_argument);
}

TEST_F(TaskListTest, FindOneTask) {
  const std::int64_t id = add_task("home", "http://example.com/");

  Record by_text{{"id", std::to_string(id)}};
  EXPECT_EQ(encode(plugin_.get_find(by_text)),
            "{\"id\": " + std::to_string(id) +
                ", \"name\": \"home\", \"url\": \"http://example.com/\", \"status\": 1, \"cycle\": 5, "
                "\"addtime\": 1781600000}");
  Record unknown{{"id", "999"}};
  EXPECT_EQ(plugin_.get_find(unknown), nullptr);
  Record missing = Record::object();
  EXPECT_EQ(plugin_.get_find(missing), public_::returnMsg(false, "错误的参数!"));
}

}  // namespace
}  // namespace rivi
