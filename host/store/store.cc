#include "host/store/store.h"

#include "host/paths.h"

#include <fmt/format.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace rivi {
namespace {

constexpr int kBusyTimeoutMs = 30000;
// The log size, in pages, past which a commit checkpoints (SQLite's own default threshold).
constexpr int kCheckpointPages = 1000;
// How long a checkpoint waits for readers of older snapshots before it leaves the log as it is.
constexpr int kCheckpointWaitMs = 200;

// The transaction open on this thread, if any. Only `transaction` sets and clears it, and clears
// it before it dies, so it never points at a dead object.
thread_local const transaction* open_transaction = nullptr;

thread_local std::uint64_t opened_connections = 0;

// A thread's shared connection with the identity of the file it opened. While the connection is
// open it holds the file, so the same device and inode at `path` mean the same file.
struct SharedConnection {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  std::shared_ptr<Connection> db;

  bool names_file(const struct stat& st) const { return st.st_dev == device && st.st_ino == inode; }
  bool file_still_there() const {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && names_file(st);
  }
};

// A thread rarely uses more than one database; tests that lay out root after root would otherwise
// keep every old one open.
constexpr std::size_t kMaxSharedConnections = 4;

// The calling thread's shared connections, closed when the thread ends.
std::vector<SharedConnection>& shared_connections() {
  thread_local std::vector<SharedConnection> connections;
  return connections;
}

struct StmtCloser {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StmtCloser>;

bool is_identifier(std::string_view s) {
  if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
  for (char c : s)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  return true;
}

std::string quote_name(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void bind_value(sqlite3_stmt* stmt, int index, const Record& v) {
  int rc = SQLITE_OK;
  switch (v.type()) {
    case Record::value_t::null: rc = sqlite3_bind_null(stmt, index); break;
    case Record::value_t::boolean: rc = sqlite3_bind_int64(stmt, index, v.get<bool>() ? 1 : 0); break;
    case Record::value_t::number_integer: rc = sqlite3_bind_int64(stmt, index, v.get<std::int64_t>()); break;
    case Record::value_t::number_unsigned: {
      const auto u = v.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(INT64_MAX)) throw std::out_of_range("value too large to store: " + std::to_string(u));
      rc = sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(u));
      break;
    }
    case Record::value_t::number_float: rc = sqlite3_bind_double(stmt, index, v.get<double>()); break;
    case Record::value_t::string: {
      const auto& s = v.get_ref<const std::string&>();
      rc = sqlite3_bind_text(stmt, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
      break;
    }
    default:
      throw std::invalid_argument(fmt::format("parameter {} cannot be stored: lists and records are not values", index));
  }
  if (rc != SQLITE_OK) throw std::runtime_error(fmt::format("cannot bind parameter {}", index));
}

Record column_value(sqlite3_stmt* stmt, int i) {
  switch (sqlite3_column_type(stmt, i)) {
    case SQLITE_INTEGER: return static_cast<std::int64_t>(sqlite3_column_int64(stmt, i));
    case SQLITE_FLOAT: return sqlite3_column_double(stmt, i);
    case SQLITE_NULL: return nullptr;
    default: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      return std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)));
    }
  }
}

// SQLite's message for the last failure on `db`, led by plain words for the two failures an
// operator must act on: another process holding the database, and a database that cannot be written.
std::string failure_text(sqlite3* db, const std::string& path) {
  switch (sqlite3_errcode(db) & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return fmt::format("database locked: {} ({})", sqlite3_errmsg(db), path);
    case SQLITE_READONLY: return fmt::format("database read-only: {} ({})", sqlite3_errmsg(db), path);
    default: return sqlite3_errmsg(db);
  }
}

}  // namespace

Connection::Connection(const std::string& path) : path_(path) {
  const auto dir = std::filesystem::path(path).parent_path();
  if (!dir.empty() && !std::filesystem::is_directory(dir))
    throw std::runtime_error("cannot open database " + path + ": directory " + dir.string() + " does not exist");
  const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("cannot open database " + path + ": " + why);
  }
  ++opened_connections;
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  try {
    // Checkpoints are made at commit time, past a threshold, or by `checkpoint_thread_writes` (see
    // the header), never on close.
    if (sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) != SQLITE_OK)
      throw std::runtime_error("cannot open database " + path + ": " + sqlite3_errmsg(db_));
    // In place of SQLite's automatic checkpoint, which leaves the log's length as it is.
    sqlite3_wal_hook(db_, &Connection::after_commit, this);
    // NORMAL sync is safe in WAL mode: a commit is not synced, a checkpoint is.
    exec_script("PRAGMA synchronous=NORMAL");
    // WAL lets many workers insert while readers read. Asking costs a read; switching happens once.
    if (query("PRAGMA journal_mode")[0]["journal_mode"] != "wal") query("PRAGMA journal_mode=WAL");
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

