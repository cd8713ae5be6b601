// The platform seam on Linux (prctl is Linux's own; the rest is POSIX).

#include "platform.hpp"

#include <array>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace credbatch::platform {

const std::string_view line_ending = "\n";

namespace {

std::error_code last_error() noexcept
{
    return {errno, std::generic_category()};
}

int descriptor(std::intptr_t handle) noexcept
{
    return static_cast<int>(handle);
}

// The progress line that a terminating signal erases, if any.
std::atomic<const TerminalLine*> line_to_erase{nullptr};
static_assert(std::atomic<const TerminalLine*>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "a signal handler may only read lock-free atomics");

extern "C" void erase_then_die(int signal)
{
    const TerminalLine* line = line_to_erase.load();
    if (line != nullptr && line->shown.load()) {
        const ssize_t ignored = ::write(STDERR_FILENO, line->erase.data(), line->erase.size());
        static_cast<void>(ignored);
    }
    // SA_RESETHAND has put back the default action; once this handler returns, the signal
    // raised again ends the process with the status it would have had.
    std::raise(signal);
}

} // namespace

void harden_process() noexcept
{
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

std::error_code fill_random(std::span<unsigned char> bytes) noexcept
{
    // getentropy hands out at most 256 bytes a call.
    while (!bytes.empty()) {
        const std::size_t chunk = bytes.size() < 256 ? bytes.size() : 256;
        if (::getentropy(bytes.data(), chunk) != 0) {
            return last_error();
        }
        bytes = bytes.subspan(chunk);
    }
    return {};
}

void wipe(void* bytes, std::size_t size) noexcept
{
    ::explicit_bzero(bytes, size);
}

void lock_in_memory(void* bytes, std::size_t size) noexcept
{
    ::mlock(bytes, size);
}

void unlock_in_memory(void* bytes, std::size_t size) noexcept
{
    ::munlock(bytes, size);
}

std::string argument(int argc, char* argv[], int index)
{
    return index < argc ? argv[index] : "";
}

InputFile::~InputFile()
{
    if (handle_ >= 0) {
        ::close(descriptor(handle_));
    }
}

std::error_code InputFile::open(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return last_error();
    }
    handle_ = fd;
    return {};
}

IoResult InputFile::read(std::span<char> into)
{
    for (;;) {
        const ssize_t got = ::read(descriptor(handle_), into.data(), into.size());
        if (got >= 0) {
            return {static_cast<std::size_t>(got), {}};
        }
        if (errno != EINTR) {
            return {0, last_error()};
        }
    }
}

std::uint64_t InputFile::size() const noexcept
{
    struct stat status {};
    if (::fstat(descriptor(handle_), &status) != 0 || !S_ISREG(status.st_mode)) {
        return 0;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

namespace {

bool is_same_regular_file(int input_fd, int output_fd) noexcept
{
    struct stat input {};
    struct stat output {};
    return ::fstat(input_fd, &input) == 0 && ::fstat(output_fd, &output) == 0 && S_ISREG(input.st_mode) &&
           input.st_dev == output.st_dev && input.st_ino == output.st_ino;
}

} // namespace

bool InputFile::is_standard_output() const noexcept
{
    return is_same_regular_file(descriptor(handle_), STDOUT_FILENO);
}

bool InputFile::is_standard_error() const noexcept
{
    return is_same_regular_file(descriptor(handle_), STDERR_FILENO);
}

bool StandardOutput::is_open() noexcept
{
    return ::fcntl(STDOUT_FILENO, F_GETFD) != -1 || errno != EBADF;
}

IoResult StandardOutput::write_some(std::string_view bytes)
{
    for (;;) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (written > 0) {
            return {static_cast<std::size_t>(written), {}};
        }
        if (written == 0) {
            return {0, std::make_error_code(std::errc::io_error)};
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Someone left the descriptor non-blocking: wait until it takes bytes again.
            pollfd ready{STDOUT_FILENO, POLLOUT, 0};
            ::poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            return {0, last_error()};
        }
    }
}

bool StandardOutput::cut_back(std::uint64_t bytes) noexcept
{
    // With >> the position is the end of what was just appended, so this works for both.
    const off_t end = ::lseek(STDOUT_FILENO, 0, SEEK_CUR);
    if (end < 0 || static_cast<std::uint64_t>(end) < bytes) {
        return false;
    }
    const off_t cut = end - static_cast<off_t>(bytes);
    if (::ftruncate(STDOUT_FILENO, cut) != 0) {
        return false;
    }
    // Back to the new end, so that a message sharing the file (2>&1) follows the script
    // rather than leaving a hole of zero bytes.
    ::lseek(STDOUT_FILENO, cut, SEEK_SET);
    return true;
}

std::error_code StandardOutput::close() noexcept
{
    if (::close(STDOUT_FILENO) != 0 && errno != EINTR) {
        return last_error();
    }
    return {};
}

std::error_code StandardError::write(std::string_view bytes) noexcept
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? last_error() : std::make_error_code(std::errc::io_error);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

bool progress_line_wanted() noexcept
{
    return ::isatty(STDERR_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 0;
}

unsigned terminal_columns() noexcept
{
    winsize size {};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

std::string erase_line_text(unsigned /*columns*/)
{
    return "\r\x1b[K";
}

void erase_on_termination(const TerminalLine* line) noexcept
{
    line_to_erase.store(line);
    if (line == nullptr) {
        return;
    }
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        struct sigaction previous {};
        action.sa_handler = erase_then_die;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            ::sigaction(signal, &action, nullptr);
        }
    }
}

namespace {

// The terminal whose echo a password prompt turned off, so that a stop request can turn it back
// on: the prompt and the watcher thread share it, under the lock.
struct EchoState {
    std::mutex lock;
    int descriptor = -1;
    termios saved{};
};
EchoState echo_state;

void restore_echo() noexcept
{
    const std::lock_guard<std::mutex> held(echo_state.lock);
    if (echo_state.descriptor >= 0) {
        ::tcsetattr(echo_state.descriptor, TCSAFLUSH, &echo_state.saved);
        const ssize_t ignored = ::write(echo_state.descriptor, "\n", 1);
        static_cast<void>(ignored);
        echo_state.descriptor = -1;
    }
}

const char* stop_name(int signal) noexcept
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}

bool ignored_at_start(int signal) noexcept
{
    struct sigaction current {};
    return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// Wakes the watcher when it is no longer wanted; one from outside is passed over.
constexpr int wake_signal = SIGUSR2;

} // namespace

struct StopRequests::Watcher {
    sigset_t watched{};
    std::atomic<bool> ending{false};
    std::function<void(std::string_view)> on_request;
    std::thread thread;

    void watch()
    {
        for (;;) {
            int signal = 0;
            if (::sigwait(&watched, &signal) != 0) {
                continue;
            }
            if (signal == wake_signal) {
                if (ending.load()) {
                    return;
                }
                continue;
            }
            restore_echo();
            on_request(stop_name(signal));
        }
    }
};

StopRequests::StopRequests(std::function<void(std::string_view name)> on_request) : watcher_(std::make_unique<Watcher>())
{
    watcher_->on_request = std::move(on_request);
    sigemptyset(&watcher_->watched);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (!ignored_at_start(signal)) {
            sigaddset(&watcher_->watched, signal);
        }
    }
    sigaddset(&watcher_->watched, wake_signal);
    // Blocked here, in the main thread, before any other starts: every thread made after
    // inherits the mask, so only the watcher's sigwait ever takes these signals.
    ::pthread_sigmask(SIG_BLOCK, &watcher_->watched, nullptr);
    watcher_->thread = std::thread([watcher = watcher_.get()] { watcher->watch(); });
}

