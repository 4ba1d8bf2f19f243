#include "host/web/message_reader.h"

#include <boost/beast/http/error.hpp>
#include <boost/beast/http/field.hpp>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string_view>

namespace rivi::http {
namespace {

namespace bhttp = boost::beast::http;

bool is_chunked(std::string_view coding) {
  constexpr std::string_view kChunked = "chunked";
  return coding.size() == kChunked.size() && std::equal(coding.begin(), coding.end(), kChunked.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

// Whether `head` has no Transfer-Encoding, or one field naming `chunked` alone. Anything else
// (another coding, a list, an empty value, a second field) is refused rather than read the way
// some other server on the path might not read it.
template <class Head>
bool chunked_alone_or_absent(const Head& head) {
  const auto [first, last] = head.equal_range(bhttp::field::transfer_encoding);
  if (first == last) return true;
  if (std::next(first) != last) return false;
  std::string_view value(first->value().data(), first->value().size());
  const auto begin = value.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return false;
  return is_chunked(value.substr(begin, value.find_last_not_of(" \t") - begin + 1));
}

}  // namespace

template <bool isRequest>
MessageReader<isRequest>::MessageReader(Bounds bounds) : bounds_(bounds), buffer_(bounds.head_bytes) {}

template <bool isRequest>
void MessageReader<isRequest>::ChunkHook::operator()(std::uint64_t, boost::beast::string_view extensions,
                                                     boost::beast::error_code& ec) const {
  if (extensions.size() > kMaxChunkExtension) ec = bhttp::error::bad_chunk_extension;
}

template <bool isRequest>
typename MessageReader<isRequest>::Parser& MessageReader<isRequest>::next() {
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(std::min<std::size_t>(bounds_.head_bytes, UINT32_MAX)));
  parser_->body_limit(bounds_.body_bytes);
  parser_->on_chunk_header(hook_);
  head_fields_ = 0;
  return *parser_;
}

template <bool isRequest>
Fault MessageReader<isRequest>::check_head() {
  const auto& head = parser_->get();
  head_fields_ = static_cast<std::size_t>(std::distance(head.begin(), head.end()));
  if (head_fields_ > bounds_.head_fields) return {431, isRequest ? "request header fields too large" : "header fields too large"};
  if (const auto length = parser_->content_length(); length && *length > bounds_.body_bytes) {
    return {413, "payload too large"};
  }
  if (!chunked_alone_or_absent(head)) return {400, "Transfer-Encoding other than chunked alone"};
  if (head.version() < 11 && head.find(bhttp::field::transfer_encoding) != head.end()) {
    return {400, "Transfer-Encoding on HTTP/1.0"};
  }
  return {};
}

template <bool isRequest>
Fault MessageReader<isRequest>::fault_of(boost::beast::error_code ec) const {
  if (!ec) return {};
  if (ec == bhttp::error::header_limit) return {431, isRequest ? "request header fields too large" : "header fields too large"};
  if (ec == bhttp::error::body_limit) return {413, "payload too large"};
  if (ec == bhttp::error::buffer_overflow) {
    // The buffer is full of what the parser could not finish: the head, a chunk line or the
    // trailer section. A chunk line that ended would have been taken (the CRLF ending the chunk
    // data before it may lead).
    if (!parser_ || !parser_->is_header_done()) return {431, isRequest ? "request header fields too large" : "header fields too large"};
    std::string_view unparsed(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    if (unparsed.starts_with("\r\n")) unparsed.remove_prefix(2);
    if (unparsed.find('\n') == std::string_view::npos) return {400, "chunk extension too long"};
    return {431, "trailer section too large"};
  }
  if (ec == bhttp::error::bad_chunk_extension) return {400, "bad or too long chunk extension"};
  if (ec.category() == bhttp::make_error_code(bhttp::error::bad_method).category() &&
      ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message) {
    return {400, "bad request"};
  }
  return {};
}

template <bool isRequest>
Fault MessageReader<isRequest>::finish() {
  auto& message = parser_->get();
  std::size_t seen = 0, trailers = 0;
  for (auto it = message.begin(); it != message.end();) {
    if (seen++ < head_fields_) {
      ++it;
    } else {
      it = message.erase(it);
      ++trailers;
    }
  }
  if (trailers > bounds_.head_fields) return {431, "trailer section too large"};
  return {};
}

template class MessageReader<true>;
template class MessageReader<false>;

}  // namespace rivi::http