Connection::~Connection() { sqlite3_close(db_); }

int Connection::after_commit(void* self, sqlite3*, const char*, int pages) {
  if (pages >= kCheckpointPages) static_cast<Connection*>(self)->empty_log();
  return SQLITE_OK;
}

bool Connection::empty_log() {
  sqlite3_busy_timeout(db_, kCheckpointWaitMs);
  const int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  if (rc == SQLITE_OK) checkpointed_changes_ = sqlite3_total_changes64(db_);
  return rc == SQLITE_OK;
}

bool Connection::wrote_since_checkpoint() const { return sqlite3_total_changes64(db_) != checkpointed_changes_; }

bool Connection::has_table(std::string_view name) {
  return !query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", Record::array({std::string(name)})).empty();
}

Record Connection::query(std::string_view sql, const Record& params) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK)
    throw std::runtime_error(fmt::format("{} (in: {})", failure_text(db_, path_), sql));
  Statement stmt(raw);
  const int expected = sqlite3_bind_parameter_count(raw);
  if (params.is_array()) {
    if (static_cast<int>(params.size()) != expected)
      throw std::invalid_argument(fmt::format("the statement needs {} parameters, {} given (in: {})", expected, params.size(), sql));
    for (std::size_t i = 0; i < params.size(); ++i) bind_value(raw, static_cast<int>(i) + 1, params[i]);
  } else {
    if (expected != 1)
      throw std::invalid_argument(fmt::format("the statement needs {} parameters, 1 given (in: {})", expected, sql));
    bind_value(raw, 1, params);
  }
  Record rows = Record::array();
  const int columns = sqlite3_column_count(raw);
  for (;;) {
    const int rc = sqlite3_step(raw);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) throw std::runtime_error(fmt::format("{} (in: {})", failure_text(db_, path_), sql));
    Record row = Record::object();
    for (int i = 0; i < columns; ++i) row[sqlite3_column_name(raw, i)] = column_value(raw, i);
    rows.push_back(std::move(row));
  }
  return rows;
}

std::int64_t Connection::run(std::string_view sql, const Record& params) {
  query(sql, params);
  return sqlite3_changes64(db_);
}

void Connection::exec_script(std::string_view sql) {
  char* err = nullptr;
  const std::string text(sql);
  if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string why = failure_text(db_, path_);
    sqlite3_free(err);
    throw std::runtime_error(why + " (in: " + text + ")");
  }
}

std::shared_ptr<Connection> Connection::for_thread(const std::string& path) {
  auto& connections = shared_connections();
  struct stat st{};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  const auto found =
      std::find_if(connections.begin(), connections.end(), [&](const SharedConnection& c) { return c.path == path; });
  if (found != connections.end()) {
    // A connection left inside a transaction that no `transaction` owns is not handed out again:
    // its owner still has it, and the thread's other accessors get a clean one.
    const bool usable = open_transaction != nullptr || sqlite3_get_autocommit(found->db->handle()) != 0;
    if (exists && found->names_file(st) && usable) return found->db;
    connections.erase(found);
  }
  std::erase_if(connections, [](const SharedConnection& c) { return !c.file_still_there(); });
  if (connections.size() >= kMaxSharedConnections) connections.erase(connections.begin());
  SharedConnection fresh{path, 0, 0, std::make_shared<Connection>(path)};
  if (::stat(path.c_str(), &st) != 0)
    throw std::runtime_error("cannot open database " + path + ": it vanished once opened");
  fresh.device = st.st_dev;
  fresh.inode = st.st_ino;
  connections.push_back(std::move(fresh));
  return connections.back().db;
}

std::uint64_t Connection::opened_on_this_thread() { return opened_connections; }

void checkpoint_thread_writes() {
  for (const SharedConnection& c : shared_connections())
    if (c.db->wrote_since_checkpoint()) c.db->empty_log();
}

transaction::transaction() : transaction(Connection::for_thread(database_path())) {}

transaction::transaction(std::shared_ptr<Connection> db) : db_(std::move(db)) {
  if (open_transaction != nullptr) throw std::logic_error("a transaction is already open on this thread");
  db_->exec_script("BEGIN IMMEDIATE");
  open_transaction = this;
}

