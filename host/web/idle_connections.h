// The server's idle connections by the address they come from, and which one to close to let a
// newcomer in, so that no one address can fill the server with connections that carry nothing.
//
// A connection is idle while no request of it is being handled: waiting for a TLS handshake, for
// a request's head or body, or kept alive between requests. Connections with a request in flight
// are never counted nor closed here: a client may keep any number of requests in flight.
//
// For a newcomer from address A while `open` connections are open:
//   - when A holds `share` idle connections or more, one of them is closed for it: the one kept
//     alive idle the longest after an answer, else the one waiting the longest for its first
//     request, if it has waited `grace` at least;
//   - else (or when all of A's are newer than that), when the server is full, the idle connection
//     of the address holding the most idle ones is closed for it, the same one as above but
//     whatever its age, if that address holds at least as many as A; when that is A itself, or
//     nobody holds an idle connection, the newcomer is refused.
// A client that reuses a kept-alive connection closed under it retries on a new one, while a
// connection closed before its first answer is a failed request: so kept-alive ones go first, and
// a burst of new connections from one client (hundreds of requests arriving together at the
// dispatch centre, each opening a TLS connection to a node) is not cut short by its own share.
// One address's idle connections are thus bounded by its share and what it opens within `grace`,
// and a newcomer from another address is let in rather than refused as long as anybody holds an
// idle connection.
//
// IPv6 peers are counted by their /64 network, the block one machine usually holds; IPv4 (also
// IPv4-mapped IPv6) by their address. Thread-safe.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace rivi::http {

// The key a peer's connections are counted under (see above).
std::string peer_key(const boost::asio::ip::address& address);

class IdleConnections {
 public:
  using Clock = std::chrono::steady_clock;

  // `capacity`: the connections the server keeps open; `share`: the idle connections one address
  // may hold before one of its own makes way (0: no share, only the whole capacity counts);
  // `grace`: how long a connection waiting for its first request is spared by its own address's
  // share.
  IdleConnections(std::size_t capacity, std::size_t share, Clock::duration grace)
      : capacity_(capacity), share_(share), grace_(grace) {}

  struct Admission {
    bool admit = true;
    std::optional<std::uint64_t> evict;  // the idle connection to close for the newcomer
  };
  // Decides for a newcomer from `peer` while `open` connections are open, at `now`. The
  // connection to evict is no longer counted from here on.
  Admission admit(const std::string& peer, std::size_t open, Clock::time_point now = Clock::now());

  // Connection `id` from `peer` is idle from `now` on; `served`: it has answered a request before.
  // A connection counted already keeps its place.
  void idle(std::uint64_t id, const std::string& peer, bool served, Clock::time_point now = Clock::now());
  // Connection `id` carries a request from now on, or is gone.
  void busy(std::uint64_t id);

  // Idle connections of `peer` now.
  std::size_t idle_of(const std::string& peer) const;

 private:
  struct Waiting {
    std::uint64_t id;
    Clock::time_point since;
  };
  struct Peer {
    std::list<Waiting> served;  // oldest first
    std::list<Waiting> fresh;   // oldest first
    std::size_t size() const { return served.size() + fresh.size(); }
  };
  struct Place {
    std::string peer;
    bool served;
    std::list<Waiting>::iterator at;
  };

  // Takes `peer`'s first connection to close (it holds one) off the count and answers it.
  std::uint64_t take_first(Peer& peer);
  void erase(std::unordered_map<std::uint64_t, Place>::iterator place);

  const std::size_t capacity_;
  const std::size_t share_;
  const Clock::duration grace_;
  mutable std::mutex mutex_;
  std::map<std::string, Peer> peers_;  // only peers holding an idle connection
  std::unordered_map<std::uint64_t, Place> places_;
};

}  // namespace rivi::http
