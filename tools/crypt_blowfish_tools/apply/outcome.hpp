#pragma once

// Every line the checked apply prints, in one place: the same words on every engine, which
// administrators and scripts read.

#include <cstdint>
#include <string>
#include <string_view>

#include "engine.hpp"

namespace credbatch::apply::outcome {

// The last lines, which say what happened.
std::string committed(std::uint64_t statements);
std::string checked_only(std::uint64_t statements);
std::string mismatches(std::uint64_t offending, std::uint64_t statements);
std::string others_changed(std::int64_t others, std::uint64_t statements);
std::string statement_failed(std::uint64_t line);
std::string not_a_statement(std::uint64_t line);
std::string empty_script();
std::string script_changed();
std::string refused(std::string_view reason);
std::string not_connected();
std::string stopped(std::string_view request);
std::string commit_failed();
std::string commit_not_known();
std::string commit_resolved(bool every_row);
std::string commit_mixed(std::uint64_t holding, std::uint64_t statements);
std::string commit_undone();
std::string session_ended();

// "statement N, user 'NAME': WHAT", the name as the script writes it, made safe to show.
std::string about_statement(const Statement& statement, std::string_view what);
std::string failed(std::string_view server_message);

// Why a statement did not change exactly one row to its new hash; empty when it did. `count`
// is the engine's count for the statement, `held` whether its row held the hash before.
std::string reason(std::int64_t count, bool held, const ReadBack& row);

// "credbatch-apply: TEXT", for what is not an outcome: a refused argument, a connection error.
std::string said(std::string_view text);

} // namespace credbatch::apply::outcome
