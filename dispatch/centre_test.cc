// The centre with real nodes on loopback (in-process, remote, dead, too slow, answering garbage,
// answering nested values), its caller and URL checks, its limits on what a client sends, many
// requests at once, and its configuration file.
#include "dispatch/centre.h"
#include "dispatch/node.h"
#include "tests/support/dispatch_servers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace rivi::dispatch {
namespace {

using rivi::testing::GatheringSite;
using rivi::testing::LoopbackSite;
using rivi::testing::post_at_once;
using rivi::testing::SilentTarget;
using rivi::testing::free_port;
using rivi::testing::RunningCentre;
using rivi::testing::RunningNode;

TEST(Centre, AnswersEveryNodeInOrderAndMarksTheOnesThatFail) {
  LoopbackSite target;
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("fine", "text/plain"); });
  target.start();

  // A node whose answer would be valid but comes long after the deadline, and one that answers
  // something that is no node result.
  LoopbackSite slow_node;
  slow_node.server().Post("/probe", [](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    res.set_content("{\"isp\": \"late\", \"http_code\": 200, \"total_time\": 1.0}", "application/json");
  });
  slow_node.start();
  LoopbackSite garbage_node;
  garbage_node.server().Post("/probe", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("<html>not json</html>", "text/html");
  });
  garbage_node.start();

  NodeOptions remote_options;
  remote_options.probe.isp = "what-the-node-calls-itself";
  remote_options.probe.allow_private = true;
  remote_options.key = "node-key";
  RunningNode remote(remote_options);

  CentreConfig c;
  c.deadline_ms = 1000;
  c.nodes = {
      {"本地", "", "", true},
      {"远程", remote.address(), "node-key", false},
      {"死节点", "127.0.0.1:" + std::to_string(free_port()), "", false},
      {"慢节点", "127.0.0.1:" + std::to_string(slow_node.port()), "", false},
      {"错钥匙", remote.address(), "wrong-key", false},
      {"乱答", "127.0.0.1:" + std::to_string(garbage_node.port()), "", false},
  };
  RunningCentre centre(c);

  httplib::Client client("127.0.0.1", centre.port());
  client.set_read_timeout(10, 0);
  auto res = client.Post("/api/local/rivi", httplib::Params{{"serverid", "x"}, {"url", target.url("/ok")}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  const Record list = decode(res->body);
  ASSERT_TRUE(list.is_array());
  ASSERT_EQ(list.size(), 6u);

  EXPECT_EQ(list[0]["isp"], "本地");
  EXPECT_EQ(list[0]["http_code"], 200);
  EXPECT_EQ(list[1]["isp"], "远程");
  EXPECT_EQ(list[1]["http_code"], 200);
  EXPECT_EQ(list[1]["size_download"], 4);
  const std::string labels[] = {"死节点", "慢节点", "错钥匙", "乱答"};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(labels[i]);
    EXPECT_EQ(list[2 + i], unanswered(labels[i]));
  }
  EXPECT_EQ(list[2]["isp"], "节点未响应");
  EXPECT_EQ(list[2]["http_code"], 0);
  EXPECT_EQ(list[2]["primary_ip"], "");
}

TEST(Centre, NodeAnsweringTooMuchIsListedAsUnanswered) {
  LoopbackSite target;
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("fine", "text/plain"); });
  target.start();

  // A valid node result padded past any sane size, once with its length declared and once
  // streamed without end.
  constexpr std::size_t kOffered = 64u << 20;
  std::atomic<std::size_t> streamed{0};
  const std::string padded =
      "{\"isp\": \"x\", \"http_code\": 200, \"total_time\": 1.0, \"pad\": \"" + std::string(1u << 20, 'x') + "\"}";
  LoopbackSite big_node;
  big_node.server().Post("/probe", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/json", [&](std::size_t offset, httplib::DataSink& sink) {
      if (offset == 0) return sink.write(padded.data(), padded.size() - 2);  // the record never closes
      if (streamed >= kOffered) {
        sink.done();
        return true;
      }
      const std::string chunk(64 * 1024, 'x');
      if (!sink.write(chunk.data(), chunk.size())) return false;
      streamed += chunk.size();
      return true;
    });
  });
  big_node.start();
  // The node's path is fixed, so the declared-length node answers through a second site.
  LoopbackSite declared_node;
  declared_node.server().Post("/probe", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(padded, "application/json");
  });
  declared_node.start();

  CentreConfig c;
  c.deadline_ms = 5000;
  c.nodes = {{"声明过大", "127.0.0.1:" + std::to_string(declared_node.port()), "", false},
             {"流式过大", "127.0.0.1:" + std::to_string(big_node.port()), "", false},
             {"本地", "", "", true}};
  const Centre centre(c);
  const Record list = centre.fan_out(target.url("/ok"));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], unanswered("声明过大"));
  EXPECT_EQ(list[1], unanswered("流式过大"));
  EXPECT_EQ(list[2]["http_code"], 200);
  EXPECT_LT(streamed.load(), kOffered / 2) << "the centre read the endless answer on";
}

