// A dispatch centre and probe nodes serving on their own threads, for tests and benchmarks that
// link the dispatch library. Each is stopped and joined on destruction.
#pragma once

#include "dispatch/centre.h"
#include "dispatch/node.h"
#include "tests/support/testing.h"

#include <string>
#include <thread>

namespace rivi::testing {

class RunningNode {
 public:
  explicit RunningNode(dispatch::NodeOptions o) : node_(std::move(o)) {
    port_ = node_.bind("127.0.0.1", 0);
    thread_ = std::jthread([this] { node_.run(); });
    wait_for_port(port_);
  }
  ~RunningNode() { node_.stop(); }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  // Connections the node has accepted so far.
  std::size_t accepted() const { return node_.accepted(); }

 private:
  dispatch::NodeServer node_;
  int port_ = 0;
  std::jthread thread_;  // declared last: joined before the node is destroyed
};

class RunningCentre {
 public:
  explicit RunningCentre(dispatch::CentreConfig c) : centre_(std::move(c)) {
    port_ = centre_.bind(free_port());
    thread_ = std::jthread([this] { centre_.run(); });
    wait_for_port(port_);
  }
  ~RunningCentre() { centre_.stop(); }
  int port() const { return port_; }

 private:
  dispatch::Centre centre_;
  int port_ = 0;
  std::jthread thread_;
};

}  // namespace rivi::testing
