#pragma once

// Everything that differs between POSIX and Windows, and nothing more: platform_posix.cpp and
// platform_windows.cpp each implement all of it, and no other file asks which system it is on.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "byte_io.hpp"

namespace credbatch::platform {

// The system's line ending, which ends every statement and message.
extern const std::string_view line_ending;

// Run first: no core or crash dump may carry passwords to disk, no other process of the user may
// read this one's memory, and a write to a closed pipe or past the file-size limit comes back as
// an error to report rather than a signal that kills the process without a word.
void harden_process() noexcept;

// Secure random bytes from the operating system.
std::error_code fill_random(std::span<unsigned char> bytes) noexcept;

// Zeroes memory with a store that the compiler may not drop as dead.
void wipe(void* bytes, std::size_t size) noexcept;

// Keeps pages that hold secrets out of swap. Where the system's limit forbids it, nothing
// happens: the run goes on, as it would on a system without swap.
void lock_in_memory(void* bytes, std::size_t size) noexcept;
void unlock_in_memory(void* bytes, std::size_t size) noexcept;

// Command-line argument `index` as UTF-8 bytes (on POSIX, the bytes as given).
std::string argument(int argc, char* argv[], int index);

// The input file, read as bytes, whatever it holds.
class InputFile final : public ByteSource {
public:
    InputFile() = default;
    ~InputFile() override;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::error_code open(const std::string& path);
    IoResult read(std::span<char> into) override;

    std::uint64_t size() const noexcept override;

    // Whether this is the very regular file that standard output, or standard error, writes to,
    // which a run would read back as credentials for ever.
    bool is_standard_output() const noexcept;
    bool is_standard_error() const noexcept;

private:
    std::intptr_t handle_ = -1;
};

// Standard output, which carries the script.
class StandardOutput final : public OutputChannel {
public:
    // False when the descriptor is closed: the input must not be opened in its place.
    static bool is_open() noexcept;

    IoResult write_some(std::string_view bytes) override;
    bool cut_back(std::uint64_t bytes) noexcept override;

    // The last chance for a write error that the system reports late (a network file system).
    std::error_code close() noexcept;
};

// Standard error, one message per call. A failure there is ignored: there is nowhere left to say so.
class StandardError final : public ByteSink {
public:
    std::error_code write(std::string_view bytes) noexcept override;
};

// The progress line belongs on standard error only when someone watches it there and the
// script goes elsewhere.
bool progress_line_wanted() noexcept;

// The width of the terminal behind standard error, read anew at every call (it may be
// resized); 0 when it is not known.
unsigned terminal_columns() noexcept;

// What takes the cursor to the start of the terminal line and clears the line: "\r\x1b[K" where
// the terminal understands it, otherwise a carriage return, `columns` spaces, and another.
std::string erase_line_text(unsigned columns);

// A line drawn on the terminal behind standard error: what erases it, and whether it is shown.
// A terminating signal or Ctrl-C reads both from its own context, so `shown` is atomic and
// `erase` is set before the line is handed to erase_on_termination and never changed after.
struct TerminalLine {
    std::string erase;
    std::atomic<bool> shown{false};
};

// From now on, a terminating signal or Ctrl-C first erases `line` if it is shown, then ends the
// process as it would have ended anyway; null hands the line back. A signal that was ignored
// when the process started (nohup) stays ignored.
void erase_on_termination(const TerminalLine* line) noexcept;

// Requests to end the process (SIGINT, SIGTERM and SIGHUP; on Windows Ctrl+C, Ctrl+Break and
// closing the console) no longer end it while this lives: each is handed, by its name, to
// `on_request` on a thread of its own, which must decide what happens. A password prompt's
// terminal gets its echo back first. Make it before any other thread starts; a signal that was
// ignored when the process started (nohup) stays ignored.
class StopRequests {
public:
    explicit StopRequests(std::function<void(std::string_view name)> on_request);
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    struct Watcher;

private:
    std::unique_ptr<Watcher> watcher_;
};

// A line typed on the terminal with its echo off, after `prompt`; nothing when there is no
// terminal to ask. The echo comes back even when a stop request arrives during the prompt.
std::string read_secret_from_terminal(std::string_view prompt);

// Waits until `socket` can be read (or written too, with `to_write`), or `timeout` has passed.
// A wait cut short by a signal is no error.
std::error_code wait_for_socket(std::intptr_t socket, bool to_write, int timeout_milliseconds) noexcept;

// How a reader opens the manual page of `program` here: with man(1), or on Windows as the HTML
// page the zip carries beside the programs.
std::string manual_of(std::string_view program);

// Where MariaDB's client library reads its option files by default on this system, in its
// order: each of `names` in each of `folders`, then the folder that MARIADB_HOME (or MYSQL_HOME)
// names, then, when `home_file`, ~/.my.cnf. The folders are named as the library names them,
// byte for byte, so that a file it reads is never taken for one it cannot.
struct OptionFilePlaces {
    std::vector<std::string> folders;
    std::vector<std::string> names;
    bool home_file = false;
};
OptionFilePlaces mariadb_option_file_places();

// The name under which a C library that opens files with fopen() finds the file whose name
// `path` gives in UTF-8: the same bytes on POSIX; on Windows the name in the system's code page,
// or its short form where that cannot hold it; nothing when neither names it exactly.
std::optional<std::string> name_for_c_library(const std::string& path);

// Makes the file `path` with `contents`, readable by this user alone, only if no file of that
// name exists: none that another process placed there first is ever written to or read.
// std::errc::file_exists when there is one.
std::error_code write_new_private_file(const std::string& path, std::string_view contents) noexcept;

// Ends the process at once with `status`, without running destructors: for a stop request that
// comes while nothing can be committed and the main thread is blocked.
[[noreturn]] void exit_now(int status) noexcept;

} // namespace credbatch::platform
