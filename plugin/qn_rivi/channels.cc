#include "plugin/qn_rivi/channels.h"

#include "plugin/qn_rivi/tags.h"

#include "host/mail/robots.h"
#include "host/net/webhook_url.h"
#include "host/store/store.h"
#include "host/utf8.h"
#include "host/web/channel_settings.h"

#include <algorithm>
#include <charconv>

namespace rivi::channels {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_channel ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL, name TEXT NOT NULL, url TEXT NOT NULL, "
    "secret TEXT NOT NULL DEFAULT '', tags TEXT NOT NULL DEFAULT '[]', enabled INTEGER NOT NULL DEFAULT 1, "
    "created INTEGER NOT NULL)";

constexpr std::size_t kNameBytes = 64;
constexpr std::size_t kTagBytes = 32;
constexpr std::size_t kMostTags = 20;
constexpr std::size_t kUrlBytes = 1024;
constexpr std::size_t kSecretBytes = 256;

std::string field(const Record& form, const char* key) {
  const auto it = form.find(key);
  if (it == form.end() || it->is_null()) return "";
  return it->is_string() ? it->get<std::string>() : text_of(*it);
}

bool has_control(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// A text field: UTF-8, no control characters, at most `most` bytes.
std::string checked_text(const Record& form, const char* key, const char* label, std::size_t most) {
  std::string value = field(form, key);
  if (!is_utf8(value) || has_control(value)) throw SettingsRefused(std::string(label) + "（" + key + "）不能包含控制字符或无效文本");
  if (value.size() > most) throw SettingsRefused(std::string(label) + "（" + key + "）过长，最多 " + std::to_string(most) + " 字节");
  return value;
}

Channel channel_of(const Record& row) {
  Channel c;
  c.id = to_int(row["id"]);
  c.kind = row["kind"].get<std::string>();
  c.name = row["name"].get<std::string>();
  c.url = row["url"].get<std::string>();
  c.secret = row["secret"].get<std::string>();
  try {
    for (const Record& tag : decode(row["tags"].get<std::string>()))
      if (tag.is_string()) c.tags.push_back(tag.get<std::string>());
  } catch (const std::exception&) {
    // A damaged list routes as no tags: the channel then takes every alert rather than none.
  }
  c.enabled = to_int(row["enabled"]) != 0;
  c.created = to_int(row["created"]);
  return c;
}

// The form's `tags`: separated by commas (also full-width), semicolons or blanks, each once.
std::vector<std::string> tags_of(const Record& form) {
  const std::string text = checked_text(form, "tags", "标签", 4096);
  std::string spaced;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "，") == 0 || text.compare(i, 3, "；") == 0 || text.compare(i, 3, "、") == 0) {
      spaced += ' ';
      i += 2;
    } else {
      spaced += text[i] == ',' || text[i] == ';' || text[i] == '\t' ? ' ' : text[i];
    }
  }
  std::vector<std::string> tags;
  std::size_t start = 0;
  while (start < spaced.size()) {
    const std::size_t end = std::min(spaced.find(' ', start), spaced.size());
    std::string tag = spaced.substr(start, end - start);
    start = end + 1;
    if (tag.empty()) continue;
    if (tag.size() > kTagBytes) throw SettingsRefused("标签（tags）「" + readable_text(tag, 40) + "」过长，最多 32 字节");
    if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(std::move(tag));
  }
  if (tags.size() > kMostTags) throw SettingsRefused("标签（tags）最多 20 个");
  return tags;
}

bool flag_of(const Record& form, const char* key, const char* label) {
  const std::string value = field(form, key);
  if (value == "1" || value == "true") return true;
  if (value == "0" || value == "false") return false;
  throw SettingsRefused(std::string(label) + "（" + key + "）须为 1 或 0");
}

std::optional<WebhookOrigin> origin_of(const std::string& url) {
  try {
    return judge_webhook(url);
  } catch (const WebhookRefused&) {
    return std::nullopt;
  }
}

