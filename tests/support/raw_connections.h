// Raw TCP connections to a server on 127.0.0.1, held open until closed or destroyed: clients that
// hold a server's descriptors, that send a request and hang up, or that read an answer to its end.
#pragma once

#include <string>
#include <vector>

namespace rivi::testing {

class RawConnections {
 public:
  // Opens `count` connections to 127.0.0.1:`port` (those the system refuses are left out).
  RawConnections(int port, int count);
  ~RawConnections() { close(); }
  RawConnections(const RawConnections&) = delete;
  RawConnections& operator=(const RawConnections&) = delete;

  // Sends `data` on every connection.
  void send_all(const std::string& data);
  // Sends `data` on the first connection and answers all that comes back until the server closes
  // it (or 20 s pass).
  std::string exchange(const std::string& data);
  // Closes every connection: their clients hang up.
  void close();

 private:
  std::vector<int> fds_;
};

// The request text of an url-encoded form `form` POSTed to `path`.
std::string form_post(const std::string& path, const std::string& form);

}  // namespace rivi::testing
