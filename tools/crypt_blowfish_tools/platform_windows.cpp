// The platform seam on Windows: the wide-character API for paths, console output in UTF-16,
// BCryptGenRandom for salts, console control events for stop requests. Built with mingw-w64.

#include "platform.hpp"

// winsock2.h before windows.h, which would otherwise bring in the older winsock.h.
#include <winsock2.h>
#include <windows.h>

#include <bcrypt.h>
#include <shellapi.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

namespace credbatch::platform {

const std::string_view line_ending = "\r\n";

namespace {

// Error codes of the Windows API, shown with the system's own text, without its final period
// and line break, like a POSIX reason.
class WindowsCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "windows"; }

    // So that the rest of the tool can ask of an error what it would ask of an errno value.
    std::error_condition default_error_condition(int code) const noexcept override
    {
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return std::make_error_condition(std::errc::no_such_file_or_directory);
        }
        return {code, *this};
    }

    std::string message(int code) const override
    {
        wchar_t* text = nullptr;
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        const std::unique_ptr<wchar_t, decltype(&LocalFree)> owned(text, &LocalFree);
        if (length == 0) {
            return "Windows error " + std::to_string(code);
        }
        std::wstring_view shown(text, length);
        while (!shown.empty() && (shown.back() == L'\r' || shown.back() == L'\n' || shown.back() == L' ' || shown.back() == L'.')) {
            shown.remove_suffix(1);
        }
        return utf8_of(shown);
    }

    static std::string utf8_of(std::wstring_view wide)
    {
        if (wide.empty()) {
            return {};
        }
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
        std::string narrow(static_cast<std::size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), size, nullptr, nullptr);
        return narrow;
    }
};

const WindowsCategory windows_category;

std::error_code last_error() noexcept
{
    return {static_cast<int>(GetLastError()), windows_category};
}

HANDLE native(std::intptr_t handle) noexcept
{
    return reinterpret_cast<HANDLE>(handle);
}

HANDLE standard(DWORD which) noexcept
{
    return GetStdHandle(which);
}