TEST(Centre, ChecksTheCallerAndTheUrlBeforeAskingAnyNode) {
  LoopbackSite counting_node;
  int asked = 0;
  counting_node.server().Post("/probe", [&](const httplib::Request&, httplib::Response& res) {
    ++asked;
    res.set_content("{\"isp\": \"n\", \"http_code\": 200, \"total_time\": 1.0}", "application/json");
  });
  counting_node.start();

  CentreConfig c;
  c.allowed_serverids = {"aaa", "bbb"};
  c.access_key = "k3y";
  c.nodes = {{"n", "127.0.0.1:" + std::to_string(counting_node.port()), "", false}};
  const Centre centre(c);

  struct Case {
    std::multimap<std::string, std::string> form;
    int status;
    std::string msg;
  };
  const Case cases[] = {
      {{{"url", "http://example.com/"}}, 403, "服务器未获授权"},
      {{{"serverid", "ccc"}, {"access_key", "k3y"}, {"url", "http://example.com/"}}, 403, "服务器未获授权"},
      {{{"serverid", "aaa"}, {"url", "http://example.com/"}}, 403, "访问密钥错误"},
      {{{"serverid", "aaa"}, {"access_key", "k3"}, {"url", "http://example.com/"}}, 403, "访问密钥错误"},
      {{{"serverid", "bbb"}, {"access_key", "k3y"}}, 400, "缺少URL地址"},
      {{{"serverid", "bbb"}, {"access_key", "k3y"}, {"url", "javascript:alert(1)"}}, 400, "URL地址无效"},
      {{{"serverid", "bbb"}, {"access_key", "k3y"}, {"url", "ftp://example.com/"}}, 400, "只能拨测http://或https://地址"},
  };
  for (const Case& k : cases) {
    const CentreAnswer a = centre.answer(k.form);
    EXPECT_EQ(a.http_status, k.status);
    EXPECT_EQ(a.body, Record({{"status", false}, {"msg", k.msg}}));
  }
  EXPECT_EQ(asked, 0);

  const CentreAnswer ok = centre.answer({{"serverid", "bbb"}, {"access_key", "k3y"}, {"url", "http://example.com/"}});
  EXPECT_EQ(ok.http_status, 200);
  ASSERT_EQ(ok.body.size(), 1u);
  EXPECT_EQ(ok.body[0]["isp"], "n");
  EXPECT_EQ(asked, 1);
}

TEST(Centre, PortInUseIsABindError) {
  CentreConfig c = embedded_config();
  RunningCentre first(c);
  Centre second(c);
  EXPECT_THROW(second.bind(first.port()), std::runtime_error);
  NodeServer node(NodeOptions{});
  EXPECT_THROW(node.bind("127.0.0.1", first.port()), std::runtime_error);
}

