// Plug-in core: module load, the class-level paths, construction and the store's schema.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/paths.h"
#include "host/public.h"

#include <fmt/format.h>
#include <unistd.h>

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
// with a million result rows both need an index to stay in milliseconds.
constexpr const char* kCreateListIndexes =
    "CREATE INDEX IF NOT EXISTS rivi_list_pid_id ON rivi_list (pid, id)";
constexpr const char* kCreateListTimeIndex =
    "CREATE INDEX IF NOT EXISTS rivi_list_addtime ON rivi_list (addtime)";

// Rolls back an open transaction unless it was committed.
class Transaction {
 public:
  explicit Transaction(Query& q) : q_(q) { q_.execute("BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) {
      try {
        q_.execute("ROLLBACK");
      } catch (...) {
      }
    }
  }
  void commit() {
    q_.execute("COMMIT");
    done_ = true;
  }

 private:
  Query& q_;
  bool done_ = false;
};

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

  if (public_::M("sqlite_master").where("type=? AND name=?", Record::array({"table", "rivi_task"})).count() != 0) return;

  auto task = public_::M("rivi_task");
  task.execute(kCreateTaskTable, Record::array());
  task.execute(kCreateListTable, Record::array());
  task.execute(kCreateListIndexes, Record::array());
  task.execute(kCreateListTimeIndex, Record::array());

  // Two first constructions at once must still leave one registration row.
  auto nodes = public_::M("nodes");
  Transaction tx(nodes);
  if (nodes.where("name=?", "coll_rivi").count() == 0) {
    nodes.insert(Record{{"name", "coll_rivi"}, {"title", "拔测监控"}, {"level", 1}, {"sort", 10.0},
                        {"state", 1}, {"p_nid", 0}, {"ps", ""}});
  }
  tx.commit();
}

}  // namespace rivi
