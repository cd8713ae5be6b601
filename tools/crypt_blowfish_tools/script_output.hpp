#pragma once

#include <string_view>
#include <system_error>

#include "byte_io.hpp"

namespace credbatch {

// The script, one whole statement per write. A statement cut short by a full disk or a file-size
// limit may still be valid SQL (one without its WHERE clause updates every row), so when a write
// fails part-way, what went out of that statement is cut back off a file, and the script ends
// at the last whole statement. A pipe takes each statement in one system call, whole or not at
// all, since a statement is far below the size a pipe writes atomically.
class ScriptOutput final : public ByteSink {
public:
    explicit ScriptOutput(OutputChannel& channel) : channel_(channel) {}

    std::error_code write(std::string_view statement) override;

    // Whether a failed write left part of its statement behind because it could not be cut back
    // (an append-only file, a pipe or terminal that took part of it): then the script's last line
    // is cut, and must be removed before the script is applied.
    bool ends_in_partial_statement() const noexcept { return ends_in_partial_statement_; }

private:
    OutputChannel& channel_;
    bool ends_in_partial_statement_ = false;
};

} // namespace credbatch
