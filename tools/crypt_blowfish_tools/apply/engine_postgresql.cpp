// The checked apply on PostgreSQL, over libpq.
//
// The statements run as one prepared UPDATE whose parameters are untyped, so that the server
// gives them the types it gives the script's literals (a char(n) or citext column compares as
// the literal would), sent in pipeline mode: a batch is one round trip. What the rows hold is
// read with one query a batch, the names cast to the column's own type (without its length, so
// that a name too long for the column matches nothing, as in the statement) under the column's
// own collation.

#include <libpq-fe.h>


#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "engine.hpp"
#include "platform.hpp"
#include "utf8.hpp"

namespace credbatch::apply {

namespace {

using namespace std::chrono_literals;

struct CloseConnection {
    void operator()(PGconn* connection) const noexcept { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, CloseConnection>;

struct ClearResult {
    void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;

struct FreeCancel {
    void operator()(PGcancel* cancel) const noexcept { PQfreeCancel(cancel); }
};
using CancelHandle = std::unique_ptr<PGcancel, FreeCancel>;

constexpr const char* update_name = "credbatch_update";
constexpr const char* update_sql = "UPDATE DT511 SET DI059177 = $1 WHERE DI010323 = $2";

// --- Arguments -----------------------------------------------------------------------------------

// A password kept for a connection made again after a lost COMMIT, wiped when it goes.
class Password {
public:
    Password() = default;
    ~Password() { clear(); }
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;

    void set(std::string text)
    {
        clear();
        text_ = std::move(text);
    }
    void clear() noexcept
    {
        platform::wipe(text_.data(), text_.size());
        text_.clear();
    }
    bool empty() const noexcept { return text_.empty(); }
    const char* c_str() const noexcept { return text_.c_str(); }

private:
    std::string text_;
};

struct ConnectionArguments {
    std::optional<std::string> host;
    std::optional<std::string> port;
    std::optional<std::string> user;
    std::optional<std::string> dbname;   // a database name, a conninfo string or a URI
    bool never_prompt = false;
    bool prompt_first = false;
};

// Only the option's name is repeated: what follows it may be a password.
[[noreturn]] void unknown_option(const std::string& argument)
{
    const std::string name = argument.starts_with("--") ? argument.substr(0, argument.find('=')) : argument.substr(0, 2);
    throw ArgumentError("unknown option '" + name + "' for postgresql");
}

std::optional<std::string>* value_option(ConnectionArguments& into, std::string_view name)
{
    if (name == "h" || name == "host") {
        return &into.host;
    }
    if (name == "p" || name == "port") {
        return &into.port;
    }
    if (name == "U" || name == "username") {
        return &into.user;
    }
    if (name == "d" || name == "dbname") {
        return &into.dbname;
    }
    return nullptr;
}

bool flag_option(ConnectionArguments& into, std::string_view name)
{
    if (name == "w" || name == "no-password") {
        into.never_prompt = true;
        return true;
    }
    if (name == "W" || name == "password") {
        into.prompt_first = true;
        return true;
    }
    return false;
}

// The value of the option at arguments[at], which is either joined to it or the next argument.
std::string take_value(std::span<const std::string> arguments, std::size_t& at, std::string_view joined, bool has_joined,
                       std::string_view shown)
{
    if (has_joined) {
        return std::string(joined);
    }
    if (at + 1 >= arguments.size()) {
        throw ArgumentError("option '" + std::string(shown) + "' for postgresql needs a value");
    }
    return arguments[++at];
}

void parse_long_option(std::span<const std::string> arguments, std::size_t& at, ConnectionArguments& into)
{
    const std::string& argument = arguments[at];
    const std::string_view body = std::string_view(argument).substr(2);
    const std::size_t equals = body.find('=');
    const std::string_view name = body.substr(0, equals);
    if (auto* value = value_option(into, name)) {
        const bool joined = equals != std::string_view::npos;
        *value = take_value(arguments, at, joined ? body.substr(equals + 1) : std::string_view(), joined, argument);
        return;
    }
    if (equals == std::string_view::npos && flag_option(into, name)) {
        return;
    }
    ConnectionArguments unused;
    if (flag_option(unused, name)) {
        // Not repeated: what follows the '=' may well be a password.
        throw ArgumentError("option '--" + std::string(name) + "' for postgresql takes no value");
    }
    unknown_option(argument);
}

// Short options as the usual option parser takes them: flags may be grouped (-wX), and an option
// with a value takes the rest of the argument (-hlocalhost) or the next one.
void parse_short_options(std::span<const std::string> arguments, std::size_t& at, ConnectionArguments& into)
{
    const std::string argument = arguments[at];
    for (std::size_t i = 1; i < argument.size(); ++i) {
        const std::string_view name = std::string_view(argument).substr(i, 1);
        if (auto* value = value_option(into, name)) {
            const bool joined = i + 1 < argument.size();
            *value = take_value(arguments, at, std::string_view(argument).substr(i + 1), joined, "-" + std::string(name));
            return;
        }
        if (!flag_option(into, name)) {
            unknown_option("-" + std::string(name));
        }
    }
}

// A database name, a conninfo string or a URI, then a user name; nothing after them. A third
// one is named only when it cannot be a conninfo string, which may hold a password.
void take_positional(const std::string& argument, ConnectionArguments& into)
{
    if (!into.dbname) {
        into.dbname = argument;
    } else if (!into.user) {
        into.user = argument;
    } else if (argument.find('=') != std::string::npos) {
        throw ArgumentError("too many arguments for postgresql: a conninfo string after the database and the user name");
    } else {
        throw ArgumentError("unexpected argument '" + argument + "' for postgresql: the database and the user name are given");
    }
}

ConnectionArguments parse_arguments(std::span<const std::string> arguments)
{
    ConnectionArguments parsed;
    bool options_ended = false;
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        if (options_ended || argument.size() < 2 || argument[0] != '-') {
            take_positional(argument, parsed);
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument[1] == '-') {
            parse_long_option(arguments, at, parsed);
        } else {
            parse_short_options(arguments, at, parsed);
        }
    }
    return parsed;
}

// --- Connecting ----------------------------------------------------------------------------------

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::string connection_message(const PGconn* connection)
{
    if (connection == nullptr) {
        return "out of memory";
    }
    return trimmed(PQerrorMessage(connection));
}

// The server's own words for an error, without the DETAIL, HINT or CONTEXT that can show a
// row's other columns; the library's when the server said nothing.
std::string error_message(const PGconn* connection, const PGresult* result)
{
    if (result != nullptr) {
        if (const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY)) {
            return primary;
        }
        const std::string whole = trimmed(PQresultErrorMessage(result));
        if (!whole.empty()) {
            return whole;
        }
    }
    return connection_message(connection);
}

// Notices (a trigger's RAISE NOTICE, say) could carry a hash; they are not shown.
void ignore_notice(void*, const PGresult*) noexcept {}

class ConnectionSettings {
public:
    explicit ConnectionSettings(ConnectionArguments arguments) : arguments_(std::move(arguments)) {}

