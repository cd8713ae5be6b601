// The checked apply's MariaDB engine, on MariaDB Connector/C. The connection takes the mariadb
// client's arguments and option files; everything the check relies on is then set on the
// session itself and read back, so that no option file or init command can change a verdict.

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

#include "engine.hpp"
#include "platform.hpp"
#include "secret_buffer.hpp"
#include "utf8.hpp"

namespace credbatch::apply {

namespace {

struct CloseConnection {
    void operator()(MYSQL* connection) const noexcept { mysql_close(connection); }
};
struct CloseStatement {
    void operator()(MYSQL_STMT* statement) const noexcept { mysql_stmt_close(statement); }
};
struct FreeResult {
    void operator()(MYSQL_RES* result) const noexcept { mysql_free_result(result); }
};
using Connection = std::unique_ptr<MYSQL, CloseConnection>;
using Prepared = std::unique_ptr<MYSQL_STMT, CloseStatement>;
using Result = std::unique_ptr<MYSQL_RES, FreeResult>;

// The statements of a batch go to the server this many at a time, as one array: few enough that
// an error the server cannot tie to one of them (a deadlock) names a short range of lines.
constexpr std::size_t array_statements = 100;

// Ours, and strict: a value too long for its column is an error rather than cut short, and a
// backslash in a literal is an ordinary character, as in the script.
constexpr const char* session_sql_mode = "STRICT_ALL_TABLES,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION";

// --- Arguments ---------------------------------------------------------------------------------

// A password kept in locked, wiped memory, with its terminating NUL for the library.
class Password {
public:
    explicit Password(std::string_view text) : bytes_(text.size() + 1)
    {
        text.copy(bytes_.data(), text.size());
        bytes_.data()[text.size()] = '\0';
    }
    const char* c_str() const noexcept { return bytes_.data(); }

private:
    SecretBuffer bytes_;
};

struct ConnectOptions {
    std::optional<std::string> host;
    std::optional<std::string> user;
    std::optional<std::string> socket;
    std::optional<std::string> database;
    std::optional<std::string> ssl_ca;
    std::optional<std::string> ssl_cert;
    std::optional<std::string> ssl_key;
    std::optional<std::string> defaults_file;
    std::optional<std::string> defaults_extra_file;
    std::optional<std::string> init_command;
    unsigned port = 0;
    bool ssl_verify_server_cert = false;
    bool no_defaults = false;
    bool ask_password = false;
    std::shared_ptr<const Password> password;
};

// What a long option takes: a value it must have, a value it may have only attached (the
// password), or none.
enum class Takes { value, attached_value, nothing };

struct LongOption {
    std::string_view name;
    Takes takes;
    char short_name;
};

constexpr LongOption long_options[] = {
    {"host", Takes::value, 'h'},
    {"port", Takes::value, 'P'},
    {"user", Takes::value, 'u'},
    {"password", Takes::attached_value, 'p'},
    {"socket", Takes::value, 'S'},
    {"database", Takes::value, 'D'},
    {"ssl-ca", Takes::value, 0},
    {"ssl-cert", Takes::value, 0},
    {"ssl-key", Takes::value, 0},
    {"ssl-verify-server-cert", Takes::nothing, 0},
    {"defaults-file", Takes::value, 0},
    {"defaults-extra-file", Takes::value, 0},
    {"no-defaults", Takes::nothing, 0},
    {"init-command", Takes::value, 0},
};

unsigned port_from(const std::string& text)
{
    unsigned port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || port > 65535) {
        throw ArgumentError("invalid port '" + text + "' for mariadb");
    }
    return port;
}

void set_option(ConnectOptions& options, std::string_view name, std::optional<std::string> value)
{
    if (name == "host") {
        options.host = std::move(value);
    } else if (name == "port") {
        options.port = port_from(*value);
    } else if (name == "user") {
        options.user = std::move(value);
    } else if (name == "password") {
        options.ask_password = !value;
        options.password = value ? std::make_shared<const Password>(*value) : nullptr;
        if (value) {
            platform::wipe(value->data(), value->size());
        }
    } else if (name == "socket") {
        options.socket = std::move(value);
    } else if (name == "database") {
        options.database = std::move(value);
    } else if (name == "ssl-ca") {
        options.ssl_ca = std::move(value);
    } else if (name == "ssl-cert") {
        options.ssl_cert = std::move(value);
    } else if (name == "ssl-key") {
        options.ssl_key = std::move(value);
    } else if (name == "ssl-verify-server-cert") {
        options.ssl_verify_server_cert = true;
    } else if (name == "defaults-file") {
        options.defaults_file = std::move(value);
    } else if (name == "defaults-extra-file") {
        options.defaults_extra_file = std::move(value);
    } else if (name == "no-defaults") {
        options.no_defaults = true;
    } else if (name == "init-command") {
        options.init_command = std::move(value);
    }
}

// Only the option's name is repeated: what follows it may be a password.
[[noreturn]] void unknown_option(const std::string& argument)
{
    const std::string name = argument.starts_with("--") ? argument.substr(0, argument.find('=')) : argument.substr(0, 2);
    throw ArgumentError("unknown option '" + name + "' for mariadb");
}

const LongOption* find_long(std::string_view name)
{
    for (const LongOption& option : long_options) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

const LongOption* find_short(char name)
{
    for (const LongOption& option : long_options) {
        if (option.short_name != 0 && option.short_name == name) {
            return &option;
        }
    }
    return nullptr;
}

// The mariadb client's own habits: long options with "=VALUE" or the value next, short ones with
// the value attached or next, except -p, whose password is only ever attached; one database name.
ConnectOptions options_from(std::span<const std::string> arguments)
{
    ConnectOptions options;
    std::optional<std::string> positional;
    bool options_ended = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto next_value = [&](std::string_view shown) -> std::string {
            if (i + 1 >= arguments.size()) {
                throw ArgumentError("option '" + std::string(shown) + "' for mariadb needs a value");
            }
            return arguments[++i];
        };
        if (options_ended || argument.size() < 2 || argument[0] != '-') {
            if (positional) {
                throw ArgumentError("unexpected argument '" + argument + "' for mariadb, which takes one database name");
            }
            positional = argument;
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument.starts_with("--")) {
            const std::size_t equals = argument.find('=');
            const std::string_view name = std::string_view(argument).substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const LongOption* option = find_long(name);
            if (option == nullptr) {
                unknown_option(argument.substr(0, equals));
            }
            std::optional<std::string> value;
            if (equals != std::string::npos) {
                if (option->takes == Takes::nothing) {
                    throw ArgumentError("option '--" + std::string(name) + "' for mariadb takes no value");
                }
                value = argument.substr(equals + 1);
            } else if (option->takes == Takes::value) {
                value = next_value(argument);
            }
            set_option(options, option->name, std::move(value));
        } else {
            const LongOption* option = find_short(argument[1]);
            if (option == nullptr) {
                unknown_option(argument.substr(0, 2));
            }
            std::optional<std::string> value;
            if (argument.size() > 2) {
                value = argument.substr(2);
            } else if (option->takes == Takes::value) {
                value = next_value(argument);
            }
            set_option(options, option->name, std::move(value));
        }
    }
    // As the client: a database name given on its own wins over --database.
    if (positional) {
        options.database = positional;
    }
    return options;
}

// --- Option files ------------------------------------------------------------------------------

// Connector/C reads either its usual option files or one file named to it, never both; the
// client's --defaults-extra-file adds a file to the usual ones. This file names them all, in the
// client's order (the extra file after the system-wide ones, before ~/.my.cnf), for the library
// to read as the one file. It lives as long as the engine, since cancel() and a reconnect read
// the same files again.
// The temporary option files that exist now: a stop request that ends the process at once, while
// it connects, removes them, since their owners' destructors do not run then.
std::mutex temporary_files_lock;
std::vector<std::filesystem::path> temporary_files;

class IncludingOptionFile {
public:
    explicit IncludingOptionFile(const std::string& extra)
    {
        if (extra.find_first_of("\r\n") != std::string::npos) {
            throw ArgumentError("the --defaults-extra-file name holds a line break, which an option file cannot name");
        }
        std::string text;
        for (const std::string& included : usual_files_around(extra)) {
            text += "!include " + included + "\n";
        }
        std::random_device random;
        const auto dir = std::filesystem::temp_directory_path();
        std::error_code error = std::make_error_code(std::errc::file_exists);
        for (int attempt = 0; attempt < 20 && error == std::errc::file_exists; ++attempt) {
            path_ = dir / ("credbatch-apply-" + std::to_string(random()) + std::to_string(random()) + ".cnf");
            error = platform::write_new_private_file(path_.string(), text);
        }
        if (error) {
            path_.clear();
            throw ArgumentError("cannot make a temporary file to read --defaults-extra-file with");
        }
        const std::lock_guard<std::mutex> held(temporary_files_lock);
        temporary_files.push_back(path_);
    }
    ~IncludingOptionFile()
    {
        if (path_.empty()) {
            return;
        }
        const std::lock_guard<std::mutex> held(temporary_files_lock);
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
        std::erase(temporary_files, path_);
    }
    IncludingOptionFile(const IncludingOptionFile&) = delete;
    IncludingOptionFile& operator=(const IncludingOptionFile&) = delete;

