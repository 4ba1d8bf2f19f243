#include "tests/support/smtp_sink.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

namespace rivi::testing {
namespace fs = std::filesystem;

namespace {

fs::path temp_dir(const char* stem) {
  std::string templ = (fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("cannot make a temporary directory");
  return templ;
}

}  // namespace

Certificate make_certificate(const fs::path& dir) {
  Certificate c{(dir / "cert.pem").string(), (dir / "key.pem").string()};
  const RunResult r = run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                           "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                           "-keyout", c.key, "-out", c.cert},
                          {}, 30);
  if (r.status != 0) throw std::runtime_error("openssl could not make a certificate: " + r.err);
  return c;
}

SmtpSink::SmtpSink(SmtpSinkOptions options) : dir_(temp_dir("rivi-smtp")), port_(free_port()) {
  // The script lies beside this file in the source tree (not found through __FILE__, which a
  // compiler cache may have made relative).
  const fs::path script = source_dir() / "tests" / "support" / "smtp_sink.py";
  std::vector<std::string> argv = {"/usr/bin/python3", script.string(),
                                   "--port", std::to_string(port_), "--out", (dir_ / "mail.jsonl").string(),
                                   "--mode", options.mode};
  if (!options.user.empty()) argv.insert(argv.end(), {"--user", options.user, "--password", options.password});
  for (const auto& r : options.reject_rcpt) argv.insert(argv.end(), {"--reject-rcpt", r});
  if (!options.certificate.cert.empty())
    argv.insert(argv.end(), {"--cert", options.certificate.cert, "--key", options.certificate.key});
  argv.insert(argv.end(), {"--refuse-file", (dir_ / "refuse").string()});
  if (options.stall_seconds > 0)
    argv.insert(argv.end(), {"--stall", std::to_string(options.stall_seconds), "--stall-marker", (dir_ / "stalls").string()});
  child_ = std::make_unique<Child>(argv, std::map<std::string, std::string>{}, (dir_ / "log").string());
  if (!wait_for_port(port_, 15000)) {
    std::ifstream log(dir_ / "log");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    throw std::runtime_error("the SMTP sink did not start: " + text);
  }
}

SmtpSink::~SmtpSink() {
  child_.reset();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::vector<nlohmann::json> SmtpSink::messages() const {
  std::vector<nlohmann::json> out;
  std::ifstream in(dir_ / "mail.jsonl");
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(nlohmann::json::parse(line));
  return out;
}

void SmtpSink::set_refusing(bool refusing) {
  if (refusing) std::ofstream(dir_ / "refuse") << "refuse\n";
  else fs::remove(dir_ / "refuse");
}

int SmtpSink::stalls() const {
  std::ifstream in(dir_ / "stalls");
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.empty() ? 0 : 1;
  return n;
}

}  // namespace rivi::testing
