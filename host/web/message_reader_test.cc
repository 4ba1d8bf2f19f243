// The request reader the server core reads every connection through, fed 100,000 requests made
// by mutating well-formed ones (a fixed seed: every run feeds the same bytes), each handed over in
// pieces of random sizes the way reads from a socket come. Whatever the bytes, the reader keeps no
// more than the head's bound buffered, and every request it passes on is within its bounds, with
// no Transfer-Encoding but `chunked` alone; every refusal is a 400, 413 or 431.
#include "host/web/message_reader.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/http/read.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace rivi::http {
namespace {

namespace bhttp = boost::beast::http;
using Reader = MessageReader<true>;

constexpr Reader::Bounds kBounds{1024, 16, 2048};

// A stream handing out `bytes` in pieces of 1 to 600 bytes, then the end of the stream.
class Pieces {
 public:
  Pieces(std::string_view bytes, std::mt19937_64& random) : bytes_(bytes), random_(random) {}

  template <class Buffers>
  std::size_t read_some(const Buffers& buffers, boost::system::error_code& ec) {
    if (at_ == bytes_.size()) {
      ec = boost::asio::error::eof;
      return 0;
    }
    const std::size_t piece = std::min<std::size_t>(1 + random_() % 600, bytes_.size() - at_);
    const std::size_t n = boost::asio::buffer_copy(buffers, boost::asio::buffer(bytes_.data() + at_, piece));
    at_ += n;
    ec = {};
    return n;
  }
  template <class Buffers>
  std::size_t read_some(const Buffers& buffers) {
    boost::system::error_code ec;
    const std::size_t n = read_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }

