#include "host/web/login_page.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/web/html.h"

#include <stdexcept>
#include <string_view>

namespace rivi {
namespace {

constexpr std::string_view kCsrfPlace = "{{csrf_token}}";
constexpr std::string_view kErrorPlace = "{{error}}";

std::string read(const std::filesystem::path& file) {
  auto text = public_::ReadFile(file.string());
  if (!text) throw std::runtime_error("the login page's file is missing or unreadable: " + file.string());
  return std::move(*text);
}

// `text` with its first `place` replaced by `value` (the template holds each place once).
void fill(std::string& text, std::string_view place, const std::string& value) {
  if (const auto at = text.find(place); at != std::string::npos) text.replace(at, place.size(), value);
}

}  // namespace

std::filesystem::path default_login_dir() { return executable_dir().parent_path() / "share" / "rivi-panel"; }

LoginPage::LoginPage(const std::filesystem::path& dir)
    : html_(read(dir / "login.html")), css_(read(dir / "login.css")) {
  if (html_.find(kCsrfPlace) == std::string::npos)
    throw std::runtime_error("the login page " + (dir / "login.html").string() + " has no " + std::string(kCsrfPlace));
}

std::string LoginPage::html(const std::string& csrf, const std::string& error) const {
  std::string out = html_;
  // The error last: its text may hold a place's name, and nothing is filled after it.
  fill(out, kCsrfPlace, html_escape(csrf));
  fill(out, kErrorPlace, error.empty() ? std::string() : "<p class=\"error\" role=\"alert\">" + html_escape(error) + "</p>");
  return out;
}

}  // namespace rivi
