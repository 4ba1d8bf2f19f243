// The login page's two files, login.html (a template with {{csrf_token}} and {{error}}) and
// login.css, read once from the folder they are installed in, and the form made from them.
#pragma once

#include <filesystem>
#include <string>

namespace rivi {

// Where the files lie beside the program: <program dir>/../share/rivi-panel, i.e. build/share/
// rivi-panel in a build tree (staged by host/CMakeLists.txt) and /usr/share/rivi-panel installed.
std::filesystem::path default_login_dir();

class LoginPage {
 public:
  // Reads both files of `dir`. Throws std::runtime_error naming the file that is missing or
  // unreadable, or a template without its {{csrf_token}} place.
  explicit LoginPage(const std::filesystem::path& dir);

  // The form with `csrf` in its hidden field and, when `error` is not empty, `error` (escaped)
  // above it.
  std::string html(const std::string& csrf, const std::string& error) const;
  const std::string& css() const { return css_; }

 private:
  std::string html_;
  std::string css_;
};

}  // namespace rivi