    // Options first and the database argument after them, so that a conninfo string or URI there
    // overrides -h, -p and -U, as the usual client lets it; then what the apply needs.
    Connection connect(const Password& password, bool bounded) const
    {
        std::vector<const char*> keys;
        std::vector<const char*> values;
        const auto add = [&](const char* key, const char* value) {
            keys.push_back(key);
            values.push_back(value);
        };
        if (arguments_.host) {
            add("host", arguments_.host->c_str());
        }
        if (arguments_.port) {
            add("port", arguments_.port->c_str());
        }
        if (arguments_.user) {
            add("user", arguments_.user->c_str());
        }
        if (!password.empty()) {
            add("password", password.c_str());
        }
        if (bounded) {
            add("connect_timeout", "10");
        }
        if (arguments_.dbname) {
            add("dbname", arguments_.dbname->c_str());
        }
        add("fallback_application_name", "credbatch-apply");
        add("client_encoding", "UTF8");
        add(nullptr, nullptr);
        Connection connection(PQconnectdbParams(keys.data(), values.data(), 1));
        if (connection) {
            PQsetNoticeReceiver(connection.get(), ignore_notice, nullptr);
        }
        return connection;
    }

    bool never_prompt() const noexcept { return arguments_.never_prompt; }
    bool prompt_first() const noexcept { return arguments_.prompt_first; }
    const std::optional<std::string>& user() const noexcept { return arguments_.user; }

private:
    ConnectionArguments arguments_;
};

std::string password_prompt(const PGconn* connection, const std::optional<std::string>& user)
{
    const char* known = connection != nullptr ? PQuser(connection) : nullptr;
    if (known != nullptr && *known != '\0') {
        return "Password for user " + std::string(known) + ": ";
    }
    if (user && !user->empty()) {
        return "Password for user " + *user + ": ";
    }
    return "Password: ";
}

// Connected, or the library's reason as an EngineError. The password is asked for only when
// the server wants one that was not given, once.
Connection connect_asking(const ConnectionSettings& settings, Password& password, const PasswordPrompt& prompt)
{
    if (settings.prompt_first()) {
        password.set(prompt(password_prompt(nullptr, settings.user())));
    }
    Connection connection = settings.connect(password, false);
    if (connection && PQstatus(connection.get()) != CONNECTION_OK && PQconnectionNeedsPassword(connection.get()) &&
        password.empty() && !settings.never_prompt() && !settings.prompt_first()) {
        password.set(prompt(password_prompt(connection.get(), settings.user())));
        if (!password.empty()) {
            connection = settings.connect(password, false);
        }
    }
    if (!connection || PQstatus(connection.get()) != CONNECTION_OK) {
        throw EngineError(connection_message(connection.get()), false);
    }
    return connection;
}

// --- Queries -------------------------------------------------------------------------------------

// An array literal of `texts`; NULL for one the server would refuse (not UTF-8), so that it
// matches nothing instead of failing the whole query.
template <typename Text>
std::string array_literal(std::span<const Statement> batch, Text text)
{
    std::string literal = "{";
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (i > 0) {
            literal += ',';
        }
        const std::string& value = text(batch[i]);
        if (!is_valid_utf8(value)) {
            literal += "NULL";
            continue;
        }
        literal += '"';
        for (const char c : value) {
            if (c == '"' || c == '\\') {
                literal += '\\';
            }
            literal += c;
        }
        literal += '"';
    }
    literal += '}';
    return literal;
}

std::int64_t number(const PGresult* result, int row, int column)
{
    if (PQgetisnull(result, row, column)) {
        return -1;
    }
    return std::atoll(PQgetvalue(result, row, column));
}

// What begin() learns of DT511 and the session, in one query.
struct TableFacts {
    std::string replication_role;
    char persistence = 'p';
    char kind = 'r';
    std::optional<std::string> rules;
    std::optional<std::string> name_type;
    std::optional<std::string> name_collation;
    std::string transaction;
};

// The name column's type is followed through domains to the base type, which is what the
// statement's WHERE compares in. format_type() with the modifier -1 gives it without a length
// (bpchar, character varying), quoted and qualified as it must be written; with NULL it would
// give "character", which is char(1) and would cut every name to its first character.
constexpr const char* table_facts_sql =
    "SELECT pg_catalog.current_setting('session_replication_role'), c.relpersistence, c.relkind,"
    " (SELECT pg_catalog.string_agg(r.rulename::pg_catalog.text, ', ' ORDER BY r.rulename)"
    "   FROM pg_catalog.pg_rewrite r WHERE r.ev_class = c.oid AND r.rulename <> '_RETURN'),"
    " (WITH RECURSIVE chain(type) AS ("
    "     SELECT a.atttypid FROM pg_catalog.pg_attribute a"
    "      WHERE a.attrelid = c.oid AND a.attname = 'di010323' AND NOT a.attisdropped"
    "     UNION ALL"
    "     SELECT t.typbasetype FROM chain JOIN pg_catalog.pg_type t ON t.oid = chain.type WHERE t.typtype = 'd')"
    "   SELECT pg_catalog.format_type(chain.type, -1) FROM chain JOIN pg_catalog.pg_type t ON t.oid = chain.type"
    "    WHERE t.typtype <> 'd'),"
    " (SELECT pg_catalog.format('%I.%I', n.nspname, co.collname)"
    "   FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_collation co ON co.oid = a.attcollation"
    "   JOIN pg_catalog.pg_namespace n ON n.oid = co.collnamespace"
    "   WHERE a.attrelid = c.oid AND a.attname = 'di010323' AND NOT a.attisdropped),"
    " %s"
    " FROM pg_catalog.pg_class c WHERE c.oid = 'DT511'::pg_catalog.regclass";

std::optional<std::string> optional_text(const PGresult* result, int column)
{
    if (PQgetisnull(result, 0, column)) {
        return std::nullopt;
    }
    return std::string(PQgetvalue(result, 0, column));
}

// Said without the prefix and the "nothing was committed" that the driver adds.
void refuse_unless_checkable(const TableFacts& facts)
{
    if (facts.replication_role != "origin") {
        throw Refusal("session_replication_role is " + facts.replication_role +
                      ", under which triggers and rules do not fire as they do in use");
    }
    if (facts.persistence == 't') {
        throw Refusal("DT511 is a temporary table of this session, which hides the real one");
    }
    if (facts.kind != 'r' && facts.kind != 'p') {
        const std::string what = facts.kind == 'v'   ? "a view"
                                 : facts.kind == 'm' ? "a materialized view"
                                 : facts.kind == 'f' ? "a foreign table"
                                                     : "of kind " + std::string(1, facts.kind);
        throw Refusal("DT511 is " + what + ", not a table, so its updates cannot be checked");
    }
    if (facts.rules) {
        throw Refusal("DT511 has the rewrite rule " + *facts.rules + ", which would hide the updates from the check");
    }
}

// Per statement of a batch: the rows its name matches, those of them that hold its hash byte for
// byte (the text compared under "C", and the stored length, which a char(n) column's padding
// changes), and with one row matched, its stored length.
std::string read_back_sql(const TableFacts& facts)
{
    const std::string cast = "CAST(s.name AS " + facts.name_type.value_or("pg_catalog.text") + ")";
    std::string name = cast;
    if (facts.name_collation) {
        name += " COLLATE " + *facts.name_collation;
    }
    // A type that cuts what it is given (name keeps 63 bytes) would match another user's row,
    // as the statement itself did: a cut name matches nothing here, so that it is named.
    name += " AND pg_catalog.octet_length(" + cast + "::pg_catalog.text) >= pg_catalog.octet_length(pg_catalog.rtrim(s.name))";
    return "SELECT pg_catalog.count(t.DI010323),"
           " pg_catalog.count(*) FILTER (WHERE t.DI059177::pg_catalog.text COLLATE \"C\" = s.hash COLLATE \"C\""
           "  AND pg_catalog.octet_length(t.DI059177) = pg_catalog.octet_length(s.hash)),"
           " CASE WHEN pg_catalog.count(t.DI010323) = 1"
           "  THEN COALESCE(pg_catalog.max(pg_catalog.octet_length(t.DI059177)), -1) ELSE -1 END"
           " FROM ROWS FROM (pg_catalog.unnest($1::pg_catalog.text[]), pg_catalog.unnest($2::pg_catalog.text[]))"
           "  WITH ORDINALITY AS s(name, hash, i)"
           " LEFT JOIN DT511 t ON t.DI010323 = " + name +
           " GROUP BY s.i ORDER BY s.i";
}

// --- The engine ----------------------------------------------------------------------------------

class PostgresqlEngine final : public Engine {
public:
    PostgresqlEngine(ConnectionSettings settings, Connection connection, std::unique_ptr<Password> password)
        : settings_(std::move(settings)), password_(std::move(password))
    {
        adopt(std::move(connection));
    }