    std::string path() const { return path_.string(); }

private:
    // The library's own list on this system (on Linux /etc/my.cnf and /etc/mysql/my.cnf), then
    // MARIADB_HOME (or, when that is unset, MYSQL_HOME), then the extra file, then ~/.my.cnf
    // where the library reads it. Only readable ones are named, since an !include of a missing
    // file ends the reading of the file that names it.
    static std::vector<std::string> usual_files_around(const std::string& extra)
    {
        const platform::OptionFilePlaces places = platform::mariadb_option_file_places();
        std::vector<std::string> folders = places.folders;
        const char* home_dir = std::getenv("MARIADB_HOME");
        if (home_dir == nullptr) {
            home_dir = std::getenv("MYSQL_HOME");
        }
        if (home_dir != nullptr) {
            folders.emplace_back(home_dir);
        }
        std::vector<std::string> candidates;
        for (const std::string& folder : folders) {
            for (const std::string& name : places.names) {
                candidates.push_back(folder + "/" + name);
            }
        }
        candidates.push_back(extra);
        const char* home = std::getenv("HOME");
        if (places.home_file && home != nullptr) {
            candidates.push_back(std::string(home) + "/.my.cnf");
        }
        std::vector<std::string> readable;
        for (const std::string& candidate : candidates) {
            if (candidate == extra || is_readable(candidate)) {
                readable.push_back(candidate);
            }
        }
        return readable;
    }

