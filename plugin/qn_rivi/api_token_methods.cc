#include "plugin/qn_rivi/api_token_methods.h"

#include "host/public.h"
#include "host/web/api_tokens.h"

#include <fmt/format.h>

#include <stdexcept>

namespace rivi {
namespace {

constexpr const char* kLogType = "拔测监控";

}  // namespace

Record create_token(Record& args) {
  const auto scope = token_scope_named(args.contains("scope") ? text_of(args["scope"]) : "");
  if (!scope) return public_::returnMsg(false, "令牌权限须为 read（只读）或 write（读写）");
  const std::string name = args.contains("name") ? text_of(args["name"]) : "";
  NewApiToken made;
  try {
    made = create_api_token(name, *scope);
  } catch (const std::invalid_argument& e) {
    return public_::returnMsg(false, e.what());
  }
  Record answer = public_::returnMsg(true, "令牌已创建，请立即保存：它只显示这一次");
  answer["id"] = made.id;
  answer["name"] = made.name;
  answer["scope"] = *scope == TokenScope::write ? "write" : "read";
  answer["token"] = made.token;
  public_::WriteLog(kLogType, fmt::format("创建API令牌[{}]（{}）", text_of(answer["name"]), text_of(answer["scope"])));
  return answer;
}

Record get_tokens(Record&) {
  Record answer = public_::returnMsg(true, "");
  answer["data"] = list_api_tokens();
  return answer;
}

Record revoke_token(Record& args) {
  if (!args.contains("id")) return public_::returnMsg(false, "缺少令牌编号 id");
  const std::int64_t id = to_int(args["id"]);
  const auto name = revoke_api_token(id);
  if (!name) return public_::returnMsg(false, "令牌不存在或已撤销");
  public_::WriteLog(kLogType, fmt::format("撤销API令牌[{}]", *name));
  return public_::returnMsg(true, "令牌已撤销");
}

}  // namespace rivi
