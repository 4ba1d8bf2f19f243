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

IdleConnections::Admission IdleConnections::admit(const std::string& peer, std::size_t open) {
  std::lock_guard lock(mutex_);
  const auto own = peers_.find(peer);
  const std::size_t held = own == peers_.end() ? 0 : own->second.size();
  if (share_ > 0 && held >= share_) return {true, take_oldest(peer)};
  if (open < capacity_) return {};
  const Peer* heaviest = nullptr;
  const std::string* heaviest_key = nullptr;
  for (const auto& [key, p] : peers_) {
    if (key != peer && (!heaviest || p.size() > heaviest->size())) {
      heaviest = &p;
      heaviest_key = &key;
    }
  }
  if (!heaviest || heaviest->size() < held) return {false, std::nullopt};
  const std::string victim = *heaviest_key;  // a copy: taking the last one erases the entry
  return {true, take_oldest(victim)};
}

void IdleConnections::idle(std::uint64_t id, const std::string& peer, bool served) {
  std::lock_guard lock(mutex_);
  if (places_.contains(id)) return;
  Peer& p = peers_[peer];
  auto& list = served ? p.served : p.fresh;
  list.push_back(id);
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

std::uint64_t IdleConnections::take_oldest(const std::string& peer) {
  Peer& p = peers_.at(peer);
  const std::uint64_t id = p.served.empty() ? p.fresh.front() : p.served.front();
  erase(places_.find(id));
  return id;
}

void IdleConnections::erase(std::unordered_map<std::uint64_t, Place>::iterator place) {
  const auto p = peers_.find(place->second.peer);
  (place->second.served ? p->second.served : p->second.fresh).erase(place->second.at);
  if (p->second.size() == 0) peers_.erase(p);
  places_.erase(place);
}

}  // namespace rivi::http
