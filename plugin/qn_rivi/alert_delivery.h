// Sending what the outbox (outbox.h) holds due: one pass claims a message, sends it through the
// host's sender, settles it, and goes on until nothing is due or its time is up. A probe run
// makes one bounded pass right after storing its row; `panel serve` runs `keep_alert_delivery` on
// its upkeep thread, which makes a pass every few seconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <vector>

namespace rivi {

class send_mail;

struct DeliveryBudget {
  // The pass's time; zero: until nothing is due. A message is not begun after it, and one send
  // gets at most what is left of it (never below a second).
  std::chrono::seconds total{0};
  // The longest one send may take, below the channel's own `timeout`. It stays below the
  // outbox's lease, so that a slow send is never claimed a second time.
  long per_message = 300;
};

// A probe run's pass: a slow channel must not hold the run past its cycle.
inline constexpr DeliveryBudget kRunBudget{std::chrono::seconds(20), 20};
// A pass of `panel serve`'s upkeep: short enough for a stop to be obeyed soon.
inline constexpr DeliveryBudget kUpkeepBudget{std::chrono::seconds(120), 60};

// Sends the due messages through `sender`, those among `first` before the others, by the host's
// clock (`public_::now`), until none is due, the budget is spent or `stop` is requested. A
// recipient whose send failed is not tried again in the same pass. Answers the messages
// delivered (a digest counts once). Throws std::runtime_error from the store.
std::int64_t deliver_due(send_mail& sender, const std::vector<std::int64_t>& first, const DeliveryBudget& budget,
                         std::stop_token stop = {});

struct AlertUpkeepOptions {
  std::chrono::milliseconds first{std::chrono::seconds(1)};  // from the start to the first pass
  std::chrono::milliseconds every{std::chrono::seconds(10)};  // between two passes
  // One pass; empty: the plug-in's own (`qn_rivi_main::send_alerts` with `kUpkeepBudget`).
  std::function<void(std::stop_token)> pass;
};

// Runs `options.pass` after `options.first` and then every `options.every` until `stop`, and
// purges the outbox's settled rows older than `outbox::kKeepDays` hourly. A failed pass is
// reported on standard error (once while it keeps failing the same way) and tried again.
void keep_alert_delivery(std::stop_token stop, const AlertUpkeepOptions& options);

}  // namespace rivi
