// Alerts of certificates about to expire: "[证书将过期] <task>" when a certificate the task's
// lines were served in its latest run (certificates.h) comes within `cert_warn_days` (line_rules.h;
// 0: no such alerts), 7 or 1 days of its expiry (the thresholds at or below `cert_warn_days`), once
// per threshold per certificate (by fingerprint): a certificate first seen past several thresholds
// gives one alert. "[证书已续期] <task>" follows, when recovery notices are wanted, once no line is
// served a certificate that was warned about and a line is served one that expires later. Sent
// whatever the alert mode, through the outbox as change alerts. Table `rivi_cert_alert` keeps the
// lowest threshold warned of for each certificate of a task, and whether it was seen renewed.
#pragma once

#include "plugin/qn_rivi/outbox.h"

#include <cstdint>
#include <string>
#include <vector>

namespace rivi {

class Connection;

namespace cert_alerts {

void create_tables(Connection& db);

// The alerts the latest run of task `pid` (named `name`, probing `url`) gives; each is marked as
// sent. Runs on `db` inside the caller's transaction.
std::vector<outbox::Alert> after_run(Connection& db, std::int64_t pid, const std::string& name, const std::string& url,
                                     bool recovery, std::int64_t now);

}  // namespace cert_alerts
}  // namespace rivi
