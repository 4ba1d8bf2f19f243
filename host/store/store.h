// The host's store accessor over the SQLite database <root>/data/default.db: `M(table)` answers a
// chainable query (`where`, `order`, `limit`) with the terminal operations `count`, `select`,
// `find`, `getField`, `insert`, `update`, `delete_` and `execute`.
//
// Every value is bound; only the table name (checked to be an identifier), the column names of
// `insert`/`update` (quoted) and the accessor's own `order` and `limit` texts are spliced into
// SQL. Those texts come from code, never from a request.
//
// Every accessor made on a thread shares that thread's connection to the database it names (one
// connection per thread and database path, opened at the first use and kept until the thread
// ends), so a worker's whole run, or a web request served on a pooled thread, opens the database
// once. A `transaction` opened on the thread runs on that same connection, so the statements of
// every accessor of the thread commit or roll back with it. A terminal operation clears the
// condition, order and limit, so one accessor can serve many look-ups. Failures throw
// std::runtime_error naming the database path or the statement.
//
// The database is in WAL mode: laid out that way, and switched once by the first connection that
// finds it otherwise. Closing a connection never checkpoints: the log and its index stay in place
// between processes instead of being synced into the database and deleted by every short-lived
// process that closes the last connection. A commit that leaves the log at 1,000 pages or more
// checkpoints it and empties it (TRUNCATE). SQLite's own automatic checkpoint does not do here:
// it copies the log into the database but leaves the log's length, counting on the next writer
// to start it over, and a writer knows the log was copied only from the shared-memory index. A
// process that opens the database while no other has it open rebuilds that index from the log,
// marked as not copied, so with nothing else holding the database (`panel call` without `panel
// serve`) every write appended to the log for good, each commit past the threshold copied all of
// it again, and every opening read all of it. A short-lived program that wrote (`panel call`)
// also calls `checkpoint_thread_writes` before it ends, leaving the log empty.
#pragma once

#include "host/record.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct sqlite3;

namespace rivi {

// One open SQLite connection; closes in its destructor (without a checkpoint).
class Connection {
 public:
  // Opens (creating when missing) the database at `path` with a busy time-out and NORMAL sync,
  // and switches it to WAL mode when it is not in it yet. This is a connection of its own, shared
  // with nobody: accessors share `for_thread` instead. Throws std::runtime_error("cannot open
  // database <path>: ...") on failure.
  explicit Connection(const std::string& path);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* handle() const { return db_; }
  const std::string& path() const { return path_; }

  // Runs one statement with bound parameters (a list, or one bare value) and answers its rows
  // as records keyed by column name. Throws std::runtime_error with SQLite's message.
  Record query(std::string_view sql, const Record& params = Record::array());
  // Runs one statement and answers the number of rows it changed.
  std::int64_t run(std::string_view sql, const Record& params = Record::array());
  // Runs a script of statements without parameters.
  void exec_script(std::string_view sql);
  // Whether the database has the table `name` (a component's tables are made on its first use).
  bool has_table(std::string_view name);

  // The calling thread's shared connection to the database at `path`, opened on first use and
  // kept for the thread's life. A database file that was removed or replaced since (another file
  // now at `path`) gets a new connection. Not for use across threads.
  static std::shared_ptr<Connection> for_thread(const std::string& path);
  // How many connections the calling thread has opened so far (shared or not).
  static std::uint64_t opened_on_this_thread();

  // Checkpoints the write-ahead log and empties it, waiting a moment at most for readers of older
  // snapshots; answers false (the log then stays) when they do not finish in that time.
  bool empty_log();
  // Whether rows were changed through this connection since it opened or last emptied the log.
  bool wrote_since_checkpoint() const;

 private:
  static int after_commit(void* self, sqlite3* db, const char* name, int pages);

  sqlite3* db_ = nullptr;
  std::string path_;
  std::int64_t checkpointed_changes_ = 0;
};

// Empties the write-ahead log of every database that the calling thread's shared connections
// changed rows of (see above). Never throws: a log that readers keep stays as it is.
void checkpoint_thread_writes();

// A write transaction on the host database, scoped to the thread that opens it. Construction runs
// BEGIN IMMEDIATE on the thread's shared connection, so the write lock is taken at once and
// concurrent writers queue on the busy time-out instead of failing half-way. Until `commit()` or
// destruction, every `Query` made on this thread with the one-argument constructor (so every
// `public_::M`, the operation log and the scheduler's job table) runs inside it. The destructor rolls back
// whatever was not committed and never throws. Transactions do not nest: opening a second one on
// a thread that has one open throws std::logic_error. The object must die on the thread that
// made it.
class transaction {
 public:
  transaction();
  // Opens the transaction on `db`, so that a caller that retries a locked write
  // (`retry_while_locked`) sees the lock failures on the connection it watches.
  explicit transaction(std::shared_ptr<Connection> db);
  ~transaction();
  transaction(const transaction&) = delete;
  transaction& operator=(const transaction&) = delete;

  // Makes every statement since construction durable; afterwards the thread's accessors run in
  // autocommit mode again. Throws std::runtime_error when the commit fails (the destructor then
  // rolls back).
  void commit();

  // The connection of the transaction open on the calling thread, or null when there is none.
  static std::shared_ptr<Connection> current();

 private:
  std::shared_ptr<Connection> db_;
  bool open_ = true;
};

class Query {
 public:
  // Runs on the connection of the transaction open on this thread, else on the thread's shared
  // connection to the host database. `table` must be an identifier.
  explicit Query(std::string table);
  Query(std::string table, std::shared_ptr<Connection> connection);

  // `condition` with `?` placeholders; `params` is a list (a tuple) or one bare value. An empty
  // condition with an empty list selects every row.
  Query& where(std::string condition, Record params = Record::array());
  Query& order(std::string text);  // e.g. "id desc"
  Query& limit(std::string text);  // e.g. "24,12": offset, then count

  std::int64_t count();
  // Matching rows, each a record of every column in table order.
  Record select();
  // First matching row, or null when none matches.
  Record find();
  // `column` of the first matching row, or null when none matches.
  Record getField(std::string_view column);
  // Inserts `row` (column -> value) and answers the new row's id.
  std::int64_t insert(const Record& row);
  // Sets the columns of `changes` on the matching rows; an empty record changes nothing.
  // Answers the number of rows changed.
  std::int64_t update(const Record& changes);
  // Deletes the matching rows (`delete` is a C++ keyword); answers the number deleted.
  std::int64_t delete_();
  // Runs any statement with bound parameters; answers the number of rows changed.
  std::int64_t execute(std::string_view sql, const Record& params = Record::array());

  Connection& connection() { return *db_; }

 private:
  std::string where_sql() const;
  void reset();

  std::string table_;
  std::shared_ptr<Connection> db_;
  std::string condition_;
  Record params_ = Record::array();
  std::string order_;
  std::string limit_;
};

}  // namespace rivi
