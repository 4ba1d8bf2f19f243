#include "host/install.h"

#include "host/web/admin_auth.h"
#include "host/web/api_tokens.h"
#include "host/cron/crontab.h"
#include "host/cron/fire_log.h"
#include "host/public.h"
#include "host/store/store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace rivi {
namespace fs = std::filesystem;
namespace {

void make_dir(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) throw std::runtime_error("cannot create directory " + dir.string() + ": " + ec.message());
}

// Replaces the program file `to` with a copy of `from` (a temporary copy, then a rename, so a
// worker that is running keeps its own file).
void install_file(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  const fs::path temp = to.string() + ".new";
  fs::copy_file(from, temp, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::rename(temp, to, ec);
  if (ec) throw std::runtime_error("cannot copy " + from.string() + " to " + to.string() + ": " + ec.message());
}

void write_if_absent(const fs::path& file, std::string_view text) {
  if (!fs::exists(file)) public_::writeFile(file.string(), text);
}

// Narrows an existing file to its owner (read and write); a missing one is left missing.
void owner_only(const fs::path& file) {
  std::error_code ec;
  if (!fs::exists(file, ec)) return;
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, ec);
  if (ec) throw std::runtime_error("cannot restrict " + file.string() + ": " + ec.message());
}

// Narrows the scrapers' token to its owner, keeping a group's right to read it: an administrator
// (or the package) that gave it to the scraper's group, mode 0640, keeps that. Any other bit goes.
void owner_and_group_read(const fs::path& file) {
  std::error_code ec;
  const fs::file_status status = fs::status(file, ec);
  if (!fs::exists(status)) return;
  const fs::perms wanted = fs::perms::owner_read | fs::perms::owner_write | (status.permissions() & fs::perms::group_read);
  fs::permissions(file, wanted, ec);
  if (ec) throw std::runtime_error("cannot restrict " + file.string() + ": " + ec.message());
}

// The database is made empty with mode 0600 before SQLite opens it (SQLite gives its journal
// files the database's mode).
void create_private_database(const fs::path& file) {
  if (fs::exists(file)) return;
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create " + file.string() + ": " + std::strerror(errno));
  ::close(fd);
}

// A file only its owner may read, holding `text`, made when absent; an existing one is kept.
void write_private_if_absent(const fs::path& file, std::string_view text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return;
    throw std::runtime_error("cannot create " + file.string() + ": " + std::strerror(errno));
  }
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!written) throw std::runtime_error("cannot write " + file.string());
}

// The worker lies beside the program in a build tree (build/bin/rivi_worker) and in the
// program's lib/qn_rivi/ once installed (/usr/bin/rivi-panel, /usr/lib/qn_rivi/rivi_worker).
fs::path find_worker(const fs::path& bin_dir) {
  const fs::path built = bin_dir / "rivi_worker";
  const fs::path installed = bin_dir.parent_path() / "lib" / "qn_rivi" / "rivi_worker";
  for (const fs::path& worker : {built, installed})
    if (fs::is_regular_file(worker)) return worker;
  throw std::runtime_error("the worker is missing: neither " + built.string() + " nor " + installed.string() + " exists");
}

}  // namespace

void create_host_tables(Connection& db) {
  db.exec_script(R"sql(
CREATE TABLE IF NOT EXISTS logs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  type TEXT,
  log TEXT,
  addtime TEXT
);
CREATE TABLE IF NOT EXISTS nodes (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT,
  title TEXT,
  level INTEGER,
  sort REAL,
  state INTEGER,
  p_nid INTEGER,
  ps TEXT
);)sql");
  create_crontab_table(db);
  create_api_token_table(db);
  create_fire_table(db);
}

void install_panel(const fs::path& root, const fs::path& bin_dir) {
  make_dir(root);
  make_dir(root / "data");
  make_dir(root / "plugin" / "qn_rivi");
  make_dir(root / "pyenv" / "bin");

  const fs::path data = root / "data";
  create_private_database(data / "default.db");
  Connection db((data / "default.db").string());
  // The database is laid out in WAL mode (a lasting property of the file), so that opening it
  // never has to switch modes.
  db.query("PRAGMA journal_mode=WAL");
  create_host_tables(db);

  // The host's notification settings: "{}" means "not configured". Existing files are kept.
  write_if_absent(data / "stmp_mail.json", "{}");
  write_if_absent(data / "dingding.json", "{}");
  // The bearer token that scrapers of GET /metrics send.
  write_private_if_absent(data / "metrics_token", random_token() + "\n");

  // What holds a secret (the mail password, the DingTalk key, the centre's key, the server's
  // identity, the stored data) is readable by the panel's owner alone, also in a root laid out
  // before files were made so.
  for (const char* name : {"default.db", "default.db-wal", "default.db-shm", "stmp_mail.json", "dingding.json",
                           "serverid", "dispatch_key", "admin_password.json"})
    owner_only(data / name);
  owner_and_group_read(data / "metrics_token");

  const fs::path plugin_dir = root / "plugin" / "qn_rivi";
  install_file(find_worker(bin_dir), plugin_dir / "rivi_worker");
  const fs::path share = bin_dir.parent_path() / "share" / "qn_rivi";
  if (!fs::is_directory(share)) throw std::runtime_error("the plug-in's files are missing: " + share.string());
  std::error_code ec;
  fs::copy(share, plugin_dir, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  if (ec) throw std::runtime_error("cannot copy " + share.string() + " to " + plugin_dir.string() + ": " + ec.message());

  // The interpreter a job's command starts: the system's Python 3.
  const fs::path python = root / "pyenv" / "bin" / "python";
  if (!fs::exists(python) && !fs::is_symlink(python)) {
    fs::create_symlink("/usr/bin/python3", python, ec);
    if (ec) throw std::runtime_error("cannot create " + python.string() + ": " + ec.message());
  }
}

}  // namespace rivi
