// Where the panel lives: the root directory (environment variable PANEL_ROOT, default
// /www/server/panel) and the fixed places under it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace rivi {

// The panel root, read from PANEL_ROOT on every call (default "/www/server/panel").
std::filesystem::path panel_root();

// `<root>/<relative>` as text, e.g. root_path("data/default.db").
std::string root_path(std::string_view relative);

// The host database: <root>/data/default.db.
std::string database_path();

// The directory of the running executable (resolved through /proc/self/exe).
std::filesystem::path executable_dir();

}  // namespace rivi