transaction::~transaction() {
  if (open_transaction == this) open_transaction = nullptr;
  if (!open_) return;
  // A failed statement may already have ended the transaction; a second ROLLBACK then fails
  // harmlessly. Should the rollback itself fail, the connection is left inside the transaction,
  // and `Connection::for_thread` no longer hands it out.
  sqlite3_exec(db_->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void transaction::commit() {
  if (!open_) throw std::logic_error("the transaction is already committed");
  db_->exec_script("COMMIT");
  open_ = false;
  if (open_transaction == this) open_transaction = nullptr;
}

std::shared_ptr<Connection> transaction::current() {
  return open_transaction ? open_transaction->db_ : nullptr;
}

namespace {
std::string checked_table(std::string table) {
  if (!is_identifier(table)) throw std::invalid_argument("not a table name: " + table);
  return table;
}
}  // namespace

// The table name is checked before the database is opened (members initialise in order).
Query::Query(std::string table) : table_(checked_table(std::move(table))), db_(transaction::current()) {
  if (!db_) db_ = Connection::for_thread(database_path());
}

Query::Query(std::string table, std::shared_ptr<Connection> connection)
    : table_(checked_table(std::move(table))), db_(std::move(connection)) {}

Query& Query::where(std::string condition, Record params) {
  condition_ = std::move(condition);
  params_ = params.is_array() ? std::move(params) : Record::array({std::move(params)});
  return *this;
}

Query& Query::order(std::string text) {
  order_ = std::move(text);
  return *this;
}

Query& Query::limit(std::string text) {
  limit_ = std::move(text);
  return *this;
}

std::string Query::where_sql() const { return condition_.empty() ? "" : " WHERE " + condition_; }

void Query::reset() {
  condition_.clear();
  params_ = Record::array();
  order_.clear();
  limit_.clear();
}

std::int64_t Query::count() {
  const auto sql = "SELECT COUNT(*) AS n FROM " + quote_name(table_) + where_sql();
  const Record params = params_;
  reset();
  return db_->query(sql, params)[0]["n"].get<std::int64_t>();
}

Record Query::select() {
  std::string sql = "SELECT * FROM " + quote_name(table_) + where_sql();
  if (!order_.empty()) sql += " ORDER BY " + order_;
  if (!limit_.empty()) sql += " LIMIT " + limit_;
  const Record params = params_;
  reset();
  return db_->query(sql, params);
}

Record Query::find() {
  limit_ = "1";
  Record rows = select();
  return rows.empty() ? Record(nullptr) : std::move(rows[0]);
}

Record Query::getField(std::string_view column) {
  if (!is_identifier(column)) throw std::invalid_argument("not a column name: " + std::string(column));
  std::string sql = "SELECT " + quote_name(column) + " FROM " + quote_name(table_) + where_sql();
  if (!order_.empty()) sql += " ORDER BY " + order_;
  sql += " LIMIT 1";
  const Record params = params_;
  reset();
  Record rows = db_->query(sql, params);
  return rows.empty() ? Record(nullptr) : std::move(rows[0].begin().value());
}

std::int64_t Query::insert(const Record& row) {
  if (!row.is_object() || row.empty()) throw std::invalid_argument("insert needs a record of columns");
  std::string columns, marks;
  Record values = Record::array();
  for (const auto& [key, value] : row.items()) {
    columns += (columns.empty() ? "" : ", ") + quote_name(key);
    marks += marks.empty() ? "?" : ", ?";
    values.push_back(value);
  }
  reset();
  db_->run("INSERT INTO " + quote_name(table_) + " (" + columns + ") VALUES (" + marks + ")", values);
  return sqlite3_last_insert_rowid(db_->handle());
}

std::int64_t Query::update(const Record& changes) {
  if (!changes.is_object()) throw std::invalid_argument("update needs a record of columns");
  if (changes.empty()) {
    reset();
    return 0;
  }
  std::string sets;
  Record values = Record::array();
  for (const auto& [key, value] : changes.items()) {
    sets += (sets.empty() ? "" : ", ") + quote_name(key) + " = ?";
    values.push_back(value);
  }
  for (const auto& p : params_) values.push_back(p);
  const auto sql = "UPDATE " + quote_name(table_) + " SET " + sets + where_sql();
  reset();
  return db_->run(sql, values);
}

std::int64_t Query::delete_() {
  const auto sql = "DELETE FROM " + quote_name(table_) + where_sql();
  const Record params = params_;
  reset();
  return db_->run(sql, params);
}

std::int64_t Query::execute(std::string_view sql, const Record& params) {
  reset();
  return db_->run(sql, params);
}

}  // namespace rivi
