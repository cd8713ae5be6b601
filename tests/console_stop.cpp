// console_stop.exe GO_FILE PROGRAM [ARGUMENT...]: runs PROGRAM on a console of its own and, once
// the file GO_FILE appears, presses Ctrl+C on that console, as an administrator at the keyboard
// would; then waits for PROGRAM and ends with its exit status. PROGRAM's standard streams are this
// program's. Status 125 when it cannot do so, PROGRAM then ended at once.
// Ctrl+Break cannot be pressed this way under wine 8, whose console answers that event with an
// error, for a process group as for the whole console.
//
// A Windows program started from a pipe (ctest, a script) has no console to send the event on, so
// one is made here; this program ignores the event itself, and only after PROGRAM has started,
// since a process that ignores Ctrl+C hands that on to the processes it starts.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// One argument as the C runtime of the started program reads it back.
std::wstring quoted(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

int fail(const char* what)
{
    std::fprintf(stderr, "console_stop: %s (error %lu)\n", what, GetLastError());
    return 125;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: console_stop GO_FILE PROGRAM [ARGUMENT...]\n");
        return 125;
    }
    std::wstring command_line;
    for (int i = 2; i < argc; ++i) {
        command_line += (i > 2 ? L" " : L"") + quoted(argv[i]);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    if (AllocConsole() == 0) {
        return fail("cannot make a console");
    }
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process) == 0) {
        return fail("cannot start the program");
    }
    SetConsoleCtrlHandler(nullptr, TRUE);

    // Polled, since the file comes from a Linux script that knows when the program is where the
    // case wants it; a program that ends first gets no event.
    while (GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES) {
        if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) {
            break;
        }
    }
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) == 0) {
        const int status = fail("cannot press Ctrl+C");
        TerminateProcess(process.hProcess, 125);
        return status;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 125;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
