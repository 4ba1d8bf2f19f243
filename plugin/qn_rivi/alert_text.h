// The words of alert messages shared by every kind: one message in its two forms (HTML for mail,
// markdown for the DingTalk robot), markdown escaping, durations in words, the list of tasks a
// monitor alert names, and the digest that carries several messages as one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rivi::alert_text {

// One message in both forms. The title is one line of plain text (the mail's subject, the robot's
// notification title).
struct Message {
  std::string title, html, markdown;
};

// `text` as markdown that the robot shows as written: what would start markup (emphasis, code,
// links, headings, tables, HTML), strike-through (~), entities (&), and the ':', '.' and '@' that
// would let a bare address or e-mail turn into a link are escaped; line breaks (CR, LF, NEL,
// U+2028, U+2029) become blanks, so that no text starts a line of its own.
std::string md(std::string_view text);

// Seconds as "2天3小时5分钟"; below a minute "0分钟".
std::string duration_words(std::int64_t seconds);

// A task named in a monitor or node alert.
struct TaskLine {
  std::int64_t pid = 0;
  std::string name, url;
};
// The tasks as an HTML list and as markdown lines, at most `kListedTasks` of them and a line
// saying how many more.
inline constexpr std::size_t kListedTasks = 100;
std::string tasks_html(const std::vector<TaskLine>& tasks);
std::string tasks_markdown(const std::vector<TaskLine>& tasks);

// The markdown a robot takes in one message (DingTalk refuses longer texts).
inline constexpr std::size_t kMarkdownBytes = 18000;

// Several messages as one: the title "[汇总] N 条通知", the titles listed first, then each
// message's own body. The markdown keeps whole messages while they fit in `kMarkdownBytes` and
// names the others by title alone. One message is answered as it is.
Message digest(const std::vector<Message>& messages);

}  // namespace rivi::alert_text
