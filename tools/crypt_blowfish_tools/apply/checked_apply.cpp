#include "checked_apply.hpp"

#include <map>
#include <optional>
#include <vector>

#include "outcome.hpp"

namespace credbatch::apply {

bool StopState::request(std::string_view name, Engine* engine) noexcept
{
    auto expected = Phase::running;
    if (!phase_.compare_exchange_strong(expected, Phase::stopping)) {
        return expected == Phase::stopping;
    }
    // The names come from the platform seam as literals, which outlive the process's threads.
    name_.store(name.data());
    if (engine != nullptr) {
        engine->cancel();
    }
    return true;
}

bool StopState::enter_commit() noexcept
{
    auto expected = Phase::running;
    return phase_.compare_exchange_strong(expected, Phase::committing);
}

namespace {

// Raised inside a pass when a stop request has cancelled the engine's work.
struct Stopped {};

// What the run of one statement left that the read-back alone cannot tell: its count when it
// was not 1, or that its row held the hash before. Most statements leave nothing, so memory
// stays flat.
struct RunNote {
    std::int64_t count = 1;
    bool held = false;
};

class Apply {
public:
    Apply(Engine& engine, const Script& script, std::uint64_t statements, bool check_only, StopState& stop, const Lines& lines)
        : engine_(engine), script_(script), statements_(statements), check_only_(check_only), stop_(stop), lines_(lines)
    {
    }

    int run()
    {
        try {
            return run_steps();
        } catch (const Stopped&) {
            return stopped();
        } catch (const EngineError& error) {
            if (stop_.stopped()) {
                return stopped();
            }
            lines_.err(outcome::said(error.what()));
            engine_.rollback();
            lines_.err(error.connection_lost ? outcome::session_ended() : outcome::refused("the database answered with an error"));
            return 1;
        }
    }

private:
    int run_steps()
    {
        try {
            engine_.begin();
        } catch (const Refusal& refusal) {
            engine_.rollback();
            lines_.err(outcome::refused(refusal.what()));
            return 1;
        }
        if (const auto failure = run_statements()) {
            return *failure;
        }
        try {
            engine_.settle();
        } catch (const Refusal& refusal) {
            check_stop();
            engine_.rollback();
            lines_.err(outcome::refused(refusal.what()));
            return 1;
        }
        const std::uint64_t offending = read_back_all();
        if (offending > 0) {
            engine_.rollback();
            lines_.err(outcome::mismatches(offending, statements_));
            return 1;
        }
        if (const std::int64_t others = engine_.other_rows_changed(statements_); others > 0) {
            engine_.rollback();
            lines_.err(outcome::others_changed(others, statements_));
            return 1;
        }
        if (check_only_) {
            engine_.rollback();
            lines_.out(outcome::checked_only(statements_));
            return 0;
        }
        return commit();
    }

    void check_stop() const
    {
        if (stop_.stopped()) {
            throw Stopped{};
        }
    }

    void script_changed() const
    {
        engine_.rollback();
        lines_.err(outcome::script_changed());
    }

    // Every statement, in order; the status when one failed or the script changed.
    std::optional<int> run_statements()
    {
        std::vector<bool> held;
        std::vector<std::int64_t> counts;
        std::optional<int> failure;
        const bool same = script_.for_each_batch(batch_size, [&](std::span<const Statement> batch) {
            if (failure) {
                return;
            }
            check_stop();
            held.assign(batch.size(), false);
            counts.assign(batch.size(), 0);
            engine_.held_before(batch, held);
            try {
                engine_.run(batch, counts);
            } catch (const StatementFailed& failed) {
                check_stop();
                const Statement& statement = batch[failed.index];
                lines_.err(outcome::about_statement(statement, outcome::failed(failed.what())));
                engine_.rollback();
                lines_.err(outcome::statement_failed(statement.line));
                failure = 1;
                return;
            }
            for (std::size_t i = 0; i < batch.size(); ++i) {
                if (counts[i] != 1 || held[i]) {
                    notes_[batch[i].line] = RunNote{counts[i], held[i]};
                }
            }
        });
        if (!failure && !same) {
            script_changed();
            failure = 1;
        }
        return failure;
    }

