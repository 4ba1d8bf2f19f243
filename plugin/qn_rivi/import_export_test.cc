// Import and export on real stores: reading CSV (quotes, line breaks, separators of tags), guessing
// the format, lines named after their host, bad rows refused with their reasons, a dry run that
// writes nothing, applying through the single methods (jobs made), and the round trip of a
// document into a fresh root.
#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/import_export.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace rivi {
namespace {

TEST(ImportReading, CsvQuotesLineBreaksAndEmptyFields) {
  const auto records = import_export::csv_records("name,url\r\n\"a, \"\"b\"\"\",x\n\"two\nlines\",\n,\n");
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[1].fields, (std::vector<std::string>{"a, \"b\"", "x"}));
  EXPECT_EQ(records[2].fields, (std::vector<std::string>{"two\nlines", ""}));
  EXPECT_EQ(records[2].line, 3u);
  EXPECT_EQ(records[3].line, 5u);
  EXPECT_THROW(import_export::csv_records("a,\"b\n"), std::invalid_argument);
}

TEST(ImportReading, GuessesTheFormatAndNamesLinesAfterTheirHost) {
  EXPECT_EQ(import_export::guess_format("  {\"version\": 1}"), "json");
  EXPECT_EQ(import_export::guess_format("Name,URL,Cycle\nx,http://a/,5"), "csv");
  EXPECT_EQ(import_export::guess_format("https://a.test/x,y\nhttp://b/"), "lines");
  EXPECT_EQ(import_export::host_of("https://user:pw@Shop.Example.com:8443/a?b#c"), "Shop.Example.com");
  EXPECT_EQ(import_export::host_of("http://[2001:db8::1]:81/"), "[2001:db8::1]");

  const auto input = import_export::read("\n# a comment\nhttps://a.test/path\n  http://b.test  \nftp://c.test/\n", "");
  EXPECT_EQ(input.format, "lines");
  ASSERT_EQ(input.entries.size(), 3u);
  EXPECT_EQ(input.entries[0].name, "a.test");
  EXPECT_EQ(input.entries[0].cycle, 5);
  EXPECT_EQ(input.entries[0].row, 3u);
  EXPECT_EQ(input.entries[1].url, "http://b.test");
  EXPECT_EQ(input.entries[2].refusal, "URL地址必需包含http://或https://");
}

TEST(ImportReading, CsvRowsWithTheirTagsOrTheirReasons) {
  const auto input = import_export::read(
      "url,name,tags,cycle\n"
      "http://a.test/,\"甲, 乙\",web|生产;web,10\n"
      "http://b.test/,,,\n"
      "http://c.test/,c,,0\n"
      "http://d.test/,d,,x\n"
      "http://e.test/,e," + std::string(33, 't') + ",5\n"
      "http://a.test/,again,,5\n",
      "csv");
  ASSERT_EQ(input.entries.size(), 6u);
  EXPECT_EQ(input.entries[0].name, "甲, 乙");
  EXPECT_EQ(input.entries[0].cycle, 10);
  EXPECT_EQ(*input.entries[0].tags, (std::vector<std::string>{"web", "生产"}));
  EXPECT_EQ(input.entries[1].name, "b.test");
  EXPECT_EQ(input.entries[1].cycle, 5);
  EXPECT_EQ(input.entries[2].refusal, "拔测周期最短不能少于1分钟");
  EXPECT_EQ(input.entries[3].refusal, "拨测周期应为整数（分钟）！");
  EXPECT_NE(input.entries[4].refusal.find("标签长度应为1到32个字符"), std::string::npos);
  EXPECT_EQ(input.entries[5].refusal, "与第2行的URL重复");
  EXPECT_THROW(import_export::read("name,cycle\nx,5\n", "csv"), std::invalid_argument);
  EXPECT_THROW(import_export::read("{\"version\": 2, \"tasks\": []}", ""), std::invalid_argument);
  EXPECT_THROW(import_export::read("{nope", "json"), std::invalid_argument);
}

class ImportTest : public ::testing::Test {
 protected:
  static Record call(const std::string& method, Record args = Record::object()) { return call_web_method(method, args); }
  static Record import(const std::string& data, bool dry_run = false) {
    Record args{{"data", data}};
    if (dry_run) args["dry_run"] = "1";
    return call("import_tasks", args);
  }
  static std::string snapshot() {
    std::string all;
    for (const char* table : {"rivi_task", "rivi_tag", "rivi_check", "rivi_maintenance", "crontab", "logs"})
      all += encode(public_::M(table).select());
    return all;
  }

