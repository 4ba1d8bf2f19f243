#include "host/net/http_client.h"

#include "host/web/message_reader.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

namespace rivi {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

// Far more than any peer of ours sends in a reply head (or trailer section); a flood of header
// lines ends the exchange.
constexpr std::size_t kHeaderLimit = 64 * 1024;
constexpr std::size_t kHeaderFields = 256;

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Every address the host stands for, in the resolver's order; an address literal is taken as it
// is, without asking the resolver.
std::vector<tcp::endpoint> endpoints_of(asio::io_context& io, const HttpUrl& url) {
  const auto port = static_cast<unsigned short>(std::stoi(url.port));
  error_code ec;
  const auto address = asio::ip::make_address(url.host, ec);
  if (!ec) return {tcp::endpoint(address, port)};
  tcp::resolver resolver(io);
  const auto results = resolver.resolve(url.host, url.port, tcp::resolver::numeric_service, ec);
  if (ec) throw std::runtime_error(fmt::format("cannot resolve {}: {}", url.host, ec.message()));
  std::vector<tcp::endpoint> endpoints;
  for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  return endpoints;
}

// How an exchange ended: the final reply's body, or the failure and whether it came after the
// connection was made.
struct Outcome {
  error_code error;
  const char* refused = nullptr;  // the reply's framing is refused, for this reason
  bool connected = false;
  std::string body;
};

// One request and its reply on one connection. `run` drives it on `io` until it is over; the
// stream's deadline, set once, bounds connecting, writing and every read.
class Exchange {
 public:
  Exchange(asio::io_context& io, bhttp::request<bhttp::string_body> request, std::size_t cap)
      : stream_(io), request_(std::move(request)), reader_({kHeaderLimit, kHeaderFields, cap}) {}

  Outcome run(asio::io_context& io, const std::vector<tcp::endpoint>& endpoints,
              std::chrono::steady_clock::time_point deadline) {
    stream_.expires_at(deadline);
    stream_.async_connect(endpoints, [this](const error_code& ec, const tcp::endpoint&) { on_connect(ec); });
    io.run();
    if (!outcome_.error && !outcome_.refused) outcome_.body = reader_.parser().release().body();
    return std::move(outcome_);
  }

 private:
  void on_connect(const error_code& ec) {
    if (ec) {
      outcome_.error = ec;
      return;
    }
    outcome_.connected = true;
    bhttp::async_write(stream_, request_, [this](const error_code& e, std::size_t) {
      if (e) {
        outcome_.error = e;
        return;
      }
      read_reply();
    });
  }

  // The head first, so that a reply whose body's end cannot be known is refused before its body.
  void read_reply() {
    bhttp::async_read_header(stream_, reader_.buffer(), reader_.next(), [this](const error_code& e, std::size_t) {
      if (e) return fail(e);
      if (const http::Fault fault = reader_.check_head()) {
        outcome_.refused = fault.reason;
        return;
      }
      const unsigned status = reader_.parser().get().result_int();
      if (status >= 100 && status < 200 && status != 101) return read_reply();  // an interim reply
      bhttp::async_read(stream_, reader_.buffer(), reader_.parser(), [this](const error_code& be, std::size_t) {
        if (be) return fail(be);
        if (const http::Fault fault = reader_.finish()) outcome_.refused = fault.reason;
      });
    });
  }

  void fail(const error_code& e) {
    outcome_.error = e;
    // Beast has no words of its own for the chunk framing past the reader's bounds.
    if (e == bhttp::error::buffer_overflow || e == bhttp::error::bad_chunk_extension) {
      outcome_.refused = reader_.fault_of(e).reason;
    }
  }

  beast::tcp_stream stream_;
  bhttp::request<bhttp::string_body> request_;
  http::MessageReader<false> reader_;
  Outcome outcome_;
};

}  // namespace

std::optional<HttpUrl> parse_http_url(std::string_view url) {
  constexpr std::string_view kScheme = "http://";
  if (url.size() < kScheme.size() || !same_text_ignoring_case(url.substr(0, kScheme.size()), kScheme))
    return std::nullopt;
  url.remove_prefix(kScheme.size());
  if (std::any_of(url.begin(), url.end(), [](unsigned char c) { return c <= 0x20 || c >= 0x7f; })) return std::nullopt;
  const std::size_t authority_end = std::min(url.find_first_of("/?#"), url.size());
  const std::string_view authority = url.substr(0, authority_end);
  std::string_view rest = url.substr(authority_end);
  rest = rest.substr(0, rest.find('#'));
  if (authority.find('@') != std::string_view::npos) return std::nullopt;

  HttpUrl out;
  std::string_view port;
  const bool bracketed = authority.starts_with('[');
  if (bracketed) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    out.host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return std::nullopt;
      port = after.substr(1);
    }
    if (out.host.find(':') == std::string::npos) return std::nullopt;
  } else {
    const std::size_t colon = authority.find(':');
    out.host = authority.substr(0, colon);
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  if (out.host.empty()) return std::nullopt;
  if (!port.empty()) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535) return std::nullopt;
    out.port = std::to_string(value);
  }
  out.target = rest.empty() || rest[0] == '?' ? "/" + std::string(rest) : std::string(rest);
  out.host_header = (bracketed ? "[" + out.host + "]" : out.host) + (out.port == "80" ? "" : ":" + out.port);
  return out;
}

std::string http_post(const HttpUrl& url, std::string_view content_type, std::string_view body,
                      std::chrono::milliseconds timeout, std::size_t cap) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  asio::io_context io(1);
  const std::vector<tcp::endpoint> endpoints = endpoints_of(io, url);

  bhttp::request<bhttp::string_body> request{bhttp::verb::post, url.target, 11};
  request.set(bhttp::field::host, url.host_header);
  request.set(bhttp::field::accept, "*/*");
  request.set(bhttp::field::content_type, content_type);
  request.body() = std::string(body);
  request.prepare_payload();

  Outcome outcome = Exchange(io, std::move(request), cap).run(io, endpoints, deadline);
  const error_code& ec = outcome.error;
  if (outcome.refused) throw std::runtime_error(fmt::format("the answer is refused: {}", outcome.refused));
  if (!ec) return std::move(outcome.body);
  if (ec == bhttp::error::body_limit) throw AnswerTooLarge(fmt::format("the answer is larger than {} bytes", cap));
  if (ec == beast::error::timeout)
    throw std::runtime_error(fmt::format("no complete answer within {} ms", timeout.count()));
  if (!outcome.connected)
    throw std::runtime_error(fmt::format("cannot connect to {}: {}", url.host_header, ec.message()));
  if (ec == bhttp::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset)
    throw std::runtime_error("the connection closed before a complete answer");
  throw std::runtime_error("reading the answer failed: " + ec.message());
}

}  // namespace rivi
