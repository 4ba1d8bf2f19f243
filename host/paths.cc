#include "host/paths.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace rivi {

std::filesystem::path panel_root() {
  const char* env = std::getenv("PANEL_ROOT");
  return (env && *env) ? std::filesystem::path(env) : std::filesystem::path("/www/server/panel");
}

std::string root_path(std::string_view relative) {
  return (panel_root() / std::filesystem::path(relative)).string();
}

std::string database_path() { return root_path("data/default.db"); }

std::filesystem::path executable_dir() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the running program: " + ec.message());
  return exe.parent_path();
}

}  // namespace rivi