  std::unique_ptr<testing::TempRoot> root_ = std::make_unique<testing::TempRoot>();
  std::unique_ptr<qn_rivi_main> plugin_ = std::make_unique<qn_rivi_main>();
};

TEST_F(ImportTest, DryRunSaysWhatWouldHappenAndWritesNothing) {
  call("create", Record{{"name2", "same"}, {"url", "http://same.test/"}, {"cycle", "5"}});
  call("create", Record{{"name2", "old"}, {"url", "http://changed.test/"}, {"cycle", "5"}});
  const std::string csv =
      "name,url,cycle,tags\nsame,http://same.test/,5,\nnew,http://changed.test/,5,x\n"
      "fresh,http://fresh.test/,3,a|b\nbad,ftp://x/,5,\n";
  const std::string before = snapshot();
  const Record preview = import(csv, true);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(preview["dry_run"], true);
  EXPECT_EQ(preview["format"], "csv");
  EXPECT_EQ(preview["counts"], (Record{{"create", 1}, {"change", 1}, {"skip", 1}, {"refuse", 1}}));
  EXPECT_EQ(preview["data"][1]["changes"], Record::array({"name", "tags"}));
  EXPECT_EQ(preview["data"][3]["msg"], "URL地址必需包含http://或https://");

  const Record done = import(csv);
  EXPECT_EQ(done["counts"], preview["counts"]);
  const Record fresh = public_::M("rivi_task").where("url=?", "http://fresh.test/").find();
  EXPECT_EQ(fresh["name"], "fresh");
  EXPECT_EQ(public_::M("crontab").where("save=?", "rivi_id_" + std::to_string(to_int(fresh["id"]))).count(), 1);
  EXPECT_EQ(public_::M("rivi_task").where("url=?", "http://changed.test/").getField("name"), "new");
  // Applied, the same input now changes nothing.
  EXPECT_EQ(import(csv, true)["counts"], (Record{{"create", 0}, {"change", 0}, {"skip", 3}, {"refuse", 1}}));
}

TEST_F(ImportTest, ExportImportIntoAFreshRootAndExportAgainGivesTheSameDocument) {
  call("create", Record{{"name2", "商城"}, {"url", "https://shop.test/"}, {"cycle", "3"}});
  call("create", Record{{"name2", "api"}, {"url", "http://api.test/v1"}, {"cycle", "10"}});
  call("set_tags", Record{{"pid", "1"}, {"tags", "生产,web"}});
  call("set_checks", Record{{"pid", "2"}, {"expect_codes", "200-299"}, {"keyword", "ok"}, {"timeout_ms", "5000"}});
  call("set_maintenance", Record{{"pid", "2"}, {"kind", "weekly"}, {"weekdays", "1,3"}, {"at", "02:00"}, {"duration", "30"}});
  call("set_maintenance", Record{{"kind", "once"}, {"start", "1765170000"}, {"end", "1765173600"}, {"note", "全部"}});
  call("modify", Record{{"id", "1"}, {"status", "0"}});
  const Record first = call("export_tasks");
  ASSERT_EQ(first["tasks"].size(), 2u);
  EXPECT_EQ(first["tasks"][0]["tags"], Record::array({"web", "生产"}));
  EXPECT_EQ(first["tasks"][0]["status"], 0);

  plugin_.reset();
  root_.reset();
  root_ = std::make_unique<testing::TempRoot>();
  plugin_ = std::make_unique<qn_rivi_main>();
  call("create", Record{{"name2", "先有的"}, {"url", "http://other.test/"}, {"cycle", "5"}});
  const Record done = import(encode(first));
  EXPECT_EQ(done["counts"]["create"], 2);
  EXPECT_EQ(done["windows"], 1);
  Record again = call("export_tasks");
  again["tasks"].erase(0);  // the task the fresh root had before
  EXPECT_EQ(encode(again), encode(first));
  EXPECT_EQ(import(encode(first), true)["counts"]["skip"], 2);
  EXPECT_EQ(import(encode(first))["windows"], 0) << "a window of every task already there is not added twice";
}

}  // namespace
}  // namespace rivi
