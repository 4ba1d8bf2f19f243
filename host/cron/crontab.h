// The host scheduler's interface: the jobs of the host table `crontab`. Adds, rewrites, switches
// and deletes job rows; the scheduler (host/scheduler.h) reads the table and runs them.
//
// An identifier that names no job (null, empty, unknown) changes nothing and answers a failure
// envelope. A `status` carried by `modify_crond` is applied at once and counts as the switch that
// a following `set_cron_status` asks for, so the pair lands on the carried status in either order.
//
// Job rows are written through the store accessor, so inside an open `transaction` (host/store.h)
// they commit or roll back with it. The run log files of a deleted job are removed at once.
#pragma once

#include "host/record.h"

namespace rivi {

class Connection;

// Creates the host table `crontab` when missing (called by `create_host_tables`).
void create_crontab_table(Connection& db);

class crontab {
 public:
  // `job` carries name, type, where1, hour, minute, week, sType, sName, backupTo, save, sBody,
  // urladdress. Stores a running job; answers {"status": true, "msg": ..., "id": new id}.
  Record AddCrontab(const Record& job);
  // Rewrites the job `job.id` from the record's fields, including its `status`.
  Record modify_crond(const Record& job);
  // Switches the job `job.id` between running and stopped.
  Record set_cron_status(const Record& job);
  // Deletes the job `job.id`.
  Record DelCrontab(const Record& job);
};

}  // namespace rivi
