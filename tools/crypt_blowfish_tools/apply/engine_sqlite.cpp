// The checked apply's SQLite engine, on the SQLite library itself: the database file is opened
// in this process, so no ~/.sqliterc or client setting reaches it.

#include <memory>
#include <sqlite3.h>
#include <string>

#include "engine.hpp"

namespace credbatch::apply {

namespace {

struct CloseDatabase {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using Prepared = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

std::string database_from(std::span<const std::string> arguments)
{
    if (arguments.empty()) {
        throw ArgumentError("no database file given for sqlite");
    }
    for (const std::string& argument : arguments) {
        if (argument.starts_with('-')) {
            // Named without a value joined to it, which may be a secret; sqlite3's own options
            // are words after one dash (-cmd), so the word is kept.
            const std::string name = argument.substr(0, argument.find('='));
            throw ArgumentError("unknown option '" + name + "' for sqlite, which takes only the database file");
        }
    }
    if (arguments.size() > 1) {
        throw ArgumentError("unexpected argument '" + arguments[1] + "' for sqlite, which takes only the database file");
    }
    return arguments[0];
}

class SqliteEngine final : public Engine {
public:
    explicit SqliteEngine(const std::string& path)
    {
        sqlite3* opened = nullptr;
        // Read and write, never create: a mistyped path is an error, not a new empty database.
        const int status = sqlite3_open_v2(path.c_str(), &opened, SQLITE_OPEN_READWRITE, nullptr);
        db_.reset(opened);
        if (status != SQLITE_OK) {
            throw EngineError("cannot open the database file: " + std::string(opened ? sqlite3_errmsg(opened) : sqlite3_errstr(status)), false);
        }
        sqlite3_extended_result_codes(db_.get(), 1);
    }

    void begin() override
    {
        // One write transaction from the start: a database another process writes to is
        // refused at once, rather than after every statement has run.
        const int status = sqlite3_exec(db_.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if ((status & 0xff) == SQLITE_BUSY) {
            throw Refusal("another process is writing to the database file; apply again once it is done");
        }
        if (status != SQLITE_OK) {
            fail();
        }
        in_transaction_ = true;
        refuse_what_hides_updates();
        watch_other_rows();
        update_ = prepare("UPDATE DT511 SET DI059177 = ?1 WHERE DI010323 = ?2");
        read_ = prepare("SELECT DI059177 FROM DT511 WHERE DI010323 = ?1");
    }

    void held_before(std::span<const Statement> batch, std::vector<bool>& held) override
    {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            held[i] = look_up(batch[i]).holding > 0;
        }
    }

    void run(std::span<const Statement> batch, std::vector<std::int64_t>& counts) override
    {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            sqlite3_stmt* update = update_.get();
            sqlite3_reset(update);
            bind_text(update, 1, batch[i].hash);
            bind_text(update, 2, batch[i].user);
            const int status = sqlite3_step(update);
            if (status != SQLITE_DONE) {
                const std::string message = sqlite3_errmsg(db_.get());
                sqlite3_reset(update);
                throw StatementFailed(i, message);
            }
            // changes() leaves out the rows that triggers changed in turn.
            counts[i] = sqlite3_changes64(db_.get());
        }
    }

    void read_back(std::span<const Statement> batch, std::vector<ReadBack>& rows) override
    {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            rows[i] = look_up(batch[i]);
        }
    }

    std::int64_t other_rows_changed(std::uint64_t statements) override
    {
        if (!watching_) {
            return 0;
        }
        const Prepared count = prepare("SELECT (SELECT count(DISTINCT id) FROM temp.credbatch_written), (SELECT count(*) FROM temp.credbatch_gone)");
        if (sqlite3_step(count.get()) != SQLITE_ROW) {
            fail();
        }
        const std::int64_t written = sqlite3_column_int64(count.get(), 0);
        const std::int64_t gone = sqlite3_column_int64(count.get(), 1);
        const auto own = static_cast<std::int64_t>(statements);
        return (written > own ? written - own : 0) + gone;
    }

    CommitResult commit(std::string& message) override
    {
        if (sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
            in_transaction_ = false;
            return CommitResult::committed;
        }
        // A COMMIT that SQLite refuses (a reader holds the file, a deferred foreign key) leaves
        // the transaction open; the caller rolls it back.
        message = sqlite3_errmsg(db_.get());
        return CommitResult::refused;
    }

