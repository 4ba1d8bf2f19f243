// Laying out a panel root: data/ with the host tables (crontab, logs, nodes), the host's
// notification files when absent, plugin/qn_rivi/ with the worker, its launcher and the page,
// and pyenv/bin/python pointing at the system's Python 3. The database and the files holding
// secrets under data/ are made, or narrowed, to mode 0600; the scrapers' token keeps a group's
// right to read it (0640), no other. Idempotent; never destroys data.
#pragma once

#include <filesystem>

namespace rivi {

class Connection;

// Creates the host tables when missing (also used by tests on a bare database).
void create_host_tables(Connection& db);

// Lays out `root` from the directory of the running program, `bin_dir`: the worker is
// `bin_dir/rivi_worker` in a build tree, else `bin_dir/../lib/qn_rivi/rivi_worker` (as installed
// by the package), and the plug-in's other files are `bin_dir/../share/qn_rivi` in both. Throws
// std::runtime_error naming the path that is missing or cannot be created.
void install_panel(const std::filesystem::path& root, const std::filesystem::path& bin_dir);

}  // namespace rivi