    // Each statement's rows read back, the offending ones named; how many offend.
    std::uint64_t read_back_all()
    {
        std::vector<ReadBack> rows;
        std::uint64_t offending = 0;
        const bool same = script_.for_each_batch(batch_size, [&](std::span<const Statement> batch) {
            check_stop();
            rows.assign(batch.size(), ReadBack{});
            engine_.read_back(batch, rows);
            for (std::size_t i = 0; i < batch.size(); ++i) {
                const auto note = notes_.find(batch[i].line);
                const RunNote run = note == notes_.end() ? RunNote{} : note->second;
                const std::string why = outcome::reason(run.count, run.held, rows[i]);
                if (!why.empty()) {
                    lines_.err(outcome::about_statement(batch[i], why));
                    ++offending;
                }
            }
        });
        if (!same) {
            lines_.err(outcome::script_changed());
            return offending + 1;
        }
        return offending;
    }

    int commit()
    {
        if (!stop_.enter_commit()) {
            return stopped();
        }
        std::string message;
        switch (engine_.commit(message)) {
        case CommitResult::committed:
            lines_.out(outcome::committed(statements_));
            return 0;
        case CommitResult::refused:
            if (!message.empty()) {
                lines_.err(outcome::said(message));
            }
            engine_.rollback();
            lines_.err(outcome::commit_failed());
            return 1;
        case CommitResult::lost:
            break;
        }
        if (!message.empty()) {
            lines_.err(outcome::said(message));
        }
        return resolve_lost_commit();
    }

    // No other writer can store a freshly salted hash, so once the old session is gone the rows
    // tell whether its COMMIT took effect.
    int resolve_lost_commit()
    {
        std::string message;
        bool reconnected = false;
        try {
            reconnected = engine_.reconnect_after_lost_commit(message);
        } catch (const EngineError& error) {
            message = error.what();
        }
        if (!reconnected) {
            if (!message.empty()) {
                lines_.err(outcome::said(message));
            }
            lines_.err(outcome::commit_not_known());
            return 3;
        }
        std::uint64_t holding = 0;
        std::vector<ReadBack> rows;
        bool read = false;
        try {
            read = script_.for_each_batch(batch_size, [&](std::span<const Statement> batch) {
                rows.assign(batch.size(), ReadBack{});
                engine_.read_back(batch, rows);
                for (const ReadBack& row : rows) {
                    holding += row.matched == 1 && row.holding == 1 ? 1 : 0;
                }
            });
        } catch (const EngineError& error) {
            lines_.err(outcome::said(error.what()));
        }
        if (!read) {
            lines_.err(outcome::commit_not_known());
            return 3;
        }
        if (holding == statements_) {
            lines_.err(outcome::commit_resolved(true));
            lines_.out(outcome::committed(statements_));
            return 0;
        }
        if (holding == 0) {
            lines_.err(outcome::commit_resolved(false));
            lines_.err(outcome::commit_undone());
            return 1;
        }
        lines_.err(outcome::commit_mixed(holding, statements_));
        return 3;
    }

    int stopped()
    {
        engine_.rollback();
        lines_.err(outcome::stopped(stop_.request_name()));
        return 1;
    }

    Engine& engine_;
    const Script& script_;
    std::uint64_t statements_;
    bool check_only_;
    StopState& stop_;
    const Lines& lines_;
    std::map<std::uint64_t, RunNote> notes_;
};

} // namespace

int run_checked_apply(Engine& engine, const Script& script, std::uint64_t statements, bool check_only, StopState& stop, const Lines& lines)
{
    return Apply(engine, script, statements, check_only, stop, lines).run();
}

} // namespace credbatch::apply