    void begin() override
    {
        use_utf8();
        command("BEGIN ISOLATION LEVEL READ COMMITTED");
        command("SET LOCAL standard_conforming_strings = on");
        const TableFacts facts = read_table_facts();
        refuse_unless_checkable(facts);
        transaction_ = facts.transaction;
        read_back_sql_ = read_back_sql(facts);
        rows_before_ = count_rows().second;
        sent(PQsendPrepare(connection(), update_name, update_sql, 2, nullptr));
        result_of(PGRES_COMMAND_OK);
    }

    void settle() override
    {
        sent(PQsendQuery(connection(), "SET CONSTRAINTS ALL IMMEDIATE"));
        Result result = collect(true);
        if (result && PQresultStatus(result.get()) == PGRES_COMMAND_OK) {
            return;
        }
        if (!result || PQstatus(connection()) != CONNECTION_OK || cancelled_.load()) {
            fail(result.get());
        }
        throw Refusal("a deferred constraint or trigger refused the changes: " + error_message(connection(), result.get()));
    }

    std::int64_t other_rows_changed(std::uint64_t statements) override
    {
        const auto [written, rows] = count_rows();
        const std::int64_t gone = rows_before_ > rows ? rows_before_ - rows : 0;
        const std::int64_t more = written > static_cast<std::int64_t>(statements) ? written - static_cast<std::int64_t>(statements) : 0;
        return more + gone;
    }

