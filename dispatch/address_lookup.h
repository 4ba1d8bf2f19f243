// Every address a probe's host name resolves to, in the resolver's order. libcurl tells only the
// address it connected to, so the name is asked once more, beside libcurl's own lookup and at the
// same time, on a thread of its own that owns what it writes: a lookup that outlasts its probe
// ends by itself and disturbs nothing. An address literal needs no lookup.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rivi::dispatch {

class AddressLookup {
 public:
  // Starts looking `host` up (a name, an IPv4 literal or a bracketed or bare IPv6 literal). When no
  // thread can be started, the lookup ends at once with no address.
  explicit AddressLookup(const std::string& host);

  // The addresses once the lookup has ended (none when the name did not resolve); nothing before.
  std::optional<std::vector<std::string>> addresses() const;
  // The same, waiting up to `longest` for the lookup to end.
  std::optional<std::vector<std::string>> wait(std::chrono::milliseconds longest) const;

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::vector<std::string> addresses;
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace rivi::dispatch