 private:
  std::string_view bytes_;
  std::mt19937_64& random_;
  std::size_t at_ = 0;
};

// What reading one connection's bytes came to: the requests passed on, and how it ended.
struct Reading {
  std::vector<bhttp::request<bhttp::string_body>> requests;
  Fault fault;  // none: the bytes ran out, between requests or within one
};

// Reads requests off `bytes` as the server core does (the head, its checks, the body, the trailer
// check), until a refusal or the end; checks the buffer's bound after every read.
Reading read_all(std::string_view bytes, std::mt19937_64& random) {
  Reading out;
  Reader reader(kBounds);
  Pieces stream(bytes, random);
  while (true) {
    auto& parser = reader.next();
    boost::system::error_code ec;
    bhttp::read_header(stream, reader.buffer(), parser, ec);
    EXPECT_LE(reader.buffer().size(), kBounds.head_bytes);
    if (ec) {
      out.fault = reader.fault_of(ec);
      return out;
    }
    if ((out.fault = reader.check_head())) return out;
    if (!parser.is_done()) {
      bhttp::read(stream, reader.buffer(), parser, ec);
      EXPECT_LE(reader.buffer().size(), kBounds.head_bytes);
      if (ec) {
        out.fault = reader.fault_of(ec);
        return out;
      }
    }
    if ((out.fault = reader.finish())) return out;
    out.requests.push_back(parser.release());
  }
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// What any request passed on must hold to.
void check_request(const bhttp::request<bhttp::string_body>& r, const std::string& input) {
  const auto fields = static_cast<std::size_t>(std::distance(r.begin(), r.end()));
  EXPECT_LE(fields, kBounds.head_fields) << input;
  EXPECT_LE(r.body().size(), kBounds.body_bytes) << input;
  if (const auto te = r.find(bhttp::field::transfer_encoding); te != r.end()) {
    std::string value = lower(std::string_view(te->value().data(), te->value().size()));
    value.erase(std::remove_if(value.begin(), value.end(), [](char c) { return c == ' ' || c == '\t'; }), value.end());
    EXPECT_EQ(value, "chunked") << input;
    EXPECT_EQ(r.count(bhttp::field::transfer_encoding), 1u) << input;
    EXPECT_EQ(r.version(), 11u) << input;
  }
  if (const auto length = r.find(bhttp::field::content_length); length != r.end()) {
    // Digits, or a list of the same digits, as Beast takes them.
    EXPECT_EQ(r.body().size(), std::stoull(std::string(length->value()))) << input;
  }
}

const std::vector<std::string> kSeeds = {
    "GET /a?q=1 HTTP/1.1\r\nHost: x\r\nX-Test: yes\r\n\r\n",
    "POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello",
    "POST /c HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n3;n=v\r\nabc\r\n2\r\nde\r\n0\r\nX-Trailer: t\r\n\r\n",
    "POST /d HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0;last\r\n\r\n"
    "GET /e HTTP/1.1\r\nHost: x\r\n\r\n",
    "HEAD /f HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
    "POST /g HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Type: application/x-www-form-urlencoded\r\n"
    "Content-Length: 9\r\n\r\nurl=a%20b",
    "POST /h HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nA\r\n0123456789\r\n0\r\nX-Trailer: 1\r\nX-Trailer: 2\r\n\r\n",
};

// Pieces mutations splice in: framing tokens, long runs, hex sizes.
const std::vector<std::string> kTokens = {
    "\r\n", "\r\n\r\n", ";", ":", ",", " ", "\t", "0", "1", "f", "FFFFFFFF", "ffffffffffffffffff", "chunked", "identity",
    "Transfer-Encoding: ", "Transfer-Encoding: chunked\r\n", "Transfer-Encoding: chunked, identity\r\n",
    "Content-Length: ", "Content-Length: 10\r\n", "0\r\n\r\n", "0\r\nX-Trailer: x\r\n", "HTTP/1.0", "HTTP/1.1",
    "POST / HTTP/1.1\r\n", "\"", "=", "\x00", "\x7f", "\xff",
};

std::string mutate(std::string input, std::mt19937_64& random) {
  const auto pick = [&](std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(random() % n); };
  for (int steps = 1 + static_cast<int>(random() % 3); steps > 0; --steps) {
    const std::size_t at = pick(input.size() + 1);
    switch (random() % 10) {
      case 0:  // a byte changed
        if (!input.empty()) input[pick(input.size())] = static_cast<char>(random());
        break;
      case 1:  // a byte inserted
        input.insert(at, 1, static_cast<char>(random()));
        break;
      case 2:
      case 3:
      case 4:  // a token inserted
        input.insert(at, kTokens[pick(kTokens.size())]);
        break;
      case 5:  // a range removed
        input.erase(at, pick(32) + 1);
        break;
      case 6:  // a range repeated
        if (at < input.size()) {
          const std::string range = input.substr(at, pick(64) + 1);
          for (std::size_t n = pick(8) + 1; n > 0; --n) input.insert(at, range);
        }
        break;
      case 7:  // a long run: past the head's bound, or within it
        input.insert(at, pick(2) ? 1100 + pick(2000) : pick(600), "az;= \t:"[pick(7)]);
        break;
      default:  // another seed appended or spliced in
        input.insert(pick(2) ? input.size() : at, kSeeds[pick(kSeeds.size())]);
        break;
    }
  }
  return input;
}

TEST(MessageReader, ReadsTheSeedsWhole) {
  std::mt19937_64 random(1);
  std::vector<std::string> paths, bodies;
  for (const std::string& seed : kSeeds) {
    const Reading r = read_all(seed, random);
    EXPECT_FALSE(r.fault) << seed << ": " << r.fault.reason;
    for (const auto& request : r.requests) {
      check_request(request, seed);
      EXPECT_EQ(request.find("X-Trailer"), request.end()) << seed;  // trailers never become fields
      paths.emplace_back(request.target());
      bodies.push_back(request.body());
    }
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/a?q=1", "/b", "/c", "/d", "/e", "/f", "/g", "/h"}));
  EXPECT_EQ(bodies, (std::vector<std::string>{"", "hello", "abcde", "x", "", "", "url=a%20b", "0123456789"}));
}

TEST(MessageReader, HoldsItsBoundsWhateverTheBytes) {
  std::mt19937_64 random(20240611);
  std::map<int, int> statuses;
  std::set<std::string> reasons;
  std::size_t passed = 0;
  for (int i = 0; i < 100'000; ++i) {
    const std::string input = mutate(kSeeds[random() % kSeeds.size()], random);
    const Reading r = read_all(input, random);
    for (const auto& request : r.requests) check_request(request, input);
    passed += r.requests.size();
    if (r.fault) {
      ++statuses[r.fault.status];
      reasons.insert(r.fault.reason);
    }
    if (::testing::Test::HasFailure()) break;  // one input's failures are enough to read
  }
  // Every kind of refusal was met on the way, and plenty of requests were passed on.
  EXPECT_EQ(statuses.size(), 3u);
  for (const int status : {400, 413, 431}) EXPECT_GT(statuses[status], 10) << status;
  for (const char* reason : {"chunk extension too long", "bad or too long chunk extension", "trailer section too large",
                             "Transfer-Encoding other than chunked alone", "Transfer-Encoding on HTTP/1.0",
                             "request header fields too large", "payload too large"}) {
    EXPECT_TRUE(reasons.contains(reason)) << reason;
  }
  EXPECT_GT(passed, 20'000u);
}

}  // namespace
}  // namespace rivi::http
