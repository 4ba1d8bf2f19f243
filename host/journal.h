// Lines a program writes to standard error, with the syslog priority journald reads from a
// "<N>" prefix (sd-daemon(3)). The prefix is written only when standard error is the journal:
// JOURNAL_STREAM names that stream as "<device>:<inode>" and it is the file descriptor 2 is open
// on (a child that inherits the variable with another standard error writes plain lines). On a
// terminal, into a job's log or into a test's capture, lines stay as people read them.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace rivi::journal {

enum class Priority : int { err = 3, warning = 4, notice = 5, info = 6, debug = 7 };

// Whether a JOURNAL_STREAM value ("<device>:<inode>", decimal) names the file `device`/`inode`.
bool names_stream(std::string_view journal_stream, dev_t device, ino_t inode);

// `text` as written: one line per line of `text` (a trailing line feed ends the last line, it
// does not add an empty one), each starting with "<N>" when `prefixed`.
std::string lines(Priority priority, std::string_view text, bool prefixed);

// Writes `text` to standard error in one write, so that lines from other threads never fall
// inside it. Never throws: a standard error that takes nothing loses the line.
void log_line(Priority priority, std::string_view text);

}  // namespace rivi::journal
