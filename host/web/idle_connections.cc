#include "host/web/idle_connections.h"

namespace rivi::http {

std::string peer_key(const boost::asio::ip::address& address) {
  if (address.is_v4()) return address.to_string();
  const auto v6 = address.to_v6();
  if (v6.is_v4_mapped()) return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).to_string();
  auto bytes = v6.to_bytes();
  for (std::size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
  return boost::asio::ip::address_v6(bytes).to_string() + "/64";
}

IdleConnections::Admission IdleConnections::admit(const std::string& peer, std::size_t open, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const auto own = peers_.find(peer);
  const std::size_t held = own == peers_.end() ? 0 : own->second.size();
  if (share_ > 0 && held >= share_) {
    Peer& p = own->second;
    if (!p.served.empty() || now - p.fresh.front().since >= grace_) return {true, take_first(p)};
  }
  if (open < capacity_) return {};
  auto heaviest = peers_.end();
  for (auto it = peers_.begin(); it != peers_.end(); ++it) {
    if (it != own && (heaviest == peers_.end() || it->second.size() > heaviest->second.size())) heaviest = it;
  }
  if (heaviest == peers_.end() || heaviest->second.size() < held) return {false, std::nullopt};
  return {true, take_first(heaviest->second)};
}

void IdleConnections::idle(std::uint64_t id, const std::string& peer, bool served, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  if (places_.contains(id)) return;
  Peer& p = peers_[peer];
  auto& list = served ? p.served : p.fresh;
  list.push_back({id, now});
  places_.emplace(id, Place{peer, served, std::prev(list.end())});
}

void IdleConnections::busy(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  if (const auto place = places_.find(id); place != places_.end()) erase(place);
}

std::size_t IdleConnections::idle_of(const std::string& peer) const {
  std::lock_guard lock(mutex_);
  const auto p = peers_.find(peer);
  return p == peers_.end() ? 0 : p->second.size();
}

std::uint64_t IdleConnections::take_first(Peer& peer) {
  const std::uint64_t id = peer.served.empty() ? peer.fresh.front().id : peer.served.front().id;
  erase(places_.find(id));  // may erase `peer` itself
  return id;
}

void IdleConnections::erase(std::unordered_map<std::uint64_t, Place>::iterator place) {
  const auto p = peers_.find(place->second.peer);
  (place->second.served ? p->second.served : p->second.fresh).erase(place->second.at);
  if (p->second.size() == 0) peers_.erase(p);
  places_.erase(place);
}

}  // namespace rivi::http