Record tags_record(const std::vector<std::string>& tags) {
  Record list = Record::array();
  for (const std::string& t : tags) list.push_back(t);
  return list;
}

}  // namespace

void create_tables(Connection& db) { db.exec_script(kSchema); }

std::vector<Channel> all(Connection& db) {
  std::vector<Channel> out;
  if (!db.has_table("rivi_channel")) return out;
  for (const Record& row : db.query("SELECT * FROM rivi_channel ORDER BY id")) out.push_back(channel_of(row));
  return out;
}

std::optional<Channel> find(Connection& db, std::int64_t id) {
  if (!db.has_table("rivi_channel")) return std::nullopt;
  const Record rows = db.query("SELECT * FROM rivi_channel WHERE id = ?", Record::array({id}));
  if (rows.empty()) return std::nullopt;
  return channel_of(rows[0]);
}

std::string shown_url(const std::string& url) {
  const auto scheme = url.find("://");
  if (scheme == std::string::npos) return "";
  const std::size_t end = url.find_first_of("/?#", scheme + 3);
  return url.substr(0, end) + "/…";
}

Record listed(Connection& db) {
  Record list = Record::array();
  for (const Channel& c : all(db)) {
    const auto origin = origin_of(c.url);
    list.push_back(Record{{"id", c.id},
                          {"kind", c.kind},
                          {"name", c.name},
                          {"url", shown_url(c.url)},
                          {"host", origin ? origin->host : ""},
                          {"secret_set", !c.secret.empty()},
                          {"tags", tags_record(c.tags)},
                          {"enabled", c.enabled},
                          {"created", c.created},
                          {"recipient", recipient_of(c)}});
  }
  return list;
}

Draft draft(Connection& db, const Record& form) {
  Draft d;
  Channel& c = d.channel;
  std::optional<Channel> stored;
  if (const std::string id = field(form, "id"); !id.empty()) {
    std::int64_t n = 0;
    const auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), n);
    if (ec == std::errc() && end == id.data() + id.size()) stored = find(db, n);
    if (!stored) throw SettingsRefused("id 指定的通知渠道不存在");
    c = *stored;
  }
  if (form.contains("kind") || !stored) {
    c.kind = field(form, "kind");
    if (!robots::known_kind(c.kind)) throw SettingsRefused("渠道类型（kind）须为 wecom、feishu 或 webhook");
  }
  if (form.contains("name") || !stored) {
    c.name = trimmed_blanks(checked_text(form, "name", "渠道名称", kNameBytes));
    if (c.name.empty()) throw SettingsRefused("请填写渠道名称（name）");
  }
  // The page is shown the stored URL without its path: that form, or nothing, keeps the stored URL.
  const std::string given = trimmed_blanks(checked_text(form, "url", "Webhook 地址", kUrlBytes));
  const bool keeps_url = stored && (given.empty() || given == shown_url(stored->url));
  if (!keeps_url) {
    if (given.empty()) throw SettingsRefused("请填写 Webhook 地址（url）");
    try {
      judge_webhook(given);
    } catch (const WebhookRefused& e) {
      throw SettingsRefused(std::string("Webhook 地址（url）：") + e.what());
    }
    c.url = given;
  }
  if (c.kind == robots::kWecom) {
    const auto query = c.url.find('?');
    const auto key = query == std::string::npos ? std::string::npos : c.url.find("key=", query);
    if (key == std::string::npos || (c.url[key - 1] != '?' && c.url[key - 1] != '&') || key + 4 >= c.url.size() ||
        c.url[key + 4] == '&')
      throw SettingsRefused("企业微信机器人的 Webhook 地址（url）须带 key 参数：…/cgi-bin/webhook/send?key=…");
  }
  // A secret signs for its robot: it must not follow the URL to another origin.
  const bool moved = !stored || origin_of(stored->url) != origin_of(c.url);
  const std::string secret = checked_text(form, "secret", "签名密钥", kSecretBytes);
  if (field(form, "clear_secret") == "1" || c.kind == robots::kWecom) {
    c.secret.clear();  // a WeCom robot's secret is the key in its URL
  } else if (!secret.empty()) {
    c.secret = secret;
  } else if (moved && !c.secret.empty()) {
    c.secret.clear();
    d.dropped = true;
  }
  if (form.contains("tags") || !stored) c.tags = tags_of(form);
  if (form.contains("enabled")) c.enabled = flag_of(form, "enabled", "启用");
  return d;
}

