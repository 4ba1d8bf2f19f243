// Plug-in core: module load, the class-level paths, construction and the store's schema.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/paths.h"
#include "host/public.h"
#include "plugin/qn_rivi/health.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace rivi {
namespace {

constexpr const char* kCreateTaskTable =
    "CREATE TABLE IF NOT EXISTS rivi_task ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "name STRING (64), "
    "url STRING (128), "
    "status INTEGER, "
    "cycle INTEGER, "
    "addtime INTEGER)";

constexpr const char* kCreateListTable =
    "CREATE TABLE IF NOT EXISTS rivi_list ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "pid INTEGER, "
    "data TEXT, "
    "status INTEGER, "
    "addtime INTEGER)";

// The probe log pages a task's results newest first and the retention purge selects by time;
// with a million result rows both need an index to stay in milliseconds. Databases laid out
// before the indexes existed get them at the next construction.
constexpr const char* kCreateListIndexes =
    "CREATE INDEX IF NOT EXISTS rivi_list_pid_id ON rivi_list (pid, id)";
constexpr const char* kCreateListTimeIndex =
    "CREATE INDEX IF NOT EXISTS rivi_list_addtime ON rivi_list (addtime)";

// Creates the indexes of `rivi_list` and the health tables that an existing database lacks. One
// read of the catalogue finds out; the statements run only when something is missing. The indexes
// of `rivi_list` are never made when `rivi_list` itself is missing (construction creates no
// result table once `rivi_task` exists).
void add_missing_schema() {
  const std::vector<std::string> list_names{"rivi_list", "rivi_list_pid_id", "rivi_list_addtime"};
  Record wanted = Record::array();
  std::string marks;
  for (const auto& names : {list_names, health::schema_names()}) {
    for (const auto& name : names) {
      wanted.push_back(name);
      marks += marks.empty() ? "?" : ", ?";
    }
  }
  Query catalogue = public_::M("sqlite_master");
  const Record found = catalogue.where("name IN (" + marks + ")", wanted).select();
  const auto present = [&](const std::string& name) {
    return std::any_of(found.begin(), found.end(), [&](const Record& row) { return row["name"] == name; });
  };
  if (present("rivi_list") && !std::all_of(list_names.begin(), list_names.end(), present)) {
    catalogue.execute(kCreateListIndexes, Record::array());
    catalogue.execute(kCreateListTimeIndex, Record::array());
  }
  const auto& health_names = health::schema_names();
  if (!std::all_of(health_names.begin(), health_names.end(), present)) health::create_tables(catalogue.connection());
}

// A recipient file that does not parse is read this many times, this far apart, before it is
// taken to be broken rather than caught half way through a rewrite.
constexpr int kMailListReads = 3;
constexpr auto kMailListPause = std::chrono::milliseconds(75);

// Reads the recipient list; a missing file becomes "[]". An editor rewrites the file in place
// (truncate, then write), so a reader must not destroy the list on what it saw at such a moment:
// an unreadable or empty file gives an empty list and is left as it is, and text that does not
// parse is read again after a pause and used once it parses. Only text that reads the same every
// time and never parses is reset to "[]", after its content is kept beside it. The list is empty
// whenever no read parsed.
Record load_mail_list(const std::string& path) {
  if (!std::filesystem::exists(path)) {
    public_::writeFile(path, "[]");
    return Record::array();
  }
  std::string broken;  // the first text that did not parse
  bool steady = true;  // every later read gave that same text
  for (int read = 1; read <= kMailListReads; ++read) {
    if (read > 1) std::this_thread::sleep_for(kMailListPause);
    const auto text = public_::ReadFile(path);
    if (!text || text->empty()) return Record::array();
    try {
      return decode(*text);
    } catch (const std::invalid_argument&) {
    }
    if (read == 1) broken = *text;
    else steady = steady && *text == broken;
  }
  if (!steady) return Record::array();
  public_::writeFile(fmt::format("{}.{}.bak", path, public_::now()), broken);
  // A writer that finished meanwhile keeps its text.
  if (public_::ReadFile(path) == broken) public_::writeFile(path, "[]");
  return Record::array();
}

}  // namespace

void load_qn_rivi_module() {
  // Relative paths of the host services resolve against the panel root. The host services are
  // linked into the program, so there is no module path to extend.
  const auto root = panel_root();
  if (::chdir(root.c_str()) != 0)
    throw std::runtime_error(fmt::format("cannot enter the panel root {}: {}", root.string(), std::strerror(errno)));
}

std::string qn_rivi_main::mail_config_() { return root_path("data/stmp_mail.json"); }
std::string qn_rivi_main::mail_list_data_() { return root_path("data/mail_list.json"); }
std::string qn_rivi_main::dingding_config_() { return root_path("data/dingding.json"); }

qn_rivi_main::qn_rivi_main() {
  mail_list_ = load_mail_list(mail_list_data_());

  if (public_::M("sqlite_master").where("type=? AND name=?", Record::array({"table", "rivi_task"})).count() != 0) {
    add_missing_schema();
    return;
  }

  auto task = public_::M("rivi_task");
  task.execute(kCreateTaskTable, Record::array());
  task.execute(kCreateListTable, Record::array());
  task.execute(kCreateListIndexes, Record::array());
  task.execute(kCreateListTimeIndex, Record::array());
  health::create_tables(task.connection());

  // Two first constructions at once must still leave one registration row.
  transaction tx;
  auto nodes = public_::M("nodes");
  if (nodes.where("name=?", "coll_rivi").count() == 0) {
    nodes.insert(Record{{"name", "coll_rivi"}, {"title", "拔测监控"}, {"level", 1}, {"sort", 10.0},
                        {"state", 1}, {"p_nid", 0}, {"ps", ""}});
  }
  tx.commit();
}

}  // namespace rivi
