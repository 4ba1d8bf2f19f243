#include "plugin/qn_rivi/test_gate.h"

#include "host/paths.h"
#include "host/store/store.h"
#include "host/store/store_retry.h"

namespace rivi::test_gate {

std::int64_t claim(const std::string& channel, std::int64_t now) {
  const auto shared = Connection::for_thread(database_path());
  Connection& db = *shared;
  std::int64_t wait = 0;
  retry_while_locked(db, StoreRetry{}, [&] {
    db.exec_script("CREATE TABLE IF NOT EXISTS rivi_channel_test (channel TEXT PRIMARY KEY, last INTEGER NOT NULL)");
    const std::int64_t changed = db.run(
        "INSERT INTO rivi_channel_test (channel, last) VALUES (?, ?) ON CONFLICT (channel) DO UPDATE SET last = excluded.last "
        "WHERE excluded.last >= rivi_channel_test.last + ? OR excluded.last < rivi_channel_test.last",
        Record::array({channel, now, kTestEvery}));
    if (changed == 1) {
      wait = 0;
      return;
    }
    const Record last = db.query("SELECT last FROM rivi_channel_test WHERE channel = ?", Record::array({channel}));
    wait = last.empty() ? 1 : std::max<std::int64_t>(1, to_int(last[0]["last"]) + kTestEvery - now);
  });
  return wait;
}

}  // namespace rivi::test_gate
