// The web method bulk: one action over many tasks. Every task goes through the single
// operation's own method (modify, remove, start, the tag edit of tags.h), with its transaction,
// scheduled job and log line, so a bulk action leaves exactly what the same single operations one
// after another would. The request as a whole is checked first (the action, the ids, the value);
// then each id gets its own outcome, and an error of one task becomes that task's `msg` instead
// of hiding what was already done to the others.
#include "host/public.h"
#include "host/utf8.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/row_id.h"
#include "plugin/qn_rivi/tags.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {
namespace {

constexpr std::size_t kMostIds = 500;
constexpr std::array<std::string_view, 7> kActions{"pause", "resume", "delete", "cycle", "tag_add", "tag_remove", "probe"};

// A probe's answer as an outcome: a status record as it is, the list of nodes as a success.
Record probe_outcome(const Record& answer) {
  if (answer.is_object() && answer.contains("status")) return answer;
  return public_::returnMsg(true, fmt::format("拨测完成：{}个节点", answer.is_array() ? answer.size() : 0));
}

}  // namespace

Record qn_rivi_main::bulk(Record& args) {
  if (!has(args, "action") || !has(args, "ids")) return public_::returnMsg(false, "错误的参数!");
  const std::string action = text_of(args.at("action"));
  if (std::find(kActions.begin(), kActions.end(), action) == kActions.end())
    return public_::returnMsg(false, "不支持的批量操作：" + action);
  const std::vector<std::string> ids = tags::list_items(text_of(args.at("ids")));
  if (ids.empty()) return public_::returnMsg(false, "请选择任务！");
  if (ids.size() > kMostIds) return public_::returnMsg(false, fmt::format("一次最多操作{}个任务！", kMostIds));

  const std::string value = has(args, "value") ? trimmed_blanks(text_of(args.at("value"))) : "";
  std::string tag;
  if (action == "cycle") {
    try {
      to_int(Record(value));
    } catch (const std::invalid_argument&) {
      return public_::returnMsg(false, "拨测周期应为整数（分钟）！");
    }
  } else if (action == "tag_add" || action == "tag_remove") {
    try {
      tag = tags::tag_of(value);
    } catch (const std::invalid_argument& e) {
      return public_::returnMsg(false, e.what());
    }
  }

  const auto one = [&](const std::string& id) -> Record {
    Record single = Record{{"id", id}};
    if (action == "pause" || action == "resume") {
      single["status"] = action == "pause" ? 0 : 1;
      return modify(single);
    }
    if (action == "cycle") {
      single["cycle"] = value;
      return modify(single);
    }
    if (action == "delete") return remove(single);
    if (action == "probe") return probe_outcome(start(single));
    return tags::edit_task(id, [&](std::vector<std::string> now) {
      const auto at = std::find(now.begin(), now.end(), tag);
      if (action == "tag_add" && at == now.end()) now.push_back(tag);
      if (action == "tag_remove" && at != now.end()) now.erase(at);
      return now;
    });
  };

  Record data = Record::array();
  std::size_t done = 0;
  for (const std::string& id : ids) {
    Record outcome;
    try {
      outcome = one(id);
    } catch (const std::exception& e) {
      outcome = public_::returnMsg(false, e.what());
    }
    const bool ok = outcome.is_object() && truthy(outcome.value("status", Record(false)));
    if (ok) ++done;
    const auto number = row_id(Record(id));
    data.push_back(Record{{"id", number ? Record(*number) : Record(id)}, {"status", ok}, {"msg", outcome.is_object() ? outcome.value("msg", Record("")) : Record("")}});
  }
  Record answer = public_::returnMsg(done > 0, fmt::format("{}个任务成功，{}个失败", done, ids.size() - done));
  answer["data"] = std::move(data);
  return answer;
}

}  // namespace rivi
