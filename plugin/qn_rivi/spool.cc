#include "plugin/qn_rivi/spool.h"

#include "host/paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace rivi::spool {
namespace {

constexpr const char* kSuffix = ".json";

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

[[noreturn]] void fail(const std::string& what, int error) {
  throw std::runtime_error(fmt::format("cannot keep the result in the spool {}: {}: {}", directory().string(), what,
                                       std::strerror(error)));
}

void write_all(int fd, const std::string& text, const std::string& what) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(what, errno);
    }
    done += static_cast<std::size_t>(n);
  }
}

Record node_record(const health::Node& n) {
  Record r = Record::object();
  r["label"] = n.label;
  r["isp"] = n.isp;
  r["answered"] = n.answered;
  r["failing"] = n.failing;
  r["code"] = n.code;
  r["http_code"] = n.http_code;
  r["time"] = n.time ? Record(*n.time) : Record(nullptr);
  r["rule"] = n.rule;
  r["warning"] = n.warning;
  return r;
}

health::Node node_of(const Record& r) {
  health::Node n;
  n.label = r.at("label").get<std::string>();
  n.isp = r.at("isp").get<std::string>();
  n.answered = r.at("answered").get<bool>();
  n.failing = r.at("failing").get<bool>();
  n.code = r.at("code").get<std::string>();
  n.http_code = r.at("http_code");
  if (!r.at("time").is_null()) n.time = r.at("time").get<double>();
  // Files kept before the task rules existed hold neither.
  n.rule = r.value("rule", std::string());
  n.warning = r.value("warning", std::string());
  return n;
}

// A name that sorts after every file kept before it by this machine's clock, and is nobody
// else's (the process and a random part tell apart files of the same millisecond).
std::string file_stem() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  std::random_device random;
  return fmt::format("{:016d}-{:08d}-{:08x}", ms, ::getpid(), random());
}

}  // namespace

std::filesystem::path directory() { return root_path("data/spool"); }

std::filesystem::path write(const RunOutcome& run) {
  Record record = Record::object();
  record["fire"] = run.fire;
  record["kind"] = run.kind;
  record["pid"] = run.pid;
  record["time"] = run.time;
  record["row"] = run.row;
  Record nodes = Record::array();
  for (const health::Node& n : run.nodes) nodes.push_back(node_record(n));
  record["nodes"] = std::move(nodes);
  record["reason"] = run.reason;
  const std::string text = encode(record) + "\n";

  const std::filesystem::path dir = directory();
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) fail("cannot create it", error.value());
  const std::string stem = file_stem();
  const std::filesystem::path temporary = dir / ("." + stem + ".tmp");
  const std::filesystem::path path = dir / (stem + kSuffix);
  try {
    Fd file{::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    if (file.fd < 0) fail("cannot create a file", errno);
    write_all(file.fd, text, "cannot write");
    if (::fsync(file.fd) != 0) fail("cannot sync", errno);
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail("cannot rename", errno);
  } catch (...) {
    std::filesystem::remove(temporary, error);
    throw;
  }
  Fd folder{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (folder.fd < 0 || ::fsync(folder.fd) != 0) {
    const int why = errno;
    std::filesystem::remove(path, error);
    fail("cannot sync the directory", why);
  }
  return path;
}

std::vector<std::filesystem::path> files() {
  std::vector<std::filesystem::path> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".") || !name.ends_with(kSuffix)) continue;
    found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

RunOutcome read(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) throw std::runtime_error(fmt::format("cannot read the spooled run {}", file.string()));
  try {
    const Record record = decode(text.str());
    RunOutcome run;
    run.fire = record.at("fire").get<std::string>();
    run.kind = record.at("kind").get<std::string>();
    run.pid = record.at("pid").get<std::int64_t>();
    run.time = record.at("time").get<std::int64_t>();
    run.row = record.at("row");
    for (const Record& n : record.at("nodes")) run.nodes.push_back(node_of(n));
    run.reason = record.at("reason").get<std::string>();
    if (run.kind != "row" && run.kind != "error" && run.kind != "lost") throw std::invalid_argument("unknown kind " + run.kind);
    return run;
  } catch (const std::exception& e) {
    throw std::runtime_error(fmt::format("the spooled run {} is unusable: {}", file.string(), e.what()));
  }
}

std::set<std::string> waiting_fires() {
  std::set<std::string> fires;
  for (const auto& file : files()) {
    try {
      const RunOutcome run = read(file);
      if (!run.fire.empty()) fires.insert(run.fire);
    } catch (const std::runtime_error&) {
      // Said when the replay meets it.
    }
  }
  return fires;
}

ReplayLock::ReplayLock() {
  const std::filesystem::path dir = directory();
  std::error_code error;
  if (!std::filesystem::is_directory(dir, error)) return;  // nothing was ever spooled
  const int fd = ::open((dir / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

ReplayLock::~ReplayLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace rivi::spool