    static bool is_readable(const std::string& path)
    {
        std::FILE* file = std::fopen(path.c_str(), "r");
        if (file == nullptr) {
            return false;
        }
        std::fclose(file);
        return true;
    }

    std::filesystem::path path_;
};

// --- Connections -------------------------------------------------------------------------------

// Errors after which the connection is gone: the client library's own, and the server's word
// that it is shutting down or has ended this session.
bool is_lost_connection_error(unsigned error) noexcept
{
    switch (error) {
    case CR_CONNECTION_ERROR:
    case CR_CONN_HOST_ERROR:
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case CR_SERVER_LOST_EXTENDED:
    case CR_ERR_NET_READ:
    case CR_ERR_NET_WRITE:
    case CR_ERR_NET_UNCOMPRESS:
    case ER_SERVER_SHUTDOWN:
    case ER_CONNECTION_KILLED:
        return true;
    default:
        return false;
    }
}

// Whether the connection is gone after an error: by the error's number, or because it no
// longer answers.
bool connection_lost(MYSQL* connection, unsigned error) noexcept
{
    return is_lost_connection_error(error) || mysql_ping(connection) != 0;
}

[[noreturn]] void fail(MYSQL* connection)
{
    const unsigned error = mysql_errno(connection);
    const std::string message = mysql_error(connection);
    throw EngineError(message, connection_lost(connection, error));
}

void execute(MYSQL* connection, std::string_view sql)
{
    if (mysql_real_query(connection, sql.data(), sql.size()) != 0) {
        fail(connection);
    }
}

Result query(MYSQL* connection, std::string_view sql)
{
    execute(connection, sql);
    Result result(mysql_store_result(connection));
    if (!result) {
        if (mysql_errno(connection) != 0) {
            fail(connection);
        }
        throw EngineError("the server sent no rows for a query that returns rows", false);
    }
    return result;
}

std::string field(MYSQL_ROW row, const unsigned long* lengths, unsigned column)
{
    return row[column] == nullptr ? std::string() : std::string(row[column], lengths[column]);
}

std::int64_t number(MYSQL_ROW row, unsigned column, std::int64_t if_null = 0)
{
    if (row[column] == nullptr) {
        return if_null;
    }
    std::int64_t value = 0;
    const std::string_view text(row[column]);
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// An SQL string literal of `text`: quotes doubled, nothing else, for a session with
// NO_BACKSLASH_ESCAPES. For a user name it is, byte for byte, the script's own literal.
std::string literal(std::string_view text)
{
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c;
        if (c == '\'') {
            quoted += '\'';
        }
    }
    quoted += '\'';
    return quoted;
}

void set_string_option(MYSQL* connection, mysql_option option, const std::optional<std::string>& value)
{
    if (value) {
        mysql_optionsv(connection, option, value->c_str());
    }
}

// After the connect: whether the library still holds what the command line gave. The option
// files are read while connecting, after the command line's options were set, so a file's
// ssl-ca, ssl-cert or ssl-key takes the place of the command line's; that is refused rather
// than let pass.
void check_tls_took(MYSQL* connection, const ConnectOptions& options)
{
    const struct {
        mysql_option option;
        const std::optional<std::string>& wanted;
        const char* name;
    } files[] = {
        {MYSQL_OPT_SSL_CA, options.ssl_ca, "ssl-ca"},
        {MYSQL_OPT_SSL_CERT, options.ssl_cert, "ssl-cert"},
        {MYSQL_OPT_SSL_KEY, options.ssl_key, "ssl-key"},
    };
    for (const auto& file : files) {
        const char* held = nullptr;
        if (file.wanted && (mysql_get_optionv(connection, file.option, &held) != 0 || held == nullptr || *file.wanted != held)) {
            throw EngineError(std::string("an option file's ") + file.name + " took the place of --" + file.name +
                                  "; give the option files' own setting, or --no-defaults",
                              false);
        }
    }
    if (options.ssl_verify_server_cert) {
        my_bool verify = 0;
        if (mysql_get_optionv(connection, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verify) != 0 || verify == 0) {
            throw EngineError("an option file turned off --ssl-verify-server-cert; use --no-defaults", false);
        }
        if (mysql_get_ssl_cipher(connection) == nullptr) {
            throw EngineError("the connection is not encrypted, though --ssl-verify-server-cert asks for a verified one", false);
        }
    }
}

Connection connect(const ConnectOptions& options, const std::string& option_file)
{
    Connection connection(mysql_init(nullptr));
    if (!connection) {
        throw EngineError("cannot start the MariaDB client library", false);
    }
    MYSQL* c = connection.get();
    if (!options.no_defaults) {
        // Besides [client-mariadb], the library always reads [client] and [client-server].
        mysql_optionsv(c, MYSQL_READ_DEFAULT_GROUP, "client-mariadb");
        if (!option_file.empty()) {
            mysql_optionsv(c, MYSQL_READ_DEFAULT_FILE, option_file.c_str());
        }
    }
    const my_bool off = 0;
    const my_bool on = 1;
    mysql_optionsv(c, MYSQL_OPT_RECONNECT, &off);
    mysql_optionsv(c, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    set_string_option(c, MYSQL_OPT_SSL_CA, options.ssl_ca);
    set_string_option(c, MYSQL_OPT_SSL_CERT, options.ssl_cert);
    set_string_option(c, MYSQL_OPT_SSL_KEY, options.ssl_key);
    if (options.ssl_verify_server_cert) {
        mysql_optionsv(c, MYSQL_OPT_SSL_ENFORCE, &on);
        mysql_optionsv(c, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on);
    }
    set_string_option(c, MYSQL_INIT_COMMAND, options.init_command);

    const auto text = [](const std::optional<std::string>& value) { return value ? value->c_str() : nullptr; };
    // Rows matched, not rows changed, so that a row that already held its hash counts.
    if (mysql_real_connect(c, text(options.host), text(options.user), options.password ? options.password->c_str() : nullptr,
                           text(options.database), options.port, text(options.socket), CLIENT_FOUND_ROWS) == nullptr) {
        throw EngineError(mysql_error(c), false);
    }
    // An option file's "reconnect" or default-character-set was applied while connecting.
    mysql_optionsv(c, MYSQL_OPT_RECONNECT, &off);
    my_bool reconnect = 1;
    if (mysql_get_optionv(c, MYSQL_OPT_RECONNECT, &reconnect) != 0 || reconnect != 0) {
        throw EngineError("the client library would not turn automatic reconnection off", false);
    }
    if (mysql_set_character_set(c, "utf8mb4") != 0) {
        fail(c);
    }
    check_tls_took(c, options);
    return connection;
}

// The session as the check needs it, whatever an option file or init command set; then read
// back, each setting by name, so that one not taken is said.
void set_up_session(MYSQL* connection)
{
    execute(connection, std::string("SET SESSION sql_mode = '") + session_sql_mode +
                            "', autocommit = 0, completion_type = 'NO_CHAIN', sql_safe_updates = 0,"
                            " sql_select_limit = 18446744073709551615, max_join_size = 18446744073709551615");
    execute(connection, "SET NAMES utf8mb4");
    static constexpr struct {
        const char* condition;
        const char* name;
    } checks[] = {
        {"FIND_IN_SET('STRICT_ALL_TABLES', @@sql_mode) > 0", "sql_mode STRICT_ALL_TABLES"},
        {"FIND_IN_SET('NO_BACKSLASH_ESCAPES', @@sql_mode) > 0", "sql_mode NO_BACKSLASH_ESCAPES"},
        {"FIND_IN_SET('PAD_CHAR_TO_FULL_LENGTH', @@sql_mode) = 0", "sql_mode without PAD_CHAR_TO_FULL_LENGTH"},
        {"@@autocommit = 0", "autocommit = 0"},
        {"@@completion_type = 'NO_CHAIN'", "completion_type = NO_CHAIN"},
        {"@@character_set_client = 'utf8mb4' AND @@character_set_connection = 'utf8mb4' AND @@character_set_results = 'utf8mb4'",
         "SET NAMES utf8mb4"},
        {"@@sql_safe_updates = 0", "sql_safe_updates = 0"},
        {"@@sql_select_limit = 18446744073709551615", "sql_select_limit without a limit"},
        {"@@max_join_size = 18446744073709551615", "max_join_size without a limit"},
    };
    std::string sql = "SELECT ";
    for (std::size_t i = 0; i < std::size(checks); ++i) {
        sql += (i > 0 ? ", " : "") + std::string("COALESCE(") + checks[i].condition + ", 0)";
    }
    const Result result = query(connection, sql);
    const MYSQL_ROW row = mysql_fetch_row(result.get());
    for (std::size_t i = 0; i < std::size(checks); ++i) {
        if (row == nullptr || number(row, static_cast<unsigned>(i)) != 1) {
            throw Refusal(std::string("the session did not take ") + checks[i].name);
        }
    }
}

// When the server that answers now started, to the second: a server that restarted has ended
// every session of its last run, and numbers new sessions from 1 again.
std::int64_t server_started(MYSQL* connection)
{
    const Result result = query(connection, "SELECT UNIX_TIMESTAMP() - VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS"
                                            " WHERE VARIABLE_NAME = 'UPTIME'");
    const MYSQL_ROW row = mysql_fetch_row(result.get());
    return row == nullptr ? -1 : number(row, 0, -1);
}

// --- The engine --------------------------------------------------------------------------------

class MariadbEngine final : public Engine {
public:
    MariadbEngine(ConnectOptions options, std::unique_ptr<IncludingOptionFile> option_file)
        : options_(std::move(options)), option_file_(std::move(option_file)),
          option_file_path_(option_file_ ? option_file_->path() : options_.defaults_file.value_or(""))
    {
        connection_ = connect(options_, option_file_path_);
        thread_id_.store(mysql_thread_id(connection_.get()));
        started_ = server_started(connection_.get());
    }

    void begin() override
    {
        MYSQL* c = connection_.get();
        set_up_session(c);
        refuse_what_hides_updates();
        name_collation_ = joinable_collation(c);
        prepare_update();
        execute(c, "START TRANSACTION");
    }

    void held_before(std::span<const Statement> batch, std::vector<bool>& held) override
    {
        std::vector<ReadBack> rows(batch.size());
        look_up(batch, rows);
        matched_first_line_ = batch.empty() ? 0 : batch.front().line;
        matched_.clear();
        for (std::size_t i = 0; i < batch.size(); ++i) {
            held[i] = rows[i].holding > 0;
            matched_.push_back(rows[i].matched);
        }
    }

    void run(std::span<const Statement> batch, std::vector<std::int64_t>& counts) override
    {
        if (!bulk_ || !all_utf8(batch)) {
            // A name that is not UTF-8 goes as the script's own text: how the server reads such
            // bytes as a literal is what the script's statement meets, and a parameter may differ.
            for (std::size_t i = 0; i < batch.size(); ++i) {
                counts[i] = is_valid_utf8(batch[i].user) ? run_one(batch, i) : run_text(batch, i);
            }
            return;
        }
        for (std::size_t first = 0; first < batch.size(); first += array_statements) {
            const std::size_t size = std::min(array_statements, batch.size() - first);
            run_array(batch, first, size, counts);
        }
    }

    void read_back(std::span<const Statement> batch, std::vector<ReadBack>& rows) override { look_up(batch, rows); }

    CommitResult commit(std::string& message) override
    {
        MYSQL* c = connection_.get();
        if (mysql_thread_id(c) != thread_id_.load()) {
            // A new session under the same handle: the transaction ended with the old one.
            message = "the connection to the server was made again during the apply, which ended its transaction";
            return CommitResult::refused;
        }
        if (mysql_real_query(c, "COMMIT", 6) == 0) {
            return CommitResult::committed;
        }
        const unsigned error = mysql_errno(c);
        message = mysql_error(c);
        if (connection_lost(c, error)) {
            return CommitResult::lost;
        }
        // An answered COMMIT that failed leaves nothing committed; a transaction it left open
        // is ended here so that nothing later can commit it.
        mysql_real_query(c, "ROLLBACK", 8);
        return CommitResult::refused;
    }

    void rollback() noexcept override
    {
        if (connection_) {
            mysql_real_query(connection_.get(), "ROLLBACK", 8);
        }
    }

    void cancel() noexcept override
    {
        cancelled_.store(true);
        mysql_thread_init();
        try {
            const Connection other = connect(options_, option_file_path_);
            const std::string kill = "KILL QUERY " + std::to_string(thread_id_.load());
            mysql_real_query(other.get(), kill.data(), kill.size());
        } catch (...) {
            // Nothing more can be done from here; the main thread's call ends when it ends.
        }
        mysql_thread_end();
    }

    bool reconnect_after_lost_commit(std::string& message) override
    {
        using namespace std::chrono_literals;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        Connection fresh;
        while (!fresh) {
            try {
                fresh = connect(options_, option_file_path_);
            } catch (const EngineError& error) {
                if (std::chrono::steady_clock::now() >= deadline) {
                    message = std::string("no new connection within 30 seconds: ") + error.what();
                    return false;
                }
                std::this_thread::sleep_for(1s);
            }
        }
        try {
            if (!old_session_ended(fresh.get(), deadline)) {
                message = "the session of the lost COMMIT was still there after 30 seconds";
                return false;
            }
            set_up_session(fresh.get());
        } catch (const std::runtime_error& error) {
            message = error.what();
            return false;
        }
        update_.reset();
        connection_ = std::move(fresh);
        thread_id_.store(mysql_thread_id(connection_.get()));
        return true;
    }

private:
    static bool all_utf8(std::span<const Statement> batch)
    {
        for (const Statement& statement : batch) {
            if (!is_valid_utf8(statement.user)) {
                return false;
            }
        }
        return true;
    }

    // DT511 as the statements will find it: a temporary table of this session first, then the
    // current database's table or view.
    void refuse_what_hides_updates()
    {
        MYSQL* c = connection_.get();
        {
            const Result result = query(c, "SELECT DATABASE()");
            const MYSQL_ROW row = mysql_fetch_row(result.get());
            if (row == nullptr || row[0] == nullptr) {
                throw Refusal("no database is chosen, so there is no DT511 to update; name one (-D NAME, or the name alone)");
            }
        }
        if (mysql_real_query(c, "SHOW CREATE TABLE DT511", 23) != 0) {
            if (mysql_errno(c) == ER_NO_SUCH_TABLE) {
                throw Refusal("there is no table DT511 in this database");
            }
            fail(c);
        }
        {
            Result result(mysql_store_result(c));
            if (!result) {
                fail(c);
            }
            // A view answers with "Create View"; a table with "Create Table" and its definition,
            // which names a temporary table as one.
            const MYSQL_FIELD* fields = mysql_fetch_fields(result.get());
            const MYSQL_ROW row = mysql_fetch_row(result.get());
            const unsigned long* lengths = mysql_fetch_lengths(result.get());
            if (row == nullptr || mysql_num_fields(result.get()) < 2) {
                throw Refusal("DT511 cannot be looked at, so its updates cannot be checked");
            }
            const std::string_view kind(fields[1].name, fields[1].name_length);
            const std::string definition = field(row, lengths, 1);
            if (kind == "Create View") {
                throw Refusal("DT511 is a view, not a table, so its updates cannot be checked");
            }
            if (definition.starts_with("CREATE TEMPORARY TABLE")) {
                throw Refusal("DT511 is a temporary table of this session, which hides the real one");
            }
            if (kind != "Create Table" || !definition.starts_with("CREATE TABLE")) {
                throw Refusal("DT511 is not a table, so its updates cannot be checked");
            }
        }
        const Result result = query(c, "SELECT t.ENGINE, e.TRANSACTIONS FROM information_schema.TABLES t"
                                       " LEFT JOIN information_schema.ENGINES e ON e.ENGINE = t.ENGINE"
                                       " WHERE t.TABLE_SCHEMA = DATABASE() AND t.TABLE_NAME = 'DT511'");
        const MYSQL_ROW row = mysql_fetch_row(result.get());
        if (row == nullptr) {
            throw Refusal("DT511's engine cannot be found, so whether a rollback undoes its changes cannot be told");
        }
        const unsigned long* lengths = mysql_fetch_lengths(result.get());
        if (field(row, lengths, 1) != "YES") {
            throw Refusal("DT511 uses the " + field(row, lengths, 0) +
                          " engine, whose changes a rollback cannot undo; make it transactional with ALTER TABLE DT511 ENGINE=InnoDB");
        }
    }

    void prepare_update()
    {
        MYSQL* c = connection_.get();
        update_.reset(mysql_stmt_init(c));
        if (!update_) {
            fail(c);
        }
        static constexpr std::string_view sql = "UPDATE DT511 SET DI059177 = ? WHERE DI010323 = ?";
        if (mysql_stmt_prepare(update_.get(), sql.data(), sql.size()) != 0) {
            throw_statement_error(update_.get());
        }
        // Arrays need the server's bulk execution (MariaDB 10.2 and later); without it the
        // statements go one at a time.
        unsigned long long capabilities = 0;
        mariadb_get_infov(c, MARIADB_CONNECTION_EXTENDED_SERVER_CAPABILITIES, &capabilities);
        bulk_ = (capabilities & (MARIADB_CLIENT_STMT_BULK_OPERATIONS >> 32)) != 0;
    }

    [[noreturn]] void throw_statement_error(MYSQL_STMT* statement)
    {
        const unsigned error = mysql_stmt_errno(statement);
        const std::string message = mysql_stmt_error(statement);
        throw EngineError(message, connection_lost(connection_.get(), error));
    }

    void stop_if_cancelled() const
    {
        if (cancelled_.load()) {
            throw EngineError("the apply was interrupted", false);
        }
    }

    // A refused statement is named; a lost connection or a cancel is no statement's fault.
    [[noreturn]] void statement_failed(std::size_t index, unsigned error, const std::string& message)
    {
        if (connection_lost(connection_.get(), error)) {
            throw EngineError(message, true);
        }
        throw StatementFailed(index, message);
    }

    std::int64_t run_text(std::span<const Statement> batch, std::size_t i)
    {
        stop_if_cancelled();
        MYSQL* c = connection_.get();
        if (mysql_real_query(c, batch[i].text.data(), batch[i].text.size()) != 0) {
            const unsigned error = mysql_errno(c);
            statement_failed(i, error, mysql_error(c));
        }
        return static_cast<std::int64_t>(mysql_affected_rows(c));
    }

    std::int64_t run_one(std::span<const Statement> batch, std::size_t i)
    {
        stop_if_cancelled();
        MYSQL_STMT* s = update_.get();
        unsigned long hash_length = batch[i].hash.size();
        unsigned long user_length = batch[i].user.size();
        MYSQL_BIND bind[2]{};
        bind[0].buffer_type = MYSQL_TYPE_STRING;
        bind[0].buffer = const_cast<char*>(batch[i].hash.data());
        bind[0].buffer_length = hash_length;
        bind[0].length = &hash_length;
        bind[1].buffer_type = MYSQL_TYPE_STRING;
        bind[1].buffer = const_cast<char*>(batch[i].user.data());
        bind[1].buffer_length = user_length;
        bind[1].length = &user_length;
        unsigned int no_array = 0;
        if (mysql_stmt_attr_set(s, STMT_ATTR_ARRAY_SIZE, &no_array) != 0 || mysql_stmt_bind_param(s, bind) != 0) {
            throw_statement_error(s);
        }
        if (mysql_stmt_execute(s) != 0) {
            const unsigned error = mysql_stmt_errno(s);
            statement_failed(i, error, mysql_stmt_error(s));
        }
        return static_cast<std::int64_t>(mysql_stmt_affected_rows(s));
    }

    // Whether every statement of [first, first + size) matched one row just before it ran, as
    // held_before() found: then an array's total of `size` means one row each.
    bool each_matched_one(std::span<const Statement> batch, std::size_t first, std::size_t size) const
    {
        if (batch.empty() || batch.front().line != matched_first_line_ || matched_.size() != batch.size()) {
            return false;
        }
        for (std::size_t i = first; i < first + size; ++i) {
            if (matched_[i] != 1) {
                return false;
            }
        }
        return true;
    }

    // Statements [first, first + size) as one array, which gives only their total count: when
    // that total does not show one row each, or the server refuses one of them, the array is
    // undone to its savepoint and its statements run again one at a time, each with its own
    // count and, at a refusal, its own name.
    void run_array(std::span<const Statement> batch, std::size_t first, std::size_t size, std::vector<std::int64_t>& counts)
    {
        stop_if_cancelled();
        MYSQL* c = connection_.get();
        const auto one_at_a_time = [&] {
            for (std::size_t i = first; i < first + size; ++i) {
                counts[i] = run_one(batch, i);
            }
        };
        if (!each_matched_one(batch, first, size)) {
            one_at_a_time();
            return;
        }
        execute(c, "SAVEPOINT credbatch_array");
        std::vector<const char*> hashes, users;
        std::vector<unsigned long> hash_lengths, user_lengths;
        for (std::size_t i = first; i < first + size; ++i) {
            hashes.push_back(batch[i].hash.data());
            hash_lengths.push_back(batch[i].hash.size());
            users.push_back(batch[i].user.data());
            user_lengths.push_back(batch[i].user.size());
        }
        MYSQL_BIND bind[2]{};
        bind[0].buffer_type = MYSQL_TYPE_STRING;
        bind[0].buffer = static_cast<void*>(hashes.data());
        bind[0].length = hash_lengths.data();
        bind[1].buffer_type = MYSQL_TYPE_STRING;
        bind[1].buffer = static_cast<void*>(users.data());
        bind[1].length = user_lengths.data();
        MYSQL_STMT* s = update_.get();
        unsigned int array_size = static_cast<unsigned int>(size);
        if (mysql_stmt_attr_set(s, STMT_ATTR_ARRAY_SIZE, &array_size) != 0 || mysql_stmt_bind_param(s, bind) != 0) {
            throw_statement_error(s);
        }
        if (mysql_stmt_execute(s) == 0) {
            if (mysql_stmt_affected_rows(s) == size) {
                std::fill(counts.begin() + static_cast<std::ptrdiff_t>(first), counts.begin() + static_cast<std::ptrdiff_t>(first + size), 1);
                return;
            }
        } else {
            const unsigned error = mysql_stmt_errno(s);
            const std::string message = mysql_stmt_error(s);
            if (connection_lost(c, error)) {
                throw EngineError(message, true);
            }
            stop_if_cancelled();
            if (mysql_real_query(c, "ROLLBACK TO SAVEPOINT credbatch_array", 37) != 0) {
                // The server ended the whole transaction (a deadlock does): which statement of
                // the array met the error cannot be told, and they cannot be run again.
                throw EngineError(message + " (at one of the statements on lines " + std::to_string(batch[first].line) + " to " +
                                      std::to_string(batch[first + size - 1].line) +
                                      ", which went to the server together; the server rolled back the whole transaction)",
                                  false);
            }
            one_at_a_time();
            return;
        }
        if (mysql_real_query(c, "ROLLBACK TO SAVEPOINT credbatch_array", 37) != 0) {
            fail(c);
        }
        one_at_a_time();
    }

    // One query for the batch: per statement, the rows its name matches under the column's own
    // collation (the name is the script's own literal, compared as the statement's WHERE
    // compares it), how many of them hold its hash byte for byte, and what the one row holds.
    // The collation of DT511's user names when they are utf8mb4, the script's own character
    // set, so that names sent as values can be compared under it; empty otherwise.
    static std::string joinable_collation(MYSQL* connection)
    {
        const Result result = query(connection, "SELECT CHARACTER_SET_NAME, COLLATION_NAME FROM information_schema.COLUMNS"
                                                " WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'DT511' AND COLUMN_NAME = 'DI010323'");
        const MYSQL_ROW row = mysql_fetch_row(result.get());
        if (row == nullptr || row[0] == nullptr || row[1] == nullptr || std::string_view(row[0]) != "utf8mb4") {
            return {};
        }
        const std::string collation = row[1];
        const bool plain = !collation.empty() && collation.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
        return plain ? collation : std::string();
    }

    // One query a batch. Where the names can be sent as values and compared under the column's
    // collation, one join, which the server plans once; otherwise a SELECT a statement, each
    // with the statement's own WHERE, which it must parse and plan a thousand times.
    void look_up(std::span<const Statement> batch, std::vector<ReadBack>& rows)
    {
        if (batch.empty()) {
            return;
        }
        std::string sql;
        if (!name_collation_.empty() && all_utf8(batch)) {
            sql = "WITH v(i, name, hash) AS (VALUES ";
            for (std::size_t i = 0; i < batch.size(); ++i) {
                sql += (i > 0 ? ", (" : "(") + std::to_string(i) + ", " + literal(batch[i].user) + ", " + literal(batch[i].hash) + ")";
            }
            sql += ") SELECT v.i, COUNT(t.DI010323), COUNT(CASE WHEN CAST(t.DI059177 AS BINARY) = CAST(v.hash AS BINARY)"
                   " AND LENGTH(t.DI059177) = LENGTH(v.hash) THEN 1 END), COUNT(t.DI059177), MAX(LENGTH(t.DI059177))"
                   " FROM v LEFT JOIN DT511 t ON t.DI010323 = v.name COLLATE " + name_collation_ + " GROUP BY v.i";
        }
        const bool joined = !sql.empty();
        for (std::size_t i = 0; !joined && i < batch.size(); ++i) {
            const std::string hash = literal(batch[i].hash);
            sql += i > 0 ? " UNION ALL " : "";
            sql += "SELECT " + std::to_string(i) + ", COUNT(*), COUNT(CASE WHEN CAST(DI059177 AS BINARY) = CAST(" + hash +
                   " AS BINARY) AND LENGTH(DI059177) = " + std::to_string(batch[i].hash.size()) +
                   " THEN 1 END), COUNT(DI059177), MAX(LENGTH(DI059177)) FROM DT511 WHERE DI010323 = " + literal(batch[i].user);
        }
        const Result result = query(connection_.get(), sql);
        std::size_t seen = 0;
        while (const MYSQL_ROW row = mysql_fetch_row(result.get())) {
            const auto i = static_cast<std::size_t>(number(row, 0));
            if (i >= rows.size()) {
                continue;
            }
            ReadBack& back = rows[i];
            back.matched = number(row, 1);
            back.holding = number(row, 2);
            back.stored_bytes = number(row, 3) == 0 ? -1 : number(row, 4, -1);
            ++seen;
        }
        if (seen != batch.size()) {
            throw EngineError("the server answered the read-back with " + std::to_string(seen) + " rows for " +
                                  std::to_string(batch.size()) + " statements",
                              false);
        }
    }

    // Whether the session of the lost COMMIT is gone, ended here if it is still there; on the
    // same run of the server only, since a restarted server's session numbers begin again.
    bool old_session_ended(MYSQL* fresh, std::chrono::steady_clock::time_point deadline)
    {
        const std::int64_t started = server_started(fresh);
        if (started < 0 || started_ < 0) {
            // Without the server's start, a session of that number may be someone else's.
            return false;
        }
        if (started > started_ + 1 || started < started_ - 1) {
            return true;  // the server restarted, and the old session with its transaction is gone
        }
        const std::string id = std::to_string(thread_id_.load());
        const std::string still_there = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id;
        bool killed = false;
        for (;;) {
            const Result result = query(fresh, still_there);
            const MYSQL_ROW row = mysql_fetch_row(result.get());
            if (row == nullptr || number(row, 0) == 0) {
                return true;
            }
            if (!killed) {
                const std::string kill = "KILL CONNECTION " + id;
                mysql_real_query(fresh, kill.data(), kill.size());
                killed = true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    ConnectOptions options_;
    std::unique_ptr<IncludingOptionFile> option_file_;
    std::string option_file_path_;
    Connection connection_;
    Prepared update_;   // after connection_, so that it goes first
    std::atomic<unsigned long> thread_id_{0};
    std::atomic<bool> cancelled_{false};
    std::int64_t started_ = -1;
    std::string name_collation_;
    bool bulk_ = false;
    std::uint64_t matched_first_line_ = 0;
    std::vector<std::int64_t> matched_;
};

} // namespace

void remove_temporary_files() noexcept
{
    const std::lock_guard<std::mutex> held(temporary_files_lock);
    for (const std::filesystem::path& path : temporary_files) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    temporary_files.clear();
}

std::unique_ptr<Engine> open_mariadb(std::span<const std::string> arguments, const PasswordPrompt& prompt)
{
    ConnectOptions options = options_from(arguments);
    // The library passes over an option file it cannot read; the client refuses it, and so
    // does this, rather than connect with settings the administrator did not mean. The library
    // takes names as fopen() does, which on Windows is in the system's code page.
    for (std::optional<std::string>* named : {&options.defaults_file, &options.defaults_extra_file}) {
        if (!*named) {
            continue;
        }
        std::optional<std::string> for_library = platform::name_for_c_library(**named);
        if (!for_library) {
            throw ArgumentError("the option file name '" + **named + "' cannot be handed to the client library, which takes "
                "only names in the system's code page; copy the file to a folder of another name");
        }
        if (!std::ifstream(*for_library)) {
            throw ArgumentError("cannot read the option file '" + **named + "'");
        }
        *named = std::move(for_library);
    }
    if (options.defaults_file && options.defaults_extra_file) {
        throw ArgumentError("--defaults-file and --defaults-extra-file cannot be given together");
    }
    std::unique_ptr<IncludingOptionFile> option_file;
    if (!options.no_defaults && !options.defaults_file && options.defaults_extra_file) {
        option_file = std::make_unique<IncludingOptionFile>(*options.defaults_extra_file);
    }
    if (options.ask_password) {
        // An empty answer, or no terminal to ask at, connects without a password.
        std::string answer = prompt("Enter password: ");
        options.password = std::make_shared<const Password>(answer);
        platform::wipe(answer.data(), answer.size());
    }
    mysql_library_init(0, nullptr, nullptr);
    return std::make_unique<MariadbEngine>(std::move(options), std::move(option_file));
}

} // namespace credbatch::apply
