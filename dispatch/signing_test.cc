// Signed requests: a real node on loopback takes a request signed with its key and refuses a
// wrong key, a missing signature, a stale timestamp, a replayed nonce, a tampered body, a request
// re-aimed by its query and a signature of another scheme; the nonces it remembers expire after the
// window and stay bounded.
#include "dispatch/signing.h"
#include "dispatch/node.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/testing.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <atomic>
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

// A node with the key "node-secret" that may probe loopback targets, and a client of it.
struct KeyedNode {
  static NodeOptions options() {
    NodeOptions o;
    o.key = "node-secret";
    o.probe.allow_private = true;
    return o;
  }
  KeyedNode() { client.set_read_timeout(10, 0); }

  // The status and answer of a form POST to `target`.
  std::pair<int, Record> post(const std::string& target, const httplib::Headers& headers, const std::string& body) {
    auto res = client.Post(target, headers, body, "application/x-www-form-urlencoded");
    return res ? std::make_pair(res->status, decode(res->body)) : std::make_pair(-1, Record());
  }

  RunningNode node{options()};
  httplib::Client client{"127.0.0.1", node.port()};
};

TEST(SignedRequests, NodeTakesOnlyFreshRequestsSignedWithItsKey) {
  LoopbackSite target;
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("hi", "text/plain"); });
  target.start();
  KeyedNode node;
  const std::string body = "url=" + httplib::detail::encode_query_param(target.url("/ok"));
  const auto post = [&](const Signed& s) { return node.post("/probe", s.headers, s.body); };
  const auto refused = [](const std::string& msg) { return Record({{"status", false}, {"msg", msg}}); };

  const Signed good = sign("node-secret", body);
  const auto [status, answer] = post(good);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(answer["http_code"], 200);

  // The same request again is a replay, even on a new connection.
  EXPECT_EQ(post(good), std::make_pair(403, refused("请求重放")));
  httplib::Client other("127.0.0.1", node.node.port());
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
    stale.headers = {{"X-Rivi-Signature-Version", "2"},
                     {"X-Rivi-Timestamp", ts},
                     {"X-Rivi-Nonce", nonce},
                     {"X-Rivi-Signature", request_signature("node-secret", "POST", "/probe", ts, nonce, body)}};
    EXPECT_EQ(post(stale), std::make_pair(403, refused("请求时间戳超出允许范围")));
  }
  Signed garbled = sign("node-secret", body);
  garbled.headers.erase("X-Rivi-Timestamp");
  garbled.headers.emplace("X-Rivi-Timestamp", "12abc");
  EXPECT_EQ(post(garbled), std::make_pair(403, refused("请求签名无效")));
}

// The headers a centre before signature scheme 2 sent: an HMAC over the path alone, no version.
httplib::Headers old_scheme_headers(const std::string& key, const std::string& body) {
  const std::string ts = std::to_string(std::time(nullptr));
  const std::string nonce = "old-" + ts;
  const std::string text = "POST\n/probe\n" + ts + "\n" + nonce + "\n" + body;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
       text.size(), mac, &len);
  std::string hex;
  for (unsigned int i = 0; i < len; ++i) hex += fmt::format("{:02x}", mac[i]);
  return {{"X-Rivi-Timestamp", ts}, {"X-Rivi-Nonce", nonce}, {"X-Rivi-Signature", hex}};
}

TEST(SignedRequests, TheSignatureCoversTheQueryAndNamesItsScheme) {
  LoopbackSite target;
  std::atomic<int> aimed{0}, elsewhere{0};
  target.server().Get("/ok", [&](const httplib::Request&, httplib::Response& res) {
    ++aimed;
    res.set_content("hi", "text/plain");
  });
  target.server().Get("/elsewhere", [&](const httplib::Request&, httplib::Response& res) {
    ++elsewhere;
    res.set_content("hi", "text/plain");
  });
  target.start();
  KeyedNode node;
  const std::string body = "url=" + httplib::detail::encode_query_param(target.url("/ok"));
  const std::string other = "url=" + httplib::detail::encode_query_param(target.url("/elsewhere"));
  const auto post = [&](const std::string& path, const httplib::Headers& headers) { return node.post(path, headers, body); };

  // Whoever is on the way re-aims a signed request by adding a query: the signature no longer fits.
  const auto [status, answer] = post("/probe?" + other, sign("node-secret", body).headers);
  EXPECT_EQ(status, 403);
  EXPECT_EQ(answer["msg"], "请求签名错误");
  // Signed with its query, the request is taken, and the fields come from the body alone.
  httplib::Headers with_query;
  for (const auto& [name, value] : signed_headers("node-secret", "POST", "/probe?" + other, body)) {
    with_query.emplace(name, value);
  }
  const auto [taken, result] = post("/probe?" + other, with_query);
  EXPECT_EQ(taken, 200);
  EXPECT_EQ(result["http_code"], 200);
  EXPECT_EQ(aimed, 1);
  EXPECT_EQ(elsewhere, 0);

  // A centre of the scheme before is told to upgrade; a scheme the node does not know, the node.
  const auto [old_status, old_answer] = post("/probe", old_scheme_headers("node-secret", body));
  EXPECT_EQ(old_status, 403);
  EXPECT_EQ(old_answer["msg"], "signature scheme 1 is no longer accepted: upgrade the dispatch centre (请升级调度中心)");
  Signed future = sign("node-secret", body);
  future.headers.erase("X-Rivi-Signature-Version");
  future.headers.emplace("X-Rivi-Signature-Version", "3");
  const auto [future_status, future_answer] = post("/probe", future.headers);
  EXPECT_EQ(future_status, 403);
  EXPECT_NE(future_answer["msg"].get<std::string>().find("请升级拨测节点"), std::string::npos) << future_answer;
  EXPECT_EQ(aimed, 1);
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
  r.target = r.path = "/probe";
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
                        {{"X-Rivi-Signature-Version", "2"},
                         {"X-Rivi-Timestamp", ts},
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
