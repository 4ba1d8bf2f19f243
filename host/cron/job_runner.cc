#include "host/cron/job_runner.h"

#include "host/paths.h"

#include <fmt/format.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace rivi {

namespace {

// Bytes that make up a plain word: nothing a shell would expand, quote, redirect or split.
bool plain_byte(unsigned char c) {
  if (c >= 0x80) return true;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("/._-+:,@%").find(static_cast<char>(c)) != std::string_view::npos;
}

constexpr std::size_t kTailLines = 10;
constexpr std::size_t kTailBytes = 1000;

}  // namespace

std::optional<std::vector<std::string>> plain_words(std::string_view body) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : body) {
    if (c == ' ') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else if (plain_byte(static_cast<unsigned char>(c))) {
      word.push_back(c);
    } else {
      return std::nullopt;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  if (words.empty()) return std::nullopt;
  return words;
}

std::filesystem::path job_log_path(std::int64_t job_id) {
  return root_path(fmt::format("cron/{}.log", job_id));
}

std::filesystem::path backup_log_path(const std::filesystem::path& log) { return log.string() + ".1"; }

void append_log_line(const std::filesystem::path& log, std::string_view line) {
  std::error_code error;
  std::filesystem::create_directories(log.parent_path(), error);
  if (error) throw std::runtime_error(fmt::format("cannot create {}: {}", log.parent_path().string(), error.message()));
  std::ofstream out(log, std::ios::app);
  out << line << '\n' << std::flush;
  if (!out) throw std::runtime_error(fmt::format("cannot write {}", log.string()));
}

std::string log_tail(const std::filesystem::path& log, std::uintmax_t from) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(log, error);
  if (error || size <= from) return "";
  // Enough bytes for the lines kept, and a little more to find where the first of them begins.
  const std::uintmax_t start = std::max(from, size > 4 * kTailBytes ? size - 4 * kTailBytes : 0);
  std::ifstream in(log, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(start));
  std::string text(static_cast<std::size_t>(size - start), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();

  // Whole lines from the end, as many as fit; the last line alone is cut to fit.
  std::size_t begin = text.size();
  for (std::size_t lines = 0; lines < kTailLines && begin > 0; ++lines) {
    const std::size_t newline = begin >= 2 ? text.rfind('\n', begin - 2) : std::string::npos;
    const std::size_t line_start = newline == std::string::npos ? 0 : newline + 1;
    if (lines > 0 && text.size() - line_start > kTailBytes) break;
    begin = line_start;
  }
  std::string tail = text.substr(begin);
  if (tail.size() > kTailBytes) tail.erase(0, tail.size() - kTailBytes);
  return tail;
}

std::optional<std::string> fire_of_this_run() {
  const char* fire = std::getenv(kFireVariable);
  if (fire == nullptr || *fire == '\0') return std::nullopt;
  return std::string(fire);
}

}  // namespace rivi
