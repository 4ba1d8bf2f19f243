#include "host/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace rivi::journal {

namespace {

template <typename Number>
bool read_number(std::string_view text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// Whether this process's standard error is the journal, decided once, at the first line.
bool stderr_is_journal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    return stream != nullptr && ::fstat(STDERR_FILENO, &st) == 0 && names_stream(stream, st.st_dev, st.st_ino);
  }();
  return journal;
}

}  // namespace

bool names_stream(std::string_view journal_stream, dev_t device, ino_t inode) {
  const auto colon = journal_stream.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned long long named_device = 0, named_inode = 0;
  if (!read_number(journal_stream.substr(0, colon), named_device) ||
      !read_number(journal_stream.substr(colon + 1), named_inode)) {
    return false;
  }
  return named_device == static_cast<unsigned long long>(device) && named_inode == static_cast<unsigned long long>(inode);
}

std::string lines(Priority priority, std::string_view text, bool prefixed) {
  const std::string prefix = prefixed ? "<" + std::to_string(static_cast<int>(priority)) + ">" : "";
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  std::string out;
  out.reserve(text.size() + prefix.size() + 1);
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find('\n', start);
    out += prefix;
    out += text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    out += '\n';
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return out;
}


void log_line(Priority priority, std::string_view text) {
  const std::string out = lines(priority, text, stderr_is_journal());
  std::string_view rest = out;
  while (!rest.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace rivi::journal
