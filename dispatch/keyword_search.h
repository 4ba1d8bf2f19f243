// A keyword searched as plain bytes in a body that arrives in pieces: a match spanning two pieces
// is found, and only the first `window` bytes of the body are searched (what comes later may still
// be read, for its size and speed, but is not looked at).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rivi::dispatch {

class KeywordSearch {
 public:
  // `keyword` must not be empty.
  KeywordSearch(std::string keyword, std::size_t window);
  KeywordSearch(const KeywordSearch&) = delete;
  KeywordSearch& operator=(const KeywordSearch&) = delete;

  // The next piece of the body.
  void feed(std::string_view piece);
  bool found() const { return found_; }

 private:
  const std::string keyword_;
  const std::size_t window_;
  std::size_t seen_ = 0;  // bytes searched so far
  std::string tail_;      // the last keyword-size - 1 bytes searched, for a match across pieces
  bool found_ = false;
};

}  // namespace rivi::dispatch