    void held_before(std::span<const Statement> batch, std::vector<bool>& held) override
    {
        std::vector<ReadBack> rows(batch.size());
        read_back(batch, rows);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            held[i] = rows[i].holding > 0;
        }
    }

    void run(std::span<const Statement> batch, std::vector<std::int64_t>& counts) override
    {
        if (PQenterPipelineMode(connection()) != 1) {
            fail(nullptr);
        }
        for (const Statement& statement : batch) {
            const char* values[] = {statement.hash.c_str(), statement.user.c_str()};
            if (PQsendQueryPrepared(connection(), update_name, 2, values, nullptr, nullptr, 0) != 1) {
                fail(nullptr);
            }
        }
        if (PQpipelineSync(connection()) != 1) {
            fail(nullptr);
        }
        std::optional<std::pair<std::size_t, std::string>> failed;
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const Result result = next_result(true);
            const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
            if (status == PGRES_COMMAND_OK) {
                counts[i] = std::atoll(PQcmdTuples(result.get()));
            } else if (status != PGRES_PIPELINE_ABORTED && !failed) {
                failed.emplace(i, error_message(connection(), result.get()));
            }
            if (!result || PQstatus(connection()) != CONNECTION_OK) {
                fail(result.get());
            }
            end_of_results(true);
        }
        const Result sync = next_result(true);
        if (!sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC || PQexitPipelineMode(connection()) != 1) {
            fail(sync.get());
        }
        if (failed) {
            throw StatementFailed(failed->first, failed->second);
        }
    }