TEST(Centre, KeepsOnlyTheScalarValuesOfANodeAnswer) {
  // As deep as the decoder takes: the node's record and 63 lists inside it. Kept as sent, the
  // centre's list around it would be one level too deep for the worker to read.
  const std::string deep = std::string(63, '[') + std::string(63, ']');
  const std::string sent = R"({"isp": "n", "http_code": 200, "x": )" + deep +
                           R"(, "total_time": 1.5, "obj": {"a": 1}, "note": "kept", "ok": true, "none": null})";
  LoopbackSite node;
  node.server().Post("/probe", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(sent, "application/json");
  });
  node.start();

  CentreConfig c;
  c.deadline_ms = 5000;
  c.nodes = {{"带嵌套", "127.0.0.1:" + std::to_string(node.port()), "", false}};
  RunningCentre centre(c);
  httplib::Client client("127.0.0.1", centre.port());
  client.set_read_timeout(10, 0);
  auto res = client.Post("/api/local/rivi", httplib::Params{{"url", "http://example.com/"}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  const Record list = decode(res->body);  // the worker's decoder, 64 levels
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].dump(),
            R"({"isp":"带嵌套","http_code":200,"total_time":1.5,"note":"kept","ok":true,"none":null})");
}

TEST(Centre, NodeResultIsARecordOfScalarsWithTheKeysTheWorkerReads) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"http_code": 200, "total_time": 1, "l": [1], "o": {}})", R"({"http_code":200,"total_time":1})"},
      {R"({"http_code": 0, "total_time": 0.0, "e": "x"})", R"({"http_code":0,"total_time":0.0,"e":"x"})"},
      {R"({"http_code": [200], "total_time": 1})", ""},  // a required value that is nested
      {R"({"http_code": 200})", ""},
      {R"([{"http_code": 200, "total_time": 1}])", ""},
      {R"("text")", ""},
      {"null", ""},
  };
  for (const auto& [text, kept] : cases) {
    const auto r = node_result(text);
    EXPECT_EQ(r ? r->dump() : "", kept) << text;
  }
  EXPECT_THROW(node_result("{"), std::invalid_argument);
}

TEST(Centre, KeepsItsConnectionsToANodeAlive) {
  LoopbackSite target;
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("fine", "text/plain"); });
  target.start();
  NodeOptions o;
  o.probe.allow_private = true;
  RunningNode node(o);
  CentreConfig c;
  c.deadline_ms = 5000;
  c.nodes = {{"远程", node.address(), "", false}};
  RunningCentre centre(c);

  httplib::Client client("127.0.0.1", centre.port());
  client.set_read_timeout(10, 0);
  constexpr int kRequests = 5;
  for (int i = 0; i < kRequests; ++i) {
    auto res = client.Post("/api/local/rivi", httplib::Params{{"url", target.url("/ok")}});
    ASSERT_TRUE(res);
    EXPECT_EQ(decode(res->body)[0]["http_code"], 200);
  }
  EXPECT_LT(node.accepted(), static_cast<std::size_t>(kRequests));
}

