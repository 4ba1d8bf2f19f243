// The chat robots' web methods: get_channels, set_channel, remove_channel (the table and the
// routing are channels.h; their test is test_channel's, in alerting.cc).
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "host/store/store_retry.h"
#include "host/web/channel_settings.h"
#include "plugin/qn_rivi/channels.h"
#include "plugin/qn_rivi/row_id.h"

namespace rivi {

Record qn_rivi_main::get_channels(Record&) {
  const auto db = Connection::for_thread(database_path());
  return channels::listed(*db);
}

Record qn_rivi_main::set_channel(Record& args) {
  const auto db = Connection::for_thread(database_path());
  channels::Saved saved;
  try {
    retry_while_locked(*db, StoreRetry{}, [&] {
      transaction tx(db);
      saved = channels::save(*db, args, public_::now());
      tx.commit();
    });
  } catch (const SettingsRefused& e) {
    return public_::returnMsg(false, e.what());
  }
  return Record{{"status", true}, {"msg", saved.msg}, {"id", saved.id}, {"dropped", saved.dropped ? "secret" : ""}};
}

Record qn_rivi_main::remove_channel(Record& args) {
  const std::optional<std::int64_t> id = has(args, "id") ? row_id(args["id"]) : std::nullopt;
  if (!id) return public_::returnMsg(false, "id 指定的通知渠道不存在");
  const auto db = Connection::for_thread(database_path());
  bool removed = false;
  retry_while_locked(*db, StoreRetry{}, [&] {
    transaction tx(db);
    removed = channels::remove(*db, *id, public_::now());
    tx.commit();
  });
  if (!removed) return public_::returnMsg(false, "id 指定的通知渠道不存在");
  return public_::returnMsg(true, "通知渠道已删除");
}

}  // namespace rivi
