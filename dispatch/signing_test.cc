// Signed requests: a real node on loopback takes a request signed with its key and refuses a
// wrong key, a missing signature, a stale timestamp, a replayed nonce and a tampered body; the
// nonces it remembers expire after the window and stay bounded.
#include "dispatch/signing.h"
#include "dispatch/node.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <ctime>

namespace rivi::dispatch {
namespace {

using rivi::testing::LoopbackSite;
using rivi::testing::RunningNode;

// A probe request with its signing headers as given.
struct Signed {
  std::string body;
  httplib::Headers headers;
};

Signed sign(const std::string& key, const std::string& body) {
  Signed s{body, {}};
  for (const auto& [name, value] : signed_headers(key, "POST", "/probe", body)) s.headers.emplace(name, value);
  return s;
}

TEST(SignedRequests, NodeTakesOnlyFreshRequestsSignedWithItsKey) {
  LoopbackSite target;
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("hi", "text/plain"); });
  target.start();
  NodeOptions o;
  o.key = "node-secret";
  o.probe.allow_private = true;
  RunningNode node(o);
  httplib::Client client("127.0.0.1", node.port());
  client.set_read_timeout(10, 0);
  const std::string body = "url=" + httplib::detail::encode_query_param(target.url("/ok"));
  const auto post = [&](const Signed& s) {
    auto res = client.Post("/probe", s.headers, s.body, "application/x-www-form-urlencoded");
    return res ? std::make_pair(res->status, decode(res->body)) : std::make_pair(-1, Record());
  };
  const auto refused = [](const std::string& msg) { return Record({{"status", false}, {"msg", msg}}); };

  const Signed good = sign("node-secret", body);
  const auto [status, answer] = post(good);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(answer["http_code"], 200);

  // The same request again is a replay, even on a new connection.
  EXPECT_EQ(post(good), std::make_pair(403, refused("请求重放")));
  httplib::Client other("127.0.0.1", node.port());
  auto again = other.Post("/probe", good.headers, good.body, "application/x-www-form-urlencoded");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 403);

  EXPECT_EQ(post(sign("other-secret", body)), std::make_pair(403, refused("请求签名错误")));
  EXPECT_EQ(post(Signed{body, {}}), std::make_pair(403, refused("请求未签名")));
  // The old way of sending the key in the form no longer passes.
  EXPECT_EQ(post(Signed{body + "&key=node-secret", {}}), std::make_pair(403, refused("请求未签名")));

  Signed tampered = sign("node-secret", body);
  tampered.body = "url=" + httplib::detail::encode_query_param(target.url("/other"));
  EXPECT_EQ(post(tampered), std::make_pair(403, refused("请求签名错误")));

  // A correctly signed request from more than a minute ago, or from more than a minute ahead.
  for (const long shift : {-65L, 65L}) {  // clear of the second the check may fall in
    SCOPED_TRACE(shift);
    Signed stale{body, {}};
    const std::string ts = std::to_string(std::time(nullptr) + shift);
    const std::string nonce = "n" + std::to_string(shift);
    stale.headers = {{"X-Rivi-Timestamp", ts},
                     {"X-Rivi-Nonce", nonce},
                     {"X-Rivi-Signature", request_signature("node-secret", "POST", "/probe", ts, nonce, body)}};
    EXPECT_EQ(post(stale), std::make_pair(403, refused("请求时间戳超出允许范围")));
  }
  Signed garbled = sign("node-secret", body);
  garbled.headers.erase("X-Rivi-Timestamp");
  garbled.headers.emplace("X-Rivi-Timestamp", "12abc");
  EXPECT_EQ(post(garbled), std::make_pair(403, refused("请求签名无效")));
}

TEST(SignedRequests, NodeWithoutAKeyTakesUnsignedRequests) {
  NodeOptions o;
  RunningNode node(o);
  httplib::Client client("127.0.0.1", node.port());
  client.set_read_timeout(10, 0);
  auto res = client.Post("/probe", httplib::Params{{"url", "http://127.0.0.1:1/"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

http::Request request_of(const Signed& s) {
  http::Request r;
  r.method = "POST";
  r.path = "/probe";
  r.body = s.body;
  for (const auto& [name, value] : s.headers) r.headers.emplace_back(name, value);
  return r;
}

TEST(SignedRequests, RemembersNoncesForTheWindowOnlyAndBoundsThem) {
  SignatureCheck check("k", 3);
  const auto now = std::chrono::system_clock::now();
  const Signed first = sign("k", "a");
  EXPECT_EQ(check.refusal(request_of(first), now), std::nullopt);
  EXPECT_EQ(check.refusal(request_of(sign("k", "b")), now), std::nullopt);
  EXPECT_EQ(check.refusal(request_of(sign("k", "c")), now), std::nullopt);
  // Full: a fresh request waits for room rather than pushing out a nonce that could be replayed.
  EXPECT_EQ(check.refusal(request_of(sign("k", "d")), now), "请求过多，请稍后再试");
  EXPECT_EQ(check.refusal(request_of(first), now), "请求重放");
  EXPECT_EQ(check.remembered(), 3u);

  // Once the window has passed the nonces go; the old request is then refused for its age.
  const auto later = now + kSignatureWindow + std::chrono::seconds(2);
  const std::string ts = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(later.time_since_epoch()).count());
  const Signed at_later{"e",
                        {{"X-Rivi-Timestamp", ts},
                         {"X-Rivi-Nonce", "z"},
                         {"X-Rivi-Signature", request_signature("k", "POST", "/probe", ts, "z", "e")}}};
  EXPECT_EQ(check.refusal(request_of(at_later), later), std::nullopt);
  EXPECT_EQ(check.remembered(), 1u);
  EXPECT_EQ(check.refusal(request_of(first), later), "请求时间戳超出允许范围");
}

TEST(SignedRequests, KeyFileIsTrimmedAndMustHoldAKey) {
  rivi::testing::TempRoot dir(false);
  dir.write("k", "abc \n");
  dir.write("empty", "\n\n");
  EXPECT_EQ(read_key_file(dir.file("k")), "abc");
  EXPECT_THROW(read_key_file(dir.file("empty")), std::runtime_error);
}

}  // namespace
}  // namespace rivi::dispatch