    void read_back(std::span<const Statement> batch, std::vector<ReadBack>& rows) override
    {
        const std::string names = array_literal(batch, [](const Statement& s) -> const std::string& { return s.user; });
        const std::string hashes = array_literal(batch, [](const Statement& s) -> const std::string& { return s.hash; });
        const char* values[] = {names.c_str(), hashes.c_str()};
        sent(PQsendQueryParams(connection(), read_back_sql_.c_str(), 2, nullptr, values, nullptr, nullptr, 0));
        const Result result = result_of(PGRES_TUPLES_OK);
        if (static_cast<std::size_t>(PQntuples(result.get())) != batch.size() || PQnfields(result.get()) != 3) {
            throw EngineError("the read-back query answered with a row per statement missing", false);
        }
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const int row = static_cast<int>(i);
            rows[i] = ReadBack{number(result.get(), row, 0), number(result.get(), row, 1), number(result.get(), row, 2)};
        }
    }

    CommitResult commit(std::string& message) override
    {
        Result result;
        try {
            if (PQsendQuery(connection(), "COMMIT") == 1) {
                result = collect(false);
            }
        } catch (const EngineError& error) {
            message = error.what();
            return CommitResult::lost;
        }
        // The connection's state decides, not the words: with it gone, the COMMIT may or may not
        // have taken effect.
        if (PQstatus(connection()) != CONNECTION_OK || !result) {
            message = error_message(connection(), result.get());
            return CommitResult::lost;
        }
        const ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_COMMAND_OK && std::strcmp(PQcmdStatus(result.get()), "COMMIT") == 0) {
            return CommitResult::committed;
        }
        if (status == PGRES_COMMAND_OK) {
            // The server answers COMMIT in an aborted transaction with ROLLBACK, and no error.
            message = "the transaction had been aborted, and COMMIT rolled it back";
            return CommitResult::refused;
        }
        message = error_message(connection(), result.get());
        return CommitResult::refused;
    }

    void rollback() noexcept override
    {
        try {
            if (!connection_ || PQstatus(connection()) != CONNECTION_OK) {
                return;
            }
            if (PQpipelineStatus(connection()) != PQ_PIPELINE_OFF) {
                // Results still due on a connection that failed midway: closing it rolls back.
                drop_connection();
                return;
            }
            if (PQsendQuery(connection(), "ROLLBACK") == 1) {
                collect(false);
            }
        } catch (...) {
            // Whatever went wrong, the transaction ends with the session.
        }
    }

    void cancel() noexcept override
    {
        cancelled_.store(true);
        send_cancel();
    }

    bool reconnect_after_lost_commit(std::string& message) override
    {
        // The old session must see its client go, so that a transaction whose COMMIT never
        // arrived ends rather than waits.
        drop_connection();
        if (!connect_again(message)) {
            return false;
        }
        return wait_for_outcome(message);
    }