    void rollback() noexcept override
    {
        update_.reset();
        read_.reset();
        if (in_transaction_ && sqlite3_get_autocommit(db_.get()) == 0) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
        in_transaction_ = false;
    }

    void cancel() noexcept override { sqlite3_interrupt(db_.get()); }

    // The library runs in this process: a COMMIT cannot lose its connection.
    bool reconnect_after_lost_commit(std::string& /*message*/) override { return false; }

private:
    [[noreturn]] void fail() const { throw EngineError(sqlite3_errmsg(db_.get()), false); }

    void execute(const char* sql) const
    {
        if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail();
        }
    }

    Prepared prepare(const char* sql) const
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
            fail();
        }
        return Prepared(statement);
    }

    void bind_text(sqlite3_stmt* statement, int index, const std::string& text) const
    {
        if (sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8) != SQLITE_OK) {
            fail();
        }
    }

    // DT511 as the statements will find it (a temporary object first, then the main database)
    // must be a table: an INSTEAD OF trigger on a view can do anything, and says so to nobody.
    void refuse_what_hides_updates() const
    {
        const Prepared kind = prepare("SELECT type FROM pragma_table_list WHERE name = 'DT511' COLLATE NOCASE "
                                      "ORDER BY schema <> 'temp', schema <> 'main' LIMIT 1");
        const int status = sqlite3_step(kind.get());
        if (status == SQLITE_ROW) {
            const std::string type = reinterpret_cast<const char*>(sqlite3_column_text(kind.get(), 0));
            if (type != "table") {
                const std::string kind = type == "view" ? "a view" : type == "virtual" ? "a virtual table" : "of the kind " + type;
                throw Refusal("DT511 is " + kind + ", not a table, so its updates cannot be checked");
            }
        } else if (status != SQLITE_DONE) {
            fail();
        }
    }

    // Every row of DT511 that anything in this transaction writes or deletes, a trigger's
    // writes included, noted by temporary triggers, which live and die with this connection.
    // A table without rowid has no id to note them by: there the check is left out.
    void watch_other_rows()
    {
        const Prepared without_rowid = prepare("SELECT wr FROM pragma_table_list WHERE schema = 'main' AND name = 'DT511' COLLATE NOCASE");
        if (sqlite3_step(without_rowid.get()) == SQLITE_ROW && sqlite3_column_int(without_rowid.get(), 0) != 0) {
            return;
        }
        execute("CREATE TEMP TABLE credbatch_written (id INTEGER); CREATE TEMP TABLE credbatch_gone (id INTEGER);"
                "CREATE TEMP TRIGGER credbatch_updated AFTER UPDATE ON main.DT511 BEGIN INSERT INTO credbatch_written VALUES (NEW.rowid); END;"
                "CREATE TEMP TRIGGER credbatch_inserted AFTER INSERT ON main.DT511 BEGIN INSERT INTO credbatch_written VALUES (NEW.rowid); END;"
                "CREATE TEMP TRIGGER credbatch_deleted AFTER DELETE ON main.DT511 BEGIN INSERT INTO credbatch_gone VALUES (OLD.rowid); END;");
        watching_ = true;
    }

    ReadBack look_up(const Statement& statement) const
    {
        sqlite3_stmt* read = read_.get();
        sqlite3_reset(read);
        bind_text(read, 1, statement.user);
        ReadBack row;
        int status = SQLITE_ROW;
        while ((status = sqlite3_step(read)) == SQLITE_ROW) {
            ++row.matched;
            const int type = sqlite3_column_type(read, 0);
            const auto* stored = static_cast<const char*>(sqlite3_column_blob(read, 0));
            const auto bytes = static_cast<std::size_t>(sqlite3_column_bytes(read, 0));
            // Byte for byte and as text: a BLOB or a number with the same spelling is not the hash.
            if (type == SQLITE_TEXT && std::string_view(stored == nullptr ? "" : stored, bytes) == statement.hash) {
                ++row.holding;
            }
            row.stored_bytes = type == SQLITE_NULL ? -1 : static_cast<std::int64_t>(bytes);
        }
        if (status != SQLITE_DONE) {
            fail();
        }
        return row;
    }

    Database db_;
    Prepared update_;
    Prepared read_;
    bool in_transaction_ = false;
    bool watching_ = false;
};

} // namespace

std::unique_ptr<Engine> open_sqlite(std::span<const std::string> arguments, const PasswordPrompt& /*prompt*/)
{
    return std::make_unique<SqliteEngine>(database_from(arguments));
}

} // namespace credbatch::apply