TEST(Centre, RefusesOversizedHeadsAndBodiesLikeTheNode) {
  CentreConfig c;
  c.nodes = {{"n", "", "", true}};
  RunningCentre centre(c);
  RunningNode node(NodeOptions{});
  const std::pair<int, std::string> servers[] = {{centre.port(), "/api/local/rivi"}, {node.port(), "/probe"}};
  for (const auto& [port, path] : servers) {
    SCOPED_TRACE(path);
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10, 0);
    httplib::Headers many;
    for (int i = 0; i < 70; ++i) many.emplace("X-Field-" + std::to_string(i), "1");
    auto res = client.Post(path, many, "url=ftp://x/", "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 431);
    res = client.Post(path, httplib::Headers{{"X-Long", std::string(20000, 'a')}}, "url=ftp://x/",
                      "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 431);
    res = client.Post(path, "url=ftp://x/&pad=" + std::string(20000, 'a'), "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);
    // A form within the limits is read as before: the URL is refused for its scheme.
    res = client.Post(path, "url=ftp://x/&pad=" + std::string(8000, 'a'), "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(decode(res->body), Record({{"status", false}, {"msg", "只能拨测http://或https://地址"}}));
  }
}

TEST(CentreUnderLoad, AnswersEveryRequestByTheDeadlineAgainstAHangingTarget) {
  SilentTarget target;
  NodeOptions o;
  o.probe.allow_private = true;
  RunningNode remote(o);
  CentreConfig c;
  c.deadline_ms = 500;
  c.nodes = {{"本地", "", "", true}, {"远程", remote.address(), "", false}};
  RunningCentre centre(c);

  constexpr int kRequests = 200;
  const auto answers = post_at_once(centre.port(), "/api/local/rivi", "url=" + target.url(), kRequests, 30000);
  int answered = 0;
  for (const auto& a : answers) {
    ASSERT_EQ(a.status, 200) << a.body;
    const Record list = decode(a.body);
    ASSERT_EQ(list.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      const std::string label = c.nodes[i].isp;
      if (list[i]["isp"] == kNoAnswer) {
        EXPECT_EQ(list[i], unanswered(label));
      } else {  // the node's own time-out, reported as a result
        EXPECT_EQ(list[i]["isp"], label);
        EXPECT_EQ(list[i]["http_code"], 0);
        EXPECT_TRUE(list[i].contains("error"));
      }
    }
    ++answered;
  }
  EXPECT_EQ(answered, kRequests);
}

TEST(CentreUnderLoad, HasNoSmallLimitOnRequestsInFlight) {
  // The target answers only once it holds one probe of every request: a centre that kept fewer
  // requests in flight would see every probe time out.
  constexpr int kRequests = 200;
  GatheringSite target(kRequests);
  CentreConfig c;
  c.deadline_ms = 20000;
  c.nodes = {{"本地", "", "", true}};
  RunningCentre centre(c);
  const auto answers = post_at_once(centre.port(), "/api/local/rivi", "url=" + target.url(), kRequests, 60000);
  for (const auto& a : answers) {
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(decode(a.body)[0]["http_code"], 200) << a.body;
  }
}

TEST(CentreConfig, DeadlineStaysBelowTheWorkersWait) {
  const std::string nodes = R"("nodes": [{"isp": "a", "local": true}])";
  EXPECT_EQ(parse_config("{\"deadline_ms\": 54999, " + nodes + "}", "c.json").deadline_ms, 54999);
  for (const char* deadline : {"55000", "99"}) {
    try {
      parse_config(std::string("{\"deadline_ms\": ") + deadline + ", " + nodes + "}", "c.json");
      ADD_FAILURE() << "accepted " << deadline;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(),
                   "c.json: deadline_ms must lie between 100 and 55000, 55000 excluded: the worker stops waiting "
                   "for the centre after 60 s");
    }
  }
}

TEST(CentreConfig, ReadsAFileAndRefusesMistakes) {
  const CentreConfig c = parse_config(
      R"({"listen": "0.0.0.0:9000", "deadline_ms": 5000, "probe_timeout_ms": 4000,
          "allowed_serverids": ["a"], "access_key": "k",
          "nodes": [{"isp": "电信", "address": "10.0.0.7:8891", "key": "nk"},
                    {"isp": "本机", "local": true, "allow_private": true}]})",
      "centre.json");
  EXPECT_EQ(c.listen, "0.0.0.0:9000");
  EXPECT_EQ(c.deadline_ms, 5000);
  EXPECT_EQ(c.probe_timeout_ms, 4000);
  EXPECT_EQ(c.allowed_serverids, std::vector<std::string>{"a"});
  EXPECT_EQ(c.access_key, "k");
  ASSERT_EQ(c.nodes.size(), 2u);
  EXPECT_EQ(c.nodes[0].isp, "电信");
  EXPECT_EQ(c.nodes[0].address, "10.0.0.7:8891");
  EXPECT_EQ(c.nodes[0].key, "nk");
  EXPECT_FALSE(c.nodes[0].local());
  EXPECT_TRUE(c.nodes[1].local());
  EXPECT_TRUE(c.nodes[1].allow_private);

  const std::pair<std::string, std::string> bad[] = {
      {"[]", "centre.json: the configuration must be a JSON object"},
      {"{", "centre.json: invalid JSON"},
      {R"({"nodes": []})", "centre.json: nodes must be a non-empty list"},
      {R"({"node": [{"isp": "a", "local": true}]})", "centre.json: unknown key \"node\" in the configuration"},
      {R"({"nodes": [{"isp": "a"}]})", "centre.json: nodes[0] needs either an address or \"local\": true"},
      {R"({"nodes": [{"isp": "a", "local": true, "address": "h:1"}]})",
       "centre.json: nodes[0] needs either an address or \"local\": true"},
      {R"({"nodes": [{"isp": "", "local": true}]})", "centre.json: nodes[0].isp must not be empty"},
      {R"({"nodes": [{"isp": "a", "address": "h"}]})", "centre.json: nodes[0].address: expected host:port, got \"h\""},
      {R"({"nodes": [{"isp": "a", "address": "h:99999"}]})", "centre.json: nodes[0].address: bad port in \"h:99999\""},
      {R"({"nodes": [{"isp": "a", "address": "h:1", "allow_private": true}]})",
       "centre.json: nodes[0]: allow_private is set on the node itself"},
      {R"({"deadline_ms": 60000, "nodes": [{"isp": "a", "local": true}]})",
       "centre.json: deadline_ms must lie between 100 and 55000"},
      {R"({"deadline_ms": "5", "nodes": [{"isp": "a", "local": true}]})", "centre.json: deadline_ms must be a whole number"},
      {R"({"access_key": 5, "nodes": [{"isp": "a", "local": true}]})", "centre.json: access_key must be text"},
  };
  for (const auto& [text, error] : bad) {
    try {
      parse_config(text, "centre.json");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, error.size()), error) << text;
    }
  }
}

