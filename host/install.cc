#include "host/install.h"

#include "host/crontab.h"
#include "host/public.h"
#include "host/store.h"

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
}

void install_panel(const fs::path& root, const fs::path& bin_dir) {
  make_dir(root);
  make_dir(root / "data");
  make_dir(root / "plugin" / "qn_rivi");
  make_dir(root / "pyenv" / "bin");

  Connection db((root / "data" / "default.db").string());
  // The database is laid out in WAL mode (a lasting property of the file), so that opening it
  // never has to switch modes.
  db.query("PRAGMA journal_mode=WAL");
  create_host_tables(db);

  // The host's notification settings: "{}" means "not configured". Existing files are kept.
  write_if_absent(root / "data" / "stmp_mail.json", "{}");
  write_if_absent(root / "data" / "dingding.json", "{}");

  const fs::path plugin_dir = root / "plugin" / "qn_rivi";
  const fs::path worker = bin_dir / "rivi_worker";
  if (!fs::exists(worker)) throw std::runtime_error("the worker is not built: " + worker.string() + " is missing");
  install_file(worker, plugin_dir / "rivi_worker");
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