Saved save(Connection& db, const Record& form, std::int64_t now) {
  create_tables(db);
  const Draft d = draft(db, form);
  const Channel& c = d.channel;
  const std::string tags = encode(tags_record(c.tags));
  Saved saved;
  if (c.id != 0) {
    db.run("UPDATE rivi_channel SET kind = ?, name = ?, url = ?, secret = ?, tags = ?, enabled = ? WHERE id = ?",
           Record::array({c.kind, c.name, c.url, c.secret, tags, c.enabled ? 1 : 0, c.id}));
    saved.id = c.id;
  } else {
    db.run("INSERT INTO rivi_channel (kind, name, url, secret, tags, enabled, created) VALUES (?, ?, ?, ?, ?, ?, ?)",
           Record::array({c.kind, c.name, c.url, c.secret, tags, c.enabled ? 1 : 0, now}));
    saved.id = to_int(db.query("SELECT last_insert_rowid() AS id")[0]["id"]);
  }
  saved.dropped = d.dropped;
  saved.msg = "通知渠道已保存";
  if (d.dropped) saved.msg += "。Webhook 地址已指向其他主机，原签名密钥已清除，请重新输入签名密钥";
  return saved;
}

bool remove(Connection& db, std::int64_t id, std::int64_t now) {
  const std::optional<Channel> c = find(db, id);
  if (!c) return false;
  db.run("DELETE FROM rivi_channel WHERE id = ?", Record::array({id}));
  // Its rows queued before a change of its URL name the older host: the id alone is matched.
  const std::string prefix = "#" + std::to_string(id) + " ";
  outbox::create_tables(db);
  db.run("UPDATE rivi_outbox SET state = 'failed', answer = '通知渠道已删除', done = ? WHERE channel = ? AND "
         "substr(recipient, 1, ?) = ? AND state IN ('pending', 'held')",
         Record::array({now, c->kind, static_cast<std::int64_t>(prefix.size()), prefix}));
  return true;
}

std::vector<std::string> task_tags(Connection& db, std::int64_t pid) {
  if (pid == 0 || !db.has_table("rivi_tag")) return {};
  return tags::of_task(db, pid);
}

std::vector<outbox::Address> addresses_for(Connection& db, std::int64_t pid) {
  std::vector<outbox::Address> to;
  const std::vector<Channel> list = all(db);
  if (list.empty()) return to;
  const std::vector<std::string> tags = task_tags(db, pid);
  for (const Channel& c : list) {
    if (!c.enabled) continue;
    const bool routed = c.tags.empty() || pid == 0 || std::any_of(c.tags.begin(), c.tags.end(), [&](const std::string& t) {
                          return std::find(tags.begin(), tags.end(), t) != tags.end();
                        });
    if (routed) to.push_back({c.kind, recipient_of(c)});
  }
  return to;
}

std::string recipient_of(const Channel& channel) {
  const auto origin = origin_of(channel.url);
  return "#" + std::to_string(channel.id) + " " + (origin ? origin->host : std::string("webhook"));
}

std::optional<std::int64_t> id_of_recipient(std::string_view recipient) {
  if (!recipient.starts_with('#')) return std::nullopt;
  const std::string_view digits = recipient.substr(1, recipient.find(' ') - 1);
  std::int64_t id = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
  if (ec != std::errc() || end != digits.data() + digits.size() || id <= 0) return std::nullopt;
  return id;
}

Record robot_settings(const Channel& channel) {
  return Record{{"kind", channel.kind}, {"url", channel.url}, {"secret", channel.secret}};
}

}  // namespace rivi::channels
