#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <system_error>

#include "engine.hpp"

namespace credbatch::apply {

// A pass over the script, a batch of statements at a time, so that memory stays flat however
// long the script is. Each pass reads the file again; the first one also checks every line.
class Script {
public:
    explicit Script(std::string path) : path_(std::move(path)) {}

    enum class Verdict { statements, empty, not_a_statement, unreadable };
    struct Check {
        Verdict verdict = Verdict::statements;
        std::uint64_t statements = 0;
        std::uint64_t bad_line = 0;
        std::error_code error;
    };

    // Reads every line: each must be a statement as credbatch writes it, ending in LF or CR LF
    // (the last one may have no ending). Remembers what it read, so that later passes can
    // tell a script that changed in between.
    Check check();

    // Hands the statements to `each`, `batch_size` at a time; false when the file no longer
    // reads as it did in check().
    bool for_each_batch(std::size_t batch_size, const std::function<void(std::span<const Statement>)>& each) const;

private:
    // Every line of the file, without its line ending, with its number; false when reading
    // failed or a line was too long to be a statement.
    bool for_each_line(const std::function<bool(std::uint64_t number, const std::string& line)>& each, std::error_code& error) const;

    std::string path_;
    std::uint64_t statements_ = 0;
    std::uint64_t fingerprint_ = 0;
};

} // namespace credbatch::apply
