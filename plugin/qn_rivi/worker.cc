// The worker `rivi_worker <task id>`: one probe run of a task, as a scheduled job starts it through
// the launcher `rivi`. When it lies in <root>/plugin/qn_rivi/ it takes <root> as the panel root,
// whatever the working directory; elsewhere (a build tree) PANEL_ROOT applies. It prints the answer
// of `start` as one line of JSON. Exit status: 0 when the run stored its result; 3 when it stored
// nothing (the answer is an envelope: no such task, the dispatch centre unreachable, too slow,
// answering garbage or refusing), with a line saying so on standard error; 4 when its result could
// be kept neither in the database nor in the spool (a full disk; the reason is printed on
// standard error); 1 on another error, printed on standard error; 2 for a wrong command line. A
// result kept in the spool counts as stored (it is replayed later). Its standard error is the
// job's log, where the scheduler's accounting reads the reason of a run that stored nothing.
#include "host/journal.h"
#include "host/paths.h"
#include "host/record.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/run_store.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace {
constexpr int kNothingStored = 3;
constexpr int kNowhereToStore = 4;
}  // namespace

int main(int argc, char** argv) {
  using rivi::journal::Priority;
  if (argc != 2) {
    rivi::journal::log_line(Priority::err, "usage: rivi_worker <task id>");
    return 2;
  }
  const auto say = [&](Priority priority, const std::string& what) {
    rivi::journal::log_line(priority, std::string("rivi_worker: task ") + argv[1] + ": " + what);
  };
  try {
    const std::filesystem::path dir = rivi::executable_dir();
    if (dir.filename() == "qn_rivi" && dir.parent_path().filename() == "plugin") {
      const std::string root = dir.parent_path().parent_path().string();
      if (setenv("PANEL_ROOT", root.c_str(), 1) != 0) throw std::runtime_error("cannot set PANEL_ROOT");
    }
    rivi::load_qn_rivi_module();
    rivi::qn_rivi_main plugin;
    rivi::Record args = rivi::Record::object();
    args["id"] = argv[1];
    const rivi::Record answer = plugin.start(args);
    std::cout << rivi::encode(answer) << std::endl;
    // `start` answers a record with `status` exactly when it stored no row.
    if (answer.is_object() && answer.contains("status")) {
      say(Priority::warning, "the run stored no result");
      return kNothingStored;
    }
    return 0;
  } catch (const rivi::run_store::NotStored& error) {
    std::cout << std::flush;
    say(Priority::err, error.what());
    return kNowhereToStore;
  } catch (const std::exception& error) {
    std::cout << std::flush;
    say(Priority::err, error.what());
    return 1;
  } catch (...) {
    std::cout << std::flush;
    say(Priority::err, "an unexpected failure");
    return 1;
  }
}