bool is_console(HANDLE handle) noexcept
{
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

std::wstring wide_of(std::string_view utf8)
{
    if (utf8.empty()) {
        return {};
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
    return wide;
}

// Writes UTF-8 to a console as UTF-16, whatever its code page, in pieces that end on whole
// characters, without taking memory (the out-of-memory message comes this way).
bool write_console(HANDLE console, std::string_view utf8) noexcept
{
    std::array<wchar_t, 256> wide{};
    while (!utf8.empty()) {
        std::size_t piece = utf8.size() < wide.size() ? utf8.size() : wide.size();
        // Back off so that the piece does not end inside a UTF-8 sequence.
        while (piece < utf8.size() && piece > 0 && (static_cast<unsigned char>(utf8[piece]) & 0xC0) == 0x80) {
            --piece;
        }
        if (piece == 0) {
            piece = utf8.size() < wide.size() ? utf8.size() : wide.size();
        }
        const int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(piece), wide.data(), static_cast<int>(wide.size()));
        DWORD written = 0;
        if (count <= 0 || WriteConsoleW(console, wide.data(), static_cast<DWORD>(count), &written, nullptr) == 0) {
            return false;
        }
        utf8.remove_prefix(piece);
    }
    return true;
}

bool write_all(HANDLE handle, std::string_view bytes) noexcept
{
    while (!bytes.empty()) {
        DWORD written = 0;
        if (WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) == 0 || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// An exception that nothing handled ends the process here, at once, with its code: Windows Error
// Reporting, which would otherwise run and may keep a dump of the process, never sees it.
LONG WINAPI end_without_dump(EXCEPTION_POINTERS* exception)
{
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The progress line that Ctrl-C erases, if any; the console's control handler runs on a thread
// of its own.
std::atomic<const TerminalLine*> line_to_erase{nullptr};
DWORD console_mode_before = 0;
bool console_mode_changed = false;

BOOL WINAPI erase_then_die(DWORD /*event*/)
{
    const TerminalLine* line = line_to_erase.load();
    if (line != nullptr && line->shown.load()) {
        StandardError().write(line->erase);
    }
    return FALSE;  // the next handler, the system's, ends the process as it would have
}

void restore_console_mode()
{
    if (console_mode_changed) {
        SetConsoleMode(standard(STD_ERROR_HANDLE), console_mode_before);
    }
}

} // namespace

void harden_process() noexcept
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(end_without_dump);
}

std::error_code fill_random(std::span<unsigned char> bytes) noexcept
{
    const NTSTATUS status = BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    return status == 0 ? std::error_code{} : std::make_error_code(std::errc::io_error);
}

void wipe(void* bytes, std::size_t size) noexcept
{
    SecureZeroMemory(bytes, size);
}

void lock_in_memory(void* bytes, std::size_t size) noexcept
{
    VirtualLock(bytes, size);
}

void unlock_in_memory(void* bytes, std::size_t size) noexcept
{
    VirtualUnlock(bytes, size);
}

std::string argument(int argc, char* argv[], int index)
{
    // The narrow argv holds the arguments in the ANSI code page, which loses every character
    // outside it; the wide command line has them all.
    int count = 0;
    const std::unique_ptr<wchar_t*, decltype(&LocalFree)> wide(CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
    if (wide != nullptr && index < count) {
        return WindowsCategory::utf8_of(wide.get()[index]);
    }
    return index < argc ? argv[index] : "";
}

InputFile::~InputFile()
{
    if (handle_ != -1) {
        CloseHandle(native(handle_));
    }
}

std::error_code InputFile::open(const std::string& path)
{
    const HANDLE file = CreateFileW(wide_of(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return {};
}

IoResult InputFile::read(std::span<char> into)
{
    DWORD got = 0;
    if (ReadFile(native(handle_), into.data(), static_cast<DWORD>(into.size()), &got, nullptr) == 0) {
        // The writer of a pipe has gone: that is its end of input.
        return GetLastError() == ERROR_BROKEN_PIPE ? IoResult{} : IoResult{0, last_error()};
    }
    return {got, {}};
}

std::uint64_t InputFile::size() const noexcept
{
    LARGE_INTEGER size{};
    if (GetFileType(native(handle_)) != FILE_TYPE_DISK || GetFileSizeEx(native(handle_), &size) == 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

namespace {

bool is_same_disk_file(HANDLE input_handle, HANDLE output_handle) noexcept
{
    FILE_ID_INFO input{};
    FILE_ID_INFO output{};
    if (GetFileType(input_handle) != FILE_TYPE_DISK || GetFileType(output_handle) != FILE_TYPE_DISK ||
        GetFileInformationByHandleEx(input_handle, FileIdInfo, &input, sizeof input) == 0 ||
        GetFileInformationByHandleEx(output_handle, FileIdInfo, &output, sizeof output) == 0) {
        return false;
    }
    // A volume whose serial number is not known (0, as wine reports for a descriptor it inherited)
    // counts as the same volume: refusing a run is loud and harmless, reading one's own output is not.
    const bool same_volume = input.VolumeSerialNumber == output.VolumeSerialNumber || input.VolumeSerialNumber == 0 ||
                             output.VolumeSerialNumber == 0;
    return same_volume && std::memcmp(&input.FileId, &output.FileId, sizeof input.FileId) == 0;
}

} // namespace

bool InputFile::is_standard_output() const noexcept
{
    return is_same_disk_file(native(handle_), standard(STD_OUTPUT_HANDLE));
}

bool InputFile::is_standard_error() const noexcept
{
    return is_same_disk_file(native(handle_), standard(STD_ERROR_HANDLE));
}

bool StandardOutput::is_open() noexcept
{
    const HANDLE out = standard(STD_OUTPUT_HANDLE);
    return out != nullptr && out != INVALID_HANDLE_VALUE;
}

IoResult StandardOutput::write_some(std::string_view bytes)
{
    DWORD written = 0;
    if (WriteFile(standard(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) == 0) {
        // A write that fails may still have taken some bytes, as WriteFile's count says: they are
        // counted, so that the cut-back takes them off too.
        return {written, last_error()};
    }
    return {written, written == 0 ? std::make_error_code(std::errc::io_error) : std::error_code{}};
}

bool StandardOutput::cut_back(std::uint64_t bytes) noexcept
{
    const HANDLE out = standard(STD_OUTPUT_HANDLE);
    LARGE_INTEGER end{};
    if (GetFileType(out) != FILE_TYPE_DISK || SetFilePointerEx(out, LARGE_INTEGER{}, &end, FILE_CURRENT) == 0 ||
        static_cast<std::uint64_t>(end.QuadPart) < bytes) {
        return false;
    }
    LARGE_INTEGER cut{};
    cut.QuadPart = end.QuadPart - static_cast<LONGLONG>(bytes);
    return SetFilePointerEx(out, cut, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(out) != 0;
}

std::error_code StandardOutput::close() noexcept
{
    return CloseHandle(standard(STD_OUTPUT_HANDLE)) != 0 ? std::error_code{} : last_error();
}

std::error_code StandardError::write(std::string_view bytes) noexcept
{
    const HANDLE err = standard(STD_ERROR_HANDLE);
    const bool written = is_console(err) ? write_console(err, bytes) : write_all(err, bytes);
    return written ? std::error_code{} : last_error();
}

bool progress_line_wanted() noexcept
{
    return is_console(standard(STD_ERROR_HANDLE)) && !is_console(standard(STD_OUTPUT_HANDLE));
}

unsigned terminal_columns() noexcept
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(standard(STD_ERROR_HANDLE), &info) == 0) {
        return 0;
    }
    return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
}

std::string erase_line_text(unsigned columns)
{
    const HANDLE err = standard(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(err, &mode) != 0) {
        if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
            return "\r\x1b[K";
        }
        if (SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
            console_mode_before = mode;
            console_mode_changed = true;
            std::atexit(restore_console_mode);
            return "\r\x1b[K";
        }
    }
    // An older console: overwrite the line with blanks, short of the last column, which would wrap.
    const std::size_t blanks = columns > 1 ? columns - 1 : 0;
    return "\r" + std::string(blanks, ' ') + "\r";
}

void erase_on_termination(const TerminalLine* line) noexcept
{
    line_to_erase.store(line);
    if (line != nullptr) {
        SetConsoleCtrlHandler(erase_then_die, TRUE);
    }
}

namespace {

// The console handler has no argument to carry the watcher: it is found here while it lives.
std::atomic<StopRequests::Watcher*> current_watcher{nullptr};

// The console input whose echo a password prompt turned off, so that a stop request can turn
// it back on.
struct EchoState {
    std::mutex lock;
    HANDLE console = nullptr;
    DWORD saved = 0;
};
EchoState echo_state;

void restore_echo() noexcept
{
    const std::lock_guard<std::mutex> held(echo_state.lock);
    if (echo_state.console != nullptr) {
        SetConsoleMode(echo_state.console, echo_state.saved);
        echo_state.console = nullptr;
    }
}

const char* stop_name(DWORD event) noexcept
{
    switch (event) {
    case CTRL_C_EVENT:
        return "Ctrl+C";
    case CTRL_BREAK_EVENT:
        return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
        return "closing the console";
    default:
        return "the end of the session";
    }
}

BOOL WINAPI hand_over(DWORD event);

} // namespace

struct StopRequests::Watcher {
    std::function<void(std::string_view)> on_request;
};

namespace {

BOOL WINAPI hand_over(DWORD event)
{
    StopRequests::Watcher* watcher = current_watcher.load();
    if (watcher == nullptr) {
        return FALSE;
    }
    restore_echo();
    watcher->on_request(stop_name(event));
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process once this returns, and at the latest some seconds after the
        // event: the time is the main thread's, to cancel and roll back.
        Sleep(4000);
    }
    return TRUE;
}

} // namespace

StopRequests::StopRequests(std::function<void(std::string_view name)> on_request) : watcher_(std::make_unique<Watcher>())
{
    watcher_->on_request = std::move(on_request);
    current_watcher.store(watcher_.get());
    SetConsoleCtrlHandler(hand_over, TRUE);
}

StopRequests::~StopRequests()
{
    SetConsoleCtrlHandler(hand_over, FALSE);
    current_watcher.store(nullptr);
}

std::string read_secret_from_terminal(std::string_view prompt)
{
    const HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    const HANDLE output = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    const auto close = [](HANDLE handle) {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    };
    if (input == INVALID_HANDLE_VALUE || output == INVALID_HANDLE_VALUE) {
        close(input);
        close(output);
        return {};
    }
    std::string secret;
    {
        const std::lock_guard<std::mutex> held(echo_state.lock);
        if (GetConsoleMode(input, &echo_state.saved) == 0) {
            close(input);
            close(output);
            return {};
        }
        echo_state.console = input;
        SetConsoleMode(input, echo_state.saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    }
    write_console(output, prompt);
    std::array<wchar_t, 256> wide{};
    std::wstring typed;
    DWORD read = 0;
    while (ReadConsoleW(input, wide.data(), static_cast<DWORD>(wide.size()), &read, nullptr) != 0 && read > 0) {
        typed.append(wide.data(), read);
        if (typed.find(L'\n') != std::wstring::npos) {
            break;
        }
    }
    wipe(wide.data(), sizeof(wide));
    while (!typed.empty() && (typed.back() == L'\n' || typed.back() == L'\r')) {
        typed.pop_back();
    }
    if (!typed.empty()) {
        secret = WindowsCategory::utf8_of(typed);
    }
    wipe(typed.data(), typed.size() * sizeof(wchar_t));
    restore_echo();
    write_console(output, "\r\n");
    close(input);
    close(output);
    return secret;
}

std::error_code wait_for_socket(std::intptr_t socket, bool to_write, int timeout_milliseconds) noexcept
{
    WSAPOLLFD watched{};
    watched.fd = static_cast<SOCKET>(socket);
    watched.events = static_cast<short>(POLLRDNORM | (to_write ? POLLWRNORM : 0));
    if (WSAPoll(&watched, 1, timeout_milliseconds) == SOCKET_ERROR) {
        return {WSAGetLastError(), windows_category};
    }
    return {};
}

void exit_now(int status) noexcept
{
    ExitProcess(static_cast<UINT>(status));
}

std::string manual_of(std::string_view program)
{
    return std::string(program) + ".html";
}

OptionFilePlaces mariadb_option_file_places()
{
    // The library's own list: the system's Windows folder, the Windows folder, C:\ and the
    // program's folder, each with my.ini before my.cnf; no file in the user's profile. It asks
    // for them in the system's code page and opens them with fopen(), and so does this: a
    // program folder whose name that code page cannot hold is then missed by both alike.
    OptionFilePlaces places{{}, {"my.ini", "my.cnf"}, false};
    std::array<char, MAX_PATH> folder{};
    const auto add = [&](UINT length) {
        if (length > 0 && length < folder.size()) {
            places.folders.emplace_back(folder.data(), length);
        }
    };
    add(GetSystemWindowsDirectoryA(folder.data(), static_cast<UINT>(folder.size())));
    add(GetWindowsDirectoryA(folder.data(), static_cast<UINT>(folder.size())));
    places.folders.emplace_back("C:");
    const DWORD length = GetModuleFileNameA(nullptr, folder.data(), static_cast<DWORD>(folder.size()));
    if (length > 0 && length < folder.size()) {
        std::string_view program(folder.data(), length);
        const std::size_t separator = program.find_last_of("\\/");
        if (separator != std::string_view::npos) {
            places.folders.emplace_back(program.substr(0, separator));
        }
    }
    return places;
}

std::optional<std::string> name_for_c_library(const std::string& path)
{
    const auto in_code_page = [](const std::wstring& wide) -> std::optional<std::string> {
        BOOL lossy = FALSE;
        const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
            nullptr, &lossy);
        if (wide.empty() || size <= 0 || lossy) {
            return std::nullopt;
        }
        std::string narrow(static_cast<std::size_t>(size), '\0');
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), narrow.data(), size, nullptr,
            &lossy);
        return lossy ? std::nullopt : std::optional<std::string>(narrow);
    };
    const std::wstring wide = wide_of(path);
    if (auto narrow = in_code_page(wide)) {
        return narrow;
    }
    // The short name, where the volume keeps one, is plain ASCII.
    std::array<wchar_t, 32768> short_name{};
    const DWORD length = GetShortPathNameW(wide.c_str(), short_name.data(), static_cast<DWORD>(short_name.size()));
    if (length == 0 || length >= short_name.size()) {
        return std::nullopt;
    }
    return in_code_page(std::wstring(short_name.data(), length));
}

std::error_code write_new_private_file(const std::string& path, std::string_view contents) noexcept
{
    // A file in the user's own temporary folder, which only that user (and administrators) may
    // read; CREATE_NEW fails on any existing file, a link included.
    const HANDLE file = CreateFileW(wide_of(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
            return std::make_error_code(std::errc::file_exists);
        }
        return {static_cast<int>(error), windows_category};
    }
    std::error_code error;
    DWORD written = 0;
    if (WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) == 0 ||
        written != contents.size()) {
        error = {static_cast<int>(GetLastError()), windows_category};
    }
    if (CloseHandle(file) == 0 && !error) {
        error = {static_cast<int>(GetLastError()), windows_category};
    }
    if (error) {
        DeleteFileW(wide_of(path).c_str());
    }
    return error;
}

} // namespace credbatch::platform
