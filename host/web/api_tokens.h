// API tokens: named bearer credentials with a scope, for scripts that call the plug-in's methods
// without a browser session. Kept in the host table `api_token` (id, name, scope, token_hash,
// created, last_used): only the SHA-256 of a token is stored; the token itself exists once, in
// the answer that made it. Every check reads the table, so a revoked token is refused at once.
#pragma once

#include "host/record.h"
#include "host/store/store.h"

#include <cstdint>
#include <optional>
#include <string>

namespace rivi {

enum class TokenScope { read, write };

// "read" / "write" -> the scope; anything else -> nothing.
std::optional<TokenScope> token_scope_named(const std::string& text);

// Creates the table when missing (install does it; roots laid out before it get it on first use).
void create_api_token_table(Connection& db);
// The same on the host database, through the calling thread's connection.
void create_api_token_table();

struct NewApiToken {
  std::int64_t id = 0;
  std::string name;   // as stored: the name without surrounding blanks
  std::string token;  // 64 hex digits (32 random bytes); shown once, never stored
};

// Makes a token named `name` (1 to 64 characters of UTF-8 text) with `scope`. Throws
// std::invalid_argument with a message for the administrator when the name is not acceptable.
NewApiToken create_api_token(const std::string& name, TokenScope scope);

// The tokens, newest first: [{id, name, scope, created, last_used}] (last_used "" when never).
Record list_api_tokens();

// Ends the token `id` and answers its name; nothing when there is none.
std::optional<std::string> revoke_api_token(std::int64_t id);

// The scope of `token` when it is a live token, recording its use; nothing otherwise.
std::optional<TokenScope> use_api_token(const std::string& token);

}  // namespace rivi
