// The Windows side of the test support: CreateProcess for helper processes, and the
// runtime's signals.
#include "platform/platform.h"  // <windows.h>, trimmed as the library takes it
#include "platform/quoting.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "test_support.h"

namespace rvsys::test {

void PrepareProcess() {
    // A console is titled after the program on Windows, but left untitled by
    // Wine; code that asks for the title must see a console either way. (Wine
    // gives a process no console at all when none of its standard handles is a
    // terminal: then error reports go to message boxes, as without a console.)
    char title[8];
    if (GetConsoleTitleA(title, sizeof title) == 0) SetConsoleTitleA("rvsys test helper");
}

long KernelThreadId() { return static_cast<long>(GetCurrentThreadId()); }

// Windows reports thread states only through NtQuerySystemInformation, which
// Wine leaves empty: a moment's pause has to do.
bool WaitUntilBlocked(long, Ms) {
    std::this_thread::sleep_for(Ms(50));
    return true;
}

bool IsWine() {
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

int RunHelper(const std::string& name, std::string* output, const std::vector<std::string>& arguments,
              const std::string& programName) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return -1;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    // The program name is always quoted, as the Linux layer writes it.
    std::string line = "\"" + programName + "\" --rvsys-helper=" + name;
    for (const std::string& argument : arguments) line += " " + rvsys::platform::QuotedArgument(argument);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    char title[] = "rvsys test helper";
    startup.lpTitle = title;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    char path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(std::string(path, length).c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);  // the child holds the only write end now
    if (!started) {
        CloseHandle(readEnd);
        return -1;
    }
    CloseHandle(process.hThread);
    // Read until the child has ended, not until the pipe's end: processes that
    // Wine starts on the child's behalf (explorer.exe for a window) inherit the
    // pipe and may outlive it.
    std::string captured;
    for (bool ended = false; !ended;) {
        ended = WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0;
        DWORD available = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr)) break;
            captured.append(buffer, got);
        }
    }
    CloseHandle(readEnd);
    if (output != nullptr) *output = captured;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }

void SetEnvironment(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

void WriteOut(std::string_view text) {
    DWORD written = 0;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written != text.size()) {
        ExitProcess(5);
    }
}

void LoseConsole() { FreeConsole(); }

static std::mutex gBoxLogLock;
static std::string gBoxLog;

static BOOL CALLBACK CloseIfMessageBox(HWND window, LPARAM) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char className[16] = {};
    GetClassNameA(window, className, sizeof className);
    // Visible only once its controls are made.
    if (process != GetCurrentProcessId() || std::strcmp(className, "#32770") != 0 || !IsWindowVisible(window)) {
        return TRUE;
    }
    char caption[512] = {};
    char text[2048] = {};
    GetWindowTextA(window, caption, sizeof caption);
    GetDlgItemTextA(window, 0xFFFF, text, sizeof text);  // the message box's text control
    {
        std::lock_guard<std::mutex> guard(gBoxLogLock);
        gBoxLog += "[" + std::string(caption) + "] " + text + "\n";
    }
    SendMessageA(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

void CloseMessageBoxes() {
    std::thread([] {
        for (;;) {
            EnumWindows(CloseIfMessageBox, 0);
            Sleep(10);
        }
    }).detach();
}

std::string ClosedMessageBoxes() {
    std::lock_guard<std::mutex> guard(gBoxLogLock);
    return gBoxLog;
}

void RaiseInProcess(int signal) { std::raise(signal); }

int SignalExitStatus(int) { return 3; }

}  // namespace rvsys::test
