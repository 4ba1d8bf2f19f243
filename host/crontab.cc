// The host table `crontab` and the scheduler interface over it.
#include "host/crontab.h"

#include "host/store.h"

#include <stdexcept>

namespace rivi {

void create_crontab_table(Connection& db) {
  db.exec_script(R"sql(
CREATE TABLE IF NOT EXISTS crontab (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT, type TEXT, where1 TEXT, where_hour TEXT, where_minute TEXT, week TEXT,
  sType TEXT, sName TEXT, sBody TEXT, backupTo TEXT, save TEXT, urladdress TEXT,
  status INTEGER DEFAULT 1, addtime TEXT
);)sql");
}

Record crontab::AddCrontab(const Record&) { throw std::logic_error("AddCrontab is not available yet"); }
Record crontab::modify_crond(const Record&) { throw std::logic_error("modify_crond is not available yet"); }
Record crontab::set_cron_status(const Record&) { throw std::logic_error("set_cron_status is not available yet"); }
Record crontab::DelCrontab(const Record&) { throw std::logic_error("DelCrontab is not available yet"); }

}  // namespace rivi
