// Process facts for the Linux emulation: "has a console", the executable's
// path, the message box, the command line and standard error.
//
// Data structure: the command line, built once and never freed.
//
// Windows behaviours reproduced:
// - GetModuleFileNameA(null) truncates as Vista does: terminated, returns the
//   size, error 122.
// - GetCommandLineA: the program path (argv[0]) in double quotes, then each
//   argument after one space, quoted by the Windows rules (backslashes doubled
//   before a quote) only when it is empty or holds a space, tab or double
//   quote, so the line parses back into the same arguments. Stable for the
//   life of the process.
//
// Deliberate gaps, with their reasons:
// - No window system: "has a console" means standard error is open, and the
//   console's title is then the executable's path. MessageBoxA sends its text
//   to the system log (/dev/log) with the caption as identity and returns IDOK.
// - Descriptors the layer opens never take 0, 1 or 2 (AboveStandardStreams),
//   so closing standard error really means "no console".
// - argv[0] is kept as the program was started (as cmd.exe does), not replaced
//   by the executable's full path; a double quote inside it cannot be written.
// - GetStdHandle knows standard error only; WriteFile writes only there.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "../quoting.h"
#include "errors.h"
#include "sys.h"

namespace rvsys::platform::posix {

namespace {

// The path of the executable, not terminated; its length, or -1.
ssize_t ExecutablePath(char* buffer, std::size_t size) { return readlink("/proc/self/exe", buffer, size); }

char* BuildCommandLine() {
    static char empty[] = "";
    try {
        std::string raw;
        const int fd = AboveStandardStreams(open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC));
        if (fd >= 0) {
            char chunk[4096];
            ssize_t got;
            while ((got = read(fd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
                if (got > 0) raw.append(chunk, static_cast<std::size_t>(got));
            }
            close(fd);
        }
        std::string line;
        std::size_t start = 0;
        for (int index = 0; start < raw.size(); ++index) {
            std::size_t end = raw.find('\0', start);
            if (end == std::string::npos) end = raw.size();
            const std::string argument = raw.substr(start, end - start);
            if (index == 0) {
                line.append(1, '"').append(argument).append(1, '"');
            } else {
                line.append(1, ' ').append(QuotedArgument(argument));
            }
            start = end + 1;
        }
        if (line.empty()) line = "\"\"";
        auto* copy = static_cast<char*>(std::malloc(line.size() + 1));
        if (copy == nullptr) return empty;
        std::memcpy(copy, line.c_str(), line.size() + 1);
        return copy;  // kept for the life of the process, as Windows' line is
    } catch (const std::bad_alloc&) {
        return empty;
    }
}

const HANDLE kStandardError = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-12));
const HANDLE kInvalidHandleValue = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

}  // namespace

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

DWORD GetConsoleTitleA(LPSTR title, DWORD size) {
    if (fcntl(STDERR_FILENO, F_GETFD) == -1) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (title == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char path[4096];
    ssize_t length = ExecutablePath(path, sizeof path);
    if (length <= 0) {
        std::memcpy(path, "console", 7);  // NOLINT(bugprone-not-null-terminated-result): used by length
        length = 7;
    }
    const DWORD kept = static_cast<DWORD>(length) < size ? static_cast<DWORD>(length) : size - 1;
    std::memcpy(title, path, kept);
    title[kept] = '\0';
    return kept;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    if (module != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);  // the library asks for the executable only
        return 0;
    }
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char path[4096];
    const ssize_t length = ExecutablePath(path, sizeof path);
    if (length < 0) {
        SetLastError(WindowsError(errno));
        return 0;
    }
    if (static_cast<std::size_t>(length) >= size) {
        std::memcpy(fileName, path, size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(fileName, path, static_cast<std::size_t>(length));
    fileName[length] = '\0';
    return static_cast<DWORD>(length);
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    // Sent to the log's socket ourselves rather than through syslog(3), whose
    // socket would land on descriptor 2 when standard error is closed and pass
    // for a console; this also leaves the host's own openlog settings alone.
    const int fd = AboveStandardStreams(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd < 0) return IDOK;
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr) std::strftime(stamp, sizeof stamp, "%b %e %T", &local);
    char head[64];
    std::snprintf(head, sizeof head, "<%d>%s ", LOG_USER | LOG_ERR, stamp);
    char pid[24];
    std::snprintf(pid, sizeof pid, "[%d]: ", static_cast<int>(getpid()));
    try {
        const std::string entry =
            std::string(head) + (caption != nullptr ? caption : "Error") + pid + (text != nullptr ? text : "");
        sockaddr_un log{};
        log.sun_family = AF_UNIX;
        std::memcpy(log.sun_path, "/dev/log", sizeof "/dev/log");
        sendto(fd, entry.data(), entry.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&log), sizeof log);
    } catch (const std::bad_alloc&) {
        // Out of memory: the entry is lost, as a full log would lose it.
    }
    close(fd);
    return IDOK;
}

LPSTR GetCommandLineA() {
    static char* const line = BuildCommandLine();
    return line;
}

HANDLE GetStdHandle(DWORD which) {
    if (which == STD_ERROR_HANDLE) return kStandardError;
    SetLastError(ERROR_INVALID_HANDLE);
    return kInvalidHandleValue;
}

BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, void*) {
    if (file != kStandardError) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const auto* bytes = static_cast<const char*>(data);
    DWORD done = 0;
    while (done < size) {
        const ssize_t got = write(STDERR_FILENO, bytes + done, size - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            SetLastError(WindowsError(errno));
            if (written != nullptr) *written = done;
            return FALSE;
        }
        done += static_cast<DWORD>(got);
    }
    if (written != nullptr) *written = done;
    return TRUE;
}

}  // namespace rvsys::platform
