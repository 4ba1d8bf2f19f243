// A bound on the header lines one libcurl transfer takes. libcurl 7.88 keeps every header and
// trailer line of a reply (for curl_easy_header) without bounding their sum, whether or not
// anybody reads them: a peer answering trailer lines without end grows the process by hundreds
// of MiB a second until the transfer's time-out. (A chunk extension without end costs libcurl no
// memory: it skips those bytes.)
//
// Set `HeaderCap::take` as CURLOPT_HEADERFUNCTION and a `HeaderCap` living as long as the
// transfer as CURLOPT_HEADERDATA: once the lines taken pass `limit` bytes the transfer fails with
// CURLE_WRITE_ERROR and `over` is set. Works with libcurl linked or loaded (curl_loader.h): it
// calls no libcurl function.
#pragma once

#include <cstddef>

namespace rivi {

struct HeaderCap {
  // Far more than a reply's head and trailers need; what libcurl holds past it is one line
  // (libcurl caps a line at 100 KiB).
  static constexpr std::size_t kDefaultLimit = 256 * 1024;

  std::size_t limit = kDefaultLimit;
  std::size_t taken = 0;
  bool over = false;

  static std::size_t take(char* data, std::size_t size, std::size_t count, void* cap);
};

}  // namespace rivi
