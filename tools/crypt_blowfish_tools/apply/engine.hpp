#pragma once

// What the checked apply asks of a database engine. One file per engine implements it
// (engine_postgresql.cpp, engine_mariadb.cpp, engine_sqlite.cpp); checked_apply.cpp holds the
// verdict, which is the same on every engine and is taken only from what these calls return as
// data: row counts, read-back values, error codes. A server's message text is only ever shown.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace credbatch::apply {

// One statement of the script: its line number, and its hash and user name as the script's
// literals hold them (the user name with its quotes undoubled). `text` is the line itself,
// without its line ending, for an engine that sends the script's own literals.
struct Statement {
    std::uint64_t line = 0;
    std::string hash;
    std::string user;
    std::string text;
};

// What DT511 holds for one statement's user name, found by name under the column's own
// collation, as the statement's WHERE finds it.
struct ReadBack {
    std::int64_t matched = 0;         // rows the name matches
    std::int64_t holding = 0;         // of those, rows whose hash is the statement's, byte for byte
    std::int64_t stored_bytes = -1;   // with one row matched: the length of what it holds; -1 for NULL
};

// The database refused what the apply asked, or could not be reached. `connection_lost` is
// set from what the client library reports about the connection, never from a message.
struct EngineError : std::runtime_error {
    EngineError(const std::string& message, bool lost) : std::runtime_error(message), connection_lost(lost) {}
    bool connection_lost;
};

// The session or the table is one the check cannot vouch for: said before the first statement.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A statement of a batch that the database refused (a constraint, a trigger, a lock, a
// deadlock, a cancel): `index` within the batch, and the server's message as it is.
struct StatementFailed : std::runtime_error {
    StatementFailed(std::size_t at, const std::string& message) : std::runtime_error(message), index(at) {}
    std::size_t index;
};

// Malformed connection arguments: said before anything connects (exit status 2).
struct ArgumentError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class CommitResult {
    committed,   // the server said so
    refused,     // the server answered with an error, and the transaction is gone: nothing committed
    lost,        // the connection ended before the answer came
};

// The connection of one apply. Every call but cancel() runs on the main thread, in this order:
// begin(); for each batch held_before() then run(); settle(); read_back() for every batch; then
// commit() or rollback(). An EngineError from any of them ends the apply.
class Engine {
public:
    virtual ~Engine() = default;

    // Sets up the session as the check needs it, whatever option files, init commands or the
    // environment set; refuses (Refusal) a table whose changes a rollback cannot undo or that
    // the check cannot see; and starts the transaction.
    virtual void begin() = 0;

    // held[i]: whether a row matched by statement i already holds its hash, before it runs.
    virtual void held_before(std::span<const Statement> batch, std::vector<bool>& held) = 0;

    // Runs the batch's statements in order, with the effect of the script's own statements;
    // counts[i] is the library's count of the rows statement i matched or changed (not those
    // that triggers changed in turn). Throws StatementFailed at the first refused one.
    virtual void run(std::span<const Statement> batch, std::vector<std::int64_t>& counts) = 0;

    // After every statement ran, before the read-back: whatever the engine would otherwise do
    // only at the COMMIT (deferred constraints and constraint triggers) is done now, so that
    // the read-back sees what the COMMIT would keep, and --check sees what it would refuse.
    // Throws Refusal when that refuses the changes.
    virtual void settle() {}

    // Inside the transaction, after settle(): what each statement's name holds.
    virtual void read_back(std::span<const Statement> batch, std::vector<ReadBack>& rows) = 0;

    // After the read-back found every statement good, so that each changed one row of its own:
    // how many other rows of DT511 the transaction changed, inserted or deleted (a trigger can
    // reach rows the script does not name). 0 where the engine itself rules that out.
    virtual std::int64_t other_rows_changed(std::uint64_t /*statements*/) { return 0; }

    virtual CommitResult commit(std::string& message) = 0;
    virtual void rollback() noexcept = 0;

    // From another thread, at any time: stop the statement that runs now, even one waiting
    // for a lock, so that the main thread's call ends with an error soon.
    virtual void cancel() noexcept = 0;

    // After commit() was lost: a new connection, once the old session is known to have ended
    // (so that its transaction can no longer commit). False when that cannot be made sure of
    // within a bound. read_back() then reads what was committed.
    virtual bool reconnect_after_lost_commit(std::string& message) = 0;
};

// How an engine asks for a password it was not given: the prompt, shown on the terminal, and
// the answer read without echo; empty when no terminal is there to ask.
using PasswordPrompt = std::function<std::string(std::string_view prompt)>;

// The engines, each connected with its client's own arguments (see credbatch-apply(1)). An
// argument an engine does not take throws ArgumentError before anything connects; a failed
// connection throws EngineError.
std::unique_ptr<Engine> open_postgresql(std::span<const std::string> arguments, const PasswordPrompt& prompt);
std::unique_ptr<Engine> open_mariadb(std::span<const std::string> arguments, const PasswordPrompt& prompt);

// Removes the temporary files the engines made, for a process that ends without unwinding.
void remove_temporary_files() noexcept;
std::unique_ptr<Engine> open_sqlite(std::span<const std::string> arguments, const PasswordPrompt& prompt);

} // namespace credbatch::apply
