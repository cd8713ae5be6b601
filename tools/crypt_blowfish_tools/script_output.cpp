#include "script_output.hpp"

namespace credbatch {

std::error_code ScriptOutput::write(std::string_view statement)
{
    std::uint64_t written = 0;
    while (!statement.empty()) {
        IoResult result = channel_.write_some(statement);
        if (!result.error && result.bytes == 0) {
            result.error = std::make_error_code(std::errc::io_error);  // a channel that takes nothing would loop for ever
        }
        // Bytes that went out with the error (WriteFile may count some) are part of what is cut back.
        written += result.bytes;
        if (result.error) {
            if (written > 0 && !channel_.cut_back(written)) {
                ends_in_partial_statement_ = true;
            }
            return result.error;
        }
        statement.remove_prefix(result.bytes);
    }
    return {};
}

} // namespace credbatch