TEST(CentreConfig, ReadsANodesKeyAndTheMetricsTokenFromTheirFiles) {
  rivi::testing::TempRoot dir(false);
  dir.write("dx.key", "from-file\n");
  dir.write("metrics.token", "scrape\n");
  const CentreConfig c = parse_config(
      R"({"metrics_token_file": ")" + dir.file("metrics.token") +
          R"(", "nodes": [{"isp": "电信", "address": "10.0.0.7:8891", "key_file": ")" + dir.file("dx.key") + R"("}]})",
      "centre.json");
  EXPECT_EQ(c.nodes[0].key, "from-file");
  EXPECT_EQ(c.metrics_token, "scrape");
  EXPECT_EQ(c.key_files, (std::vector<std::string>{dir.file("metrics.token"), dir.file("dx.key")}));
  const std::pair<std::string, std::string> bad[] = {
      {R"({"metrics_token_file": ")" + dir.file("none.token") + R"(", "nodes": [{"isp": "a", "local": true}]})",
       "centre.json: metrics_token_file: cannot read the key file " + dir.file("none.token")},
      {R"({"metrics_token": "t", "metrics_token_file": ")" + dir.file("metrics.token") +
           R"(", "nodes": [{"isp": "a", "local": true}]})",
       "centre.json: give either metrics_token or metrics_token_file"},
      {R"({"nodes": [{"isp": "a", "address": "h:1", "key_file": ")" + dir.file("none.key") + R"("}]})",
       "centre.json: nodes[0].key_file: cannot read the key file " + dir.file("none.key")},
      {R"({"nodes": [{"isp": "a", "address": "h:1", "key": "x", "key_file": ")" + dir.file("dx.key") + R"("}]})",
       "centre.json: nodes[0]: give either key or key_file"},
      {R"({"nodes": [{"isp": "a", "local": true, "key_file": "/k"}]})", "centre.json: nodes[0]: a key is for remote nodes only"},
  };
  for (const auto& [text, error] : bad) {
    try {
      parse_config(text, "centre.json");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, error.size()), error) << text;
    }
  }
}

TEST(CentreConfig, ExampleFileIsValid) {
  const CentreConfig c = load_config((rivi::testing::source_dir() / "dispatch/centre.example.json").string());
  EXPECT_EQ(c.nodes.size(), 4u);
  EXPECT_FALSE(c.access_key.empty());
  EXPECT_FALSE(c.nodes[3].allow_private);
}

TEST(CentreConfig, EmbeddedDefaultServesThisMachine) {
  const CentreConfig c = embedded_config();
  EXPECT_EQ(c.listen, "127.0.0.1:8890");
  EXPECT_LT(c.deadline_ms, 60000);
  ASSERT_GE(c.nodes.size(), 2u);
  for (const NodeEntry& n : c.nodes) {
    EXPECT_TRUE(n.local());
    EXPECT_TRUE(n.allow_private);
  }
}

}  // namespace
}  // namespace rivi::dispatch
