// AddressLookup.
#include "dispatch/address_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>

namespace rivi::dispatch {

namespace {

// The text of an address literal, or "" when `host` is none.
std::string literal(std::string host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  unsigned char bytes[sizeof(in6_addr)];
  if (inet_pton(AF_INET, host.c_str(), bytes) == 1 || inet_pton(AF_INET6, host.c_str(), bytes) == 1) return host;
  return "";
}

// As libcurl asks: any family, stream sockets. Each address once, in the order given.
std::vector<std::string> resolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::vector<std::string> out;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return out;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, &freeaddrinfo);
  for (const addrinfo* a = found; a; a = a->ai_next) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a->ai_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, text, sizeof text);
    } else if (a->ai_family == AF_INET6) {
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr, text, sizeof text);
    } else {
      continue;
    }
    if (std::find(out.begin(), out.end(), text) == out.end()) out.emplace_back(text);
  }
  return out;
}

}  // namespace

AddressLookup::AddressLookup(const std::string& host) : shared_(std::make_shared<Shared>()) {
  if (std::string ip = literal(host); !ip.empty()) {
    shared_->addresses.push_back(std::move(ip));
    shared_->done = true;
    return;
  }
  try {
    // Detached: the thread holds the shared state, so it may outlive this object.
    std::thread([shared = shared_, host] {
      std::vector<std::string> found = resolve(host);
      std::lock_guard lock(shared->mutex);
      shared->addresses = std::move(found);
      shared->done = true;
      shared->ended.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    shared_->done = true;
  }
}

std::optional<std::vector<std::string>> AddressLookup::addresses() const { return wait(std::chrono::milliseconds(0)); }

std::optional<std::vector<std::string>> AddressLookup::wait(std::chrono::milliseconds longest) const {
  std::unique_lock lock(shared_->mutex);
  if (!shared_->ended.wait_for(lock, longest, [&] { return shared_->done; })) return std::nullopt;
  return shared_->addresses;
}

}  // namespace rivi::dispatch
