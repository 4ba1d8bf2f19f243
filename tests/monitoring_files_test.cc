// The files shipped for operators' monitoring: the Prometheus alerting rules pass promtool's check
// and their unit tests (series that trip each alert and series that do not), and the rules and
// the Grafana dashboard name only metric families that the panel and the dispatch centre expose,
// so that a renamed family breaks here rather than on an operator's screen.
#include "dispatch/node_stats.h"
#include "host/public.h"
#include "host/serve.h"
#include "plugin/qn_rivi/metrics.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace rivi {
namespace {

std::filesystem::path packaging(const std::string& relative) { return testing::source_dir() / "packaging" / relative; }

TEST(PrometheusRules, PassPromtoolsCheckAndTheirUnitTests) {
  const auto check = testing::run({"promtool", "check", "rules", packaging("prometheus/rivi.rules.yml").string()});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  const auto test = testing::run({"promtool", "test", "rules", packaging("prometheus/rivi.rules.test.yml").string()});
  EXPECT_EQ(test.status, 0) << test.out << test.err;
}

// Every family the panel's and the centre's /metrics declare (a histogram with its series).
std::set<std::string> exposed_families() {
  testing::TempRoot root;
  load_qn_rivi_module();
  const std::string text = panel_metrics() + scheduler_metrics(SchedulerCounters{}) + dispatch::NodeStats().metrics({});
  std::filesystem::current_path(testing::build_dir());
  std::set<std::string> names;
  std::istringstream lines(text);
  const std::regex type(R"(# TYPE (\S+) (\S+))");
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, type)) continue;
    names.insert(m[1]);
    if (m[2] == "histogram")
      for (const char* part : {"_bucket", "_sum", "_count"}) names.insert(m[1].str() + part);
  }
  return names;
}

// The rivi_ metric names in `text`.
std::set<std::string> named_in(const std::string& text) {
  std::set<std::string> names;
  const std::regex name(R"(\brivi_[a-z_]+)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), name); it != std::sregex_iterator(); ++it) names.insert(it->str());
  return names;
}

TEST(MonitoringFiles, NameOnlyExposedFamiliesAndTheDashboardTakesItsDataSourceAsAVariable) {
  const std::set<std::string> exposed = exposed_families();
  ASSERT_TRUE(exposed.count("rivi_task_up") && exposed.count("rivi_node_up")) << "no exposition read";

  const auto dashboard = nlohmann::json::parse(testing::read_file(packaging("grafana/rivi-dashboard.json")));
  std::string expressions;
  std::set<std::string> variables;
  for (const auto& v : dashboard.at("templating").at("list")) variables.insert(v.at("name").get<std::string>());
  ASSERT_TRUE(variables.count("datasource"));
  ASSERT_FALSE(dashboard.at("panels").empty());
  for (const auto& panel : dashboard.at("panels")) {
    const std::string title = panel.at("title").get<std::string>();
    // Imported anywhere: no data source of the machine it was made on.
    EXPECT_EQ(panel.at("datasource").at("uid"), "${datasource}") << title;
    ASSERT_FALSE(panel.at("targets").empty()) << title;
    for (const auto& target : panel.at("targets")) {
      EXPECT_EQ(target.at("datasource").at("uid"), "${datasource}") << title;
      const std::string expr = target.at("expr").get<std::string>();
      EXPECT_FALSE(named_in(expr).empty()) << title << ": " << expr;
      expressions += expr + "\n";
    }
  }
  for (const std::string& name : named_in(expressions)) EXPECT_TRUE(exposed.count(name)) << "the dashboard reads " << name;

  const std::set<std::string> ruled = named_in(testing::read_file(packaging("prometheus/rivi.rules.yml")));
  EXPECT_GE(ruled.size(), 6u);
  for (const std::string& name : ruled) EXPECT_TRUE(exposed.count(name)) << "the rules read " << name;
}

}  // namespace
}  // namespace rivi