private:
    PGconn* connection() const noexcept { return connection_.get(); }

    void adopt(Connection connection)
    {
        PQsetnonblocking(connection.get(), 1);
        CancelHandle cancel(PQgetCancel(connection.get()));
        const std::lock_guard<std::mutex> held(cancel_lock_);
        connection_ = std::move(connection);
        cancel_ = std::move(cancel);
    }

    void drop_connection() noexcept
    {
        {
            const std::lock_guard<std::mutex> held(cancel_lock_);
            cancel_.reset();
        }
        connection_.reset();
    }

    void send_cancel() noexcept
    {
        const std::lock_guard<std::mutex> held(cancel_lock_);
        if (cancel_) {
            char error[256];
            PQcancel(cancel_.get(), error, sizeof error);
        }
    }

    // The script is UTF-8, whatever a conninfo string or the environment asked for.
    void use_utf8()
    {
        const char* encoding = PQparameterStatus(connection(), "client_encoding");
        if ((encoding == nullptr || std::strcmp(encoding, "UTF8") != 0) && PQsetClientEncoding(connection(), "UTF8") != 0) {
            fail(nullptr);
        }
    }

    [[noreturn]] void fail(const PGresult* result) const
    {
        throw EngineError(error_message(connection(), result), PQstatus(connection()) != CONNECTION_OK);
    }

    void sent(int sent) const
    {
        if (sent != 1) {
            fail(nullptr);
        }
    }

    // The one result of the query sent, which must have `wanted` status.
    Result result_of(ExecStatusType wanted)
    {
        Result result = collect(true);
        if (!result || PQresultStatus(result.get()) != wanted) {
            fail(result.get());
        }
        return result;
    }

    void command(const char* sql)
    {
        sent(PQsendQuery(connection(), sql));
        result_of(PGRES_COMMAND_OK);
    }

    // The first result of the query sent and the end of its results; the first error result if
    // there is one.
    Result collect(bool cancellable)
    {
        Result kept;
        for (;;) {
            Result result = next_result(cancellable);
            if (!result) {
                return kept;
            }
            const bool kept_error = kept && PQresultStatus(kept.get()) == PGRES_FATAL_ERROR;
            if (!kept || (!kept_error && PQresultStatus(result.get()) == PGRES_FATAL_ERROR)) {
                kept = std::move(result);
            }
        }
    }

    void end_of_results(bool cancellable)
    {
        if (Result extra = next_result(cancellable)) {
            fail(extra.get());
        }
    }

    Result next_result(bool cancellable)
    {
        wait_until_ready(cancellable);
        return Result(PQgetResult(connection()));
    }

    // Sends what is buffered and reads what comes, in turn, until a result is ready: the server
    // stops reading a pipeline while its own answers wait to be read, so writing alone could
    // wait for ever. A cancel the server took while it was between two statements of a batch is
    // lost, so it is sent again while the wait lasts.
    void wait_until_ready(bool cancellable)
    {
        auto last_cancel = std::chrono::steady_clock::now();
        for (;;) {
            if (PQstatus(connection()) == CONNECTION_BAD) {
                return;
            }
            const int unsent = PQflush(connection());
            if (unsent < 0) {
                fail(nullptr);
            }
            if (!PQisBusy(connection())) {
                return;
            }
            wait_for_socket(unsent == 1);
            if (PQconsumeInput(connection()) != 1) {
                // The connection is gone: the library says so in the result it gives next.
                return;
            }
            if (cancellable && cancelled_.load() && std::chrono::steady_clock::now() - last_cancel > 1s) {
                send_cancel();
                last_cancel = std::chrono::steady_clock::now();
            }
        }
    }

    // Woken now and then, so that a lost cancel is sent again.
    void wait_for_socket(bool to_write) const
    {
        if (const auto error = platform::wait_for_socket(PQsocket(connection()), to_write, 250)) {
            throw EngineError("cannot wait for the server: " + error.message(), false);
        }
    }

    // The rows of DT511 this transaction wrote, which carry its id as their xmin (a trigger's
    // subtransaction would carry another), and all its rows.
    std::pair<std::int64_t, std::int64_t> count_rows()
    {
        const std::string xid = std::to_string(std::stoull(transaction_) & 0xffffffffULL);
        const char* values[] = {xid.c_str()};
        sent(PQsendQueryParams(connection(), "SELECT count(*) FILTER (WHERE xmin::text = $1), count(*) FROM DT511", 1, nullptr, values,
                               nullptr, nullptr, 0));
        const Result result = result_of(PGRES_TUPLES_OK);
        return {number(result.get(), 0, 0), number(result.get(), 0, 1)};
    }

    TableFacts read_table_facts()
    {
        // pg_current_xact_id() and pg_xact_status() came with PostgreSQL 13; the txid functions
        // before them still work, down to 10.
        const bool xid8 = PQserverVersion(connection()) >= 130000;
        std::string sql = table_facts_sql;
        sql.replace(sql.find("%s"), 2, xid8 ? "pg_catalog.pg_current_xact_id()::pg_catalog.text"
                                            : "pg_catalog.txid_current()::pg_catalog.text");
        sent(PQsendQueryParams(connection(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0));
        const Result result = result_of(PGRES_TUPLES_OK);
        if (PQntuples(result.get()) != 1) {
            throw EngineError("DT511 was not found in the catalog", false);
        }
        TableFacts facts;
        facts.replication_role = PQgetvalue(result.get(), 0, 0);
        facts.persistence = *PQgetvalue(result.get(), 0, 1);
        facts.kind = *PQgetvalue(result.get(), 0, 2);
        facts.rules = optional_text(result.get(), 3);
        facts.name_type = optional_text(result.get(), 4);
        facts.name_collation = optional_text(result.get(), 5);
        facts.transaction = PQgetvalue(result.get(), 0, 6);
        return facts;
    }

    bool connect_again(std::string& message)
    {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        for (;;) {
            Connection connection = settings_.connect(*password_, true);
            if (connection && PQstatus(connection.get()) == CONNECTION_OK) {
                adopt(std::move(connection));
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                message = "cannot connect again: " + connection_message(connection.get());
                return false;
            }
            std::this_thread::sleep_for(1s);
        }
    }

    // Waits, within a bound, until the server has either committed the transaction or aborted
    // it, which it does once the old session has ended.
    bool wait_for_outcome(std::string& message)
    {
        const char* sql = PQserverVersion(connection()) >= 130000
                              ? "SELECT pg_catalog.pg_xact_status($1::pg_catalog.xid8)"
                              : "SELECT pg_catalog.txid_status($1::pg_catalog.int8)";
        const char* values[] = {transaction_.c_str()};
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        for (;;) {
            sent(PQsendQueryParams(connection(), sql, 1, nullptr, values, nullptr, nullptr, 0));
            const Result result = result_of(PGRES_TUPLES_OK);
            if (PQntuples(result.get()) != 1 || PQgetisnull(result.get(), 0, 0)) {
                message = "the server no longer knows whether the transaction committed";
                return false;
            }
            const std::string status = PQgetvalue(result.get(), 0, 0);
            if (status == "committed" || status == "aborted") {
                message = "the server reports the transaction " + status;
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                message = "the transaction is still in progress on the server after 30 s";
                return false;
            }
            std::this_thread::sleep_for(200ms);
        }
    }

    ConnectionSettings settings_;
    std::unique_ptr<Password> password_;
    Connection connection_;
    std::mutex cancel_lock_;   // cancel() comes from another thread
    CancelHandle cancel_;
    std::atomic<bool> cancelled_{false};
    std::string transaction_;
    std::string read_back_sql_;
    std::int64_t rows_before_ = 0;
};

} // namespace

std::unique_ptr<Engine> open_postgresql(std::span<const std::string> arguments, const PasswordPrompt& prompt)
{
    ConnectionSettings settings(parse_arguments(arguments));
    auto password = std::make_unique<Password>();
    Connection connection = connect_asking(settings, *password, prompt);
    return std::make_unique<PostgresqlEngine>(std::move(settings), std::move(connection), std::move(password));
}

} // namespace credbatch::apply
