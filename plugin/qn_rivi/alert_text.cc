#include "plugin/qn_rivi/alert_text.h"

#include "host/web/html.h"

#include <stdexcept>

namespace rivi::alert_text {

std::string md(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const std::string_view rest = text.substr(i);
    if (rest.starts_with("\u2028") || rest.starts_with("\u2029") || rest.starts_with("\u0085")) {
      out += ' ';
      i += rest.starts_with("\u0085") ? 1 : 2;
      continue;
    }
    if (c == '\r' || c == '\n') {
      out += ' ';
      continue;
    }
    if (std::string_view("\\`*_[]<>#|~&:.@").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

std::string duration_words(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  const std::int64_t days = seconds / 86400, hours = seconds % 86400 / 3600, minutes = seconds % 3600 / 60;
  std::string out;
  if (days) out += std::to_string(days) + "天";
  if (hours) out += std::to_string(hours) + "小时";
  if (minutes || out.empty()) out += std::to_string(minutes) + "分钟";
  return out;
}

std::string tasks_html(const std::vector<TaskLine>& tasks) {
  std::string out = "<ul>";
  for (std::size_t i = 0; i < tasks.size() && i < kListedTasks; ++i)
    out += "<li>" + html_escape(tasks[i].name) + " (" + html_escape(tasks[i].url) + ")</li>";
  if (tasks.size() > kListedTasks) out += "<li>另有 " + std::to_string(tasks.size() - kListedTasks) + " 个任务</li>";
  return out + "</ul>";
}

std::string tasks_markdown(const std::vector<TaskLine>& tasks) {
  std::string out;
  for (std::size_t i = 0; i < tasks.size() && i < kListedTasks; ++i) out += "- " + md(tasks[i].name) + "\n";
  if (tasks.size() > kListedTasks) out += "- 另有 " + std::to_string(tasks.size() - kListedTasks) + " 个任务\n";
  return out;
}

Message digest(const std::vector<Message>& messages) {
  if (messages.empty()) throw std::invalid_argument("a digest of no message");
  if (messages.size() == 1) return messages.front();
  Message out;
  out.title = "[汇总] " + std::to_string(messages.size()) + " 条通知";
  out.html = "<h2>" + html_escape(out.title) + "</h2><ol>";
  std::string list;
  for (const Message& m : messages) {
    out.html += "<li>" + html_escape(m.title) + "</li>";
    list += "- " + md(m.title) + "\n";
  }
  out.html += "</ol>";
  for (const Message& m : messages) out.html += "<hr />" + m.html;
  out.markdown = "### " + md(out.title) + "\n\n" + list;
  std::size_t omitted = 0;
  for (const Message& m : messages) {
    if (out.markdown.size() + m.markdown.size() + 8 > kMarkdownBytes) {
      ++omitted;
      continue;
    }
    out.markdown += "\n---\n\n" + m.markdown;
  }
  if (omitted) out.markdown += "\n---\n\n其余 " + std::to_string(omitted) + " 条的详情见邮件或监控页面\n";
  return out;
}

}  // namespace rivi::alert_text