StopRequests::~StopRequests()
{
    watcher_->ending.store(true);
    ::pthread_kill(watcher_->thread.native_handle(), wake_signal);
    watcher_->thread.join();
}

std::string read_secret_from_terminal(std::string_view prompt)
{
    const int terminal = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (terminal < 0) {
        return {};
    }
    std::string secret;
    termios quiet{};
    {
        const std::lock_guard<std::mutex> held(echo_state.lock);
        if (::tcgetattr(terminal, &echo_state.saved) != 0) {
            ::close(terminal);
            return {};
        }
        quiet = echo_state.saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        echo_state.descriptor = terminal;
        ::tcsetattr(terminal, TCSAFLUSH, &quiet);
    }
    const ssize_t shown = ::write(terminal, prompt.data(), prompt.size());
    static_cast<void>(shown);
    char byte = 0;
    while (::read(terminal, &byte, 1) == 1 && byte != '\n') {
        secret.push_back(byte);
    }
    wipe(&byte, 1);
    {
        const std::lock_guard<std::mutex> held(echo_state.lock);
        if (echo_state.descriptor >= 0) {
            ::tcsetattr(terminal, TCSAFLUSH, &echo_state.saved);
            echo_state.descriptor = -1;
        }
    }
    ::close(terminal);
    return secret;
}

std::error_code wait_for_socket(std::intptr_t socket, bool to_write, int timeout_milliseconds) noexcept
{
    pollfd watched{};
    watched.fd = descriptor(socket);
    watched.events = static_cast<short>(POLLIN | (to_write ? POLLOUT : 0));
    if (::poll(&watched, 1, timeout_milliseconds) < 0 && errno != EINTR) {
        return last_error();
    }
    return {};
}

void exit_now(int status) noexcept
{
    ::_exit(status);
}

std::string manual_of(std::string_view program)
{
    return "man " + std::string(program);
}

OptionFilePlaces mariadb_option_file_places()
{
    return {{"/etc", "/etc/mysql"}, {"my.cnf"}, true};
}

std::optional<std::string> name_for_c_library(const std::string& path)
{
    return path;
}

std::error_code write_new_private_file(const std::string& path, std::string_view contents) noexcept
{
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) {
        return {errno, std::generic_category()};
    }
    std::error_code error;
    while (!contents.empty() && !error) {
        const ssize_t written = ::write(descriptor, contents.data(), contents.size());
        if (written > 0) {
            contents.remove_prefix(static_cast<std::size_t>(written));
        } else if (errno != EINTR) {
            error = {errno, std::generic_category()};
        }
    }
    if (::close(descriptor) != 0 && !error) {
        error = {errno, std::generic_category()};
    }
    if (error) {
        ::unlink(path.c_str());
    }
    return error;
}

} // namespace credbatch::platform
