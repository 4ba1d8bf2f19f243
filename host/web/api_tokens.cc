#include "host/web/api_tokens.h"

#include "host/public.h"
#include "host/utf8.h"
#include "host/web/admin_auth.h"

#include <stdexcept>

namespace rivi {
namespace {

constexpr const char* kTable = "api_token";

}  // namespace

std::optional<TokenScope> token_scope_named(const std::string& text) {
  if (text == "read") return TokenScope::read;
  if (text == "write") return TokenScope::write;
  return std::nullopt;
}

void create_api_token_table(Connection& db) {
  db.exec_script(R"sql(CREATE TABLE IF NOT EXISTS api_token (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL,
  scope TEXT NOT NULL,
  token_hash TEXT NOT NULL UNIQUE,
  created TEXT NOT NULL,
  last_used TEXT NOT NULL DEFAULT ''
);)sql");
}

void create_api_token_table() {
  Query query(kTable);
  create_api_token_table(query.connection());
}

NewApiToken create_api_token(const std::string& name, TokenScope scope) {
  const std::string trimmed = trimmed_blanks(name);
  if (trimmed.empty()) throw std::invalid_argument("令牌名称不能为空");
  if (!is_utf8(trimmed) || trimmed.size() > 64) throw std::invalid_argument("令牌名称须为不超过64字节的文本");
  create_api_token_table();
  NewApiToken made{0, trimmed, random_token(32)};
  made.id = Query(kTable).insert(Record{{"name", trimmed},
                                        {"scope", scope == TokenScope::write ? "write" : "read"},
                                        {"token_hash", sha256_hex(made.token)},
                                        {"created", public_::format_date()},
                                        {"last_used", ""}});
  return made;
}

Record list_api_tokens() {
  create_api_token_table();
  Record rows = Query(kTable).order("id desc").select();
  Record out = Record::array();
  for (const auto& row : rows)
    out.push_back(Record{{"id", row["id"]},
                         {"name", row["name"]},
                         {"scope", row["scope"]},
                         {"created", row["created"]},
                         {"last_used", row["last_used"]}});
  return out;
}

std::optional<std::string> revoke_api_token(std::int64_t id) {
  create_api_token_table();
  const Record name = Query(kTable).where("id=?", Record::array({id})).getField("name");
  if (name.is_null() || Query(kTable).where("id=?", Record::array({id})).delete_() == 0) return std::nullopt;
  return name.get<std::string>();
}

std::optional<TokenScope> use_api_token(const std::string& token) {
  if (token.empty()) return std::nullopt;
  create_api_token_table();
  // Looked up by the hash: the token's text never reaches the database, and matching a hash
  // tells a guesser nothing about a token's text.
  const std::string hash = sha256_hex(token);
  const Record row = Query(kTable).where("token_hash=?", Record::array({hash})).find();
  if (row.is_null()) return std::nullopt;
  const auto scope = token_scope_named(row["scope"].get<std::string>());
  if (!scope) return std::nullopt;
  Query(kTable).where("id=?", Record::array({row["id"]})).update(Record{{"last_used", public_::format_date()}});
  return scope;
}

}  // namespace rivi
