// Reads HTTP/1.1 messages off one connection with Beast's parser, within bounds the parser leaves
// to its user. Beast 1.81 bounds the head's bytes and the body's, but keeps a chunk-size line (with
// its extensions) and the trailer section in the read buffer until their end arrives, however long
// they grow; merges trailer fields into the head's fields; and takes a Transfer-Encoding whose last
// coding is not `chunked` (`chunked, identity`, `xchunked`) as "no body" on a request, so that the
// bytes meant as its body would be read as the next request. Here:
//   - the read buffer holds at most `Bounds::head_bytes`: an unterminated chunk line or trailer
//     section ends the read once it fills the buffer;
//   - a chunk extension longer than `kMaxChunkExtension` bytes is refused;
//   - the trailer section has at most `Bounds::head_fields` fields (within `head_bytes`, by the
//     buffer), and its fields are dropped from the message, never taken for header fields;
//   - Transfer-Encoding, when present, must be `chunked` alone, on HTTP/1.1.
// The server core reads requests through it and the HTTP client replies; each refusal is a `Fault`
// carrying the status a server answers it with.
#pragma once

#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string_type.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace rivi::http {

// The longest chunk extension taken; nothing of ours sends any.
inline constexpr std::size_t kMaxChunkExtension = 256;

// Why a message is refused: the status a server answers with, and the reason in words.
struct Fault {
  int status = 0;  // 0: no fault
  const char* reason = "";
  explicit operator bool() const { return status != 0; }
};

template <bool isRequest>
class MessageReader {
 public:
  using Parser = boost::beast::http::parser<isRequest, boost::beast::http::string_body>;

  struct Bounds {
    std::size_t head_bytes;   // the head (start line and fields), and the trailer section
    std::size_t head_fields;  // fields of the head, and of the trailer section
    std::size_t body_bytes;   // the body, after any chunked coding is removed
  };

  explicit MessageReader(Bounds bounds);
  // The parser refers to the reader's chunk hook: a reader stays where it was made.
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // A fresh parser for the next message of the connection; bytes read past the previous message
  // stay in the buffer for it.
  Parser& next();
  Parser& parser() { return *parser_; }
  // The one buffer every read of the connection goes through (a TLS handshake's too).
  boost::beast::flat_buffer& buffer() { return buffer_; }

  // After the head is read: the fault of its framing, if any (too many fields, a declared body
  // past the bound, a Transfer-Encoding other than `chunked` alone).
  Fault check_head();
  // The fault a read that ended with `ec` stands for. No fault for success, nor for a read that
  // ended without a message to refuse (the peer closed or reset, a time-out): no answer is owed.
  Fault fault_of(boost::beast::error_code ec) const;
  // After the whole message is read: the fault of its trailer section, if any; the trailer fields
  // are removed from the message.
  Fault finish();

 private:
  // The parser's chunk-header hook (Beast keeps a reference to it).
  struct ChunkHook {
    void operator()(std::uint64_t size, boost::beast::string_view extensions, boost::beast::error_code& ec) const;
  };

  Bounds bounds_;
  boost::beast::flat_buffer buffer_;
  ChunkHook hook_;
  std::optional<Parser> parser_;
  std::size_t head_fields_ = 0;  // fields the head had, when `check_head` ran
};

extern template class MessageReader<true>;
extern template class MessageReader<false>;

}  // namespace rivi::http
