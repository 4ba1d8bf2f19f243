// Laying out a panel root: data/ with the host tables (crontab, logs, nodes), the host's
// notification files when absent, plugin/qn_rivi/ with the worker, its launcher and the page,
// and pyenv/bin/python pointing at the system's Python 3. The database and the files holding
// secrets under data/ are made, or narrowed, to mode 0600. Idempotent; never destroys data.
#pragma once

#include <filesystem>

namespace rivi {

class Connection;

// Creates the host tables when missing (also used by tests on a bare database).
void create_host_tables(Connection& db);

// Lays out `root`. `bin_dir` holds the built programs (rivi_worker) and `bin_dir/../share/qn_rivi`
// the plug-in's files. Throws std::runtime_error naming the path that cannot be created.
void install_panel(const std::filesystem::path& root, const std::filesystem::path& bin_dir);

}  // namespace rivi
