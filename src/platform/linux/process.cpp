// Process facts and the runtime library's signals, for the Linux emulation:
// error texts, "has a console", the executable's path, the message box, the
// command line, standard error, signal() and raise().
//
// Data structure: a table of Windows error codes and the errno values whose
// strerror text stands for them; the command line, built once and never freed;
// per signal number, the handler installed through signal() and the full
// sigaction of a foreign disposition it replaced; the signal-section records.
//
// Windows behaviours reproduced:
// - FormatMessageA(FROM_SYSTEM) gives the text of a code, or fails with 317
//   for a code it does not know; ALLOCATE_BUFFER hands out a LocalFree'd
//   buffer; a too small caller buffer fails with 122.
// - GetModuleFileNameA(null) truncates as Vista does: terminated, returns the
//   size, error 122.
// - GetCommandLineA: the program path (argv[0]) in double quotes, then each
//   argument after one space, quoted by the Windows rules (backslashes doubled
//   before a quote) only when it is empty or holds a space, tab or double
//   quote, so the line parses back into the same arguments. Stable for the
//   life of the process.
// - signal()/raise() with the runtime's meaning. Handlers installed here run
//   through a dispatcher that blocks every signal but the layer's thread
//   signal while the handler runs (no nesting, one handler per thread at a
//   time; SuspendThread and TerminateThread still reach the thread), marks the thread as inside a
//   handler (so CloseHandle and FormatMessageA keep to async-signal-safe
//   steps) and keeps the thread's last error and errno. A foreign disposition
//   (installed with sigaction, maybe with SA_SIGINFO) is handed out as a plain
//   pointer and put back exactly when that pointer is installed again.
//
// - Sections a signal sees whole (EnterSignalSection and the rest, declared
//   in platform.h): a per-thread record (state, deferred signals) in a
//   push-only list that is never freed, so a handler may walk it at any
//   moment; a thread's record is reused by a later thread once it has ended
//   (in a fork child, every record but the forking thread's is free).
//   Dispatch defers a signal (but not SIGSEGV, SIGILL, SIGFPE, SIGBUS) that
//   finds its thread inside a section; the section's end runs it with every
//   signal blocked, as a delivery would. StopSignalSections orders the
//   "stopped" flag against every thread's plain stores with one
//   membarrier(PRIVATE_EXPEDITED) (registered on first use; without it each
//   section pays a full fence) and then waits, bounded, for busy records.
//
// Deliberate gaps, with their reasons:
// - The texts are Linux's (strerror of the errno that matches the code) and
//   have no CR LF at the end; inside a signal handler the untranslated text
//   (strerrordesc_np) is used, since strerror may allocate for translations.
// - No window system: "has a console" means standard error is open, and the
//   console's title is then the executable's path. MessageBoxA sends its text
//   to the system log (/dev/log) with the caption as identity and returns IDOK.
// - Descriptors the layer opens never take 0, 1 or 2 (AboveStandardStreams),
//   so closing standard error really means "no console".
// - argv[0] is kept as the program was started (as cmd.exe does), not replaced
//   by the executable's full path; a double quote inside it cannot be written.
// - GetStdHandle knows standard error only; WriteFile writes only there.
// - signal() does not reproduce the Microsoft runtime's one-shot reset: a
//   handler stays installed until replaced, as with glibc's signal().
#include <fcntl.h>
#include <linux/membarrier.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "../quoting.h"
#include "objects.h"

namespace rvsys::platform::posix {

namespace {

struct ErrorText {
    DWORD code;
    int errnoValue;
};

// The codes this layer and the library produce; the first row with a given
// errno is its code for WindowsError.
constexpr ErrorText kErrorTexts[] = {
    {ERROR_SUCCESS, 0},
    {ERROR_FILE_NOT_FOUND, ENOENT},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
    {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_INVALID_HANDLE, EBADF},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_GEN_FAILURE, EIO},
    {ERROR_NOT_SUPPORTED, ENOTSUP},
    {ERROR_INVALID_PARAMETER, EINVAL},
    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_INSUFFICIENT_BUFFER, ERANGE},
    {ERROR_INVALID_NAME, EINVAL},
    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    {WAIT_TIMEOUT, ETIMEDOUT},
    {ERROR_TOO_MANY_POSTS, EOVERFLOW},
};

bool ErrnoFor(DWORD code, int& errnoValue) {
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code == code) {
            errnoValue = entry.errnoValue;
            return true;
        }
    }
    return false;
}

thread_local int tlsHandlerDepth [[gnu::tls_model("initial-exec")]] = 0;

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

// ---- Signals ---------------------------------------------------------------------

struct SignalSlot {
    std::atomic<SignalHandler> handler{nullptr};  // run by Dispatch
    std::atomic<SignalHandler> foreignHandler{nullptr};
    struct sigaction foreign {};  // written before it is installed, read after
};

SignalSlot gSignals[NSIG];

// ---- Sections a signal sees whole -------------------------------------------------

// One per thread that has entered a section, never freed: a handler may walk the
// list at any moment. A record whose thread has ended is taken by the next
// thread that needs one.
struct SectionRecord {
    SignalSectionState section{};
    std::atomic<bool> taken{false};
    SectionRecord* next = nullptr;  // written before the record is published
};
std::atomic<SectionRecord*> gSectionRecords{nullptr};

// Gives the record back when its thread ends.
struct SectionOwner {
    SectionRecord* record = nullptr;
    ~SectionOwner() {
        if (record == nullptr) return;
        tlsSignalSection = nullptr;
        record->section.deferred.store(0, std::memory_order_relaxed);
        record->taken.store(false, std::memory_order_release);
    }
};
thread_local SectionOwner tlsSectionOwner;

// A stopping thread orders the sections of every other thread with one
// membarrier; where the process cannot register for it, each section pays a
// full fence instead.
void RegisterForBarriers() {
    if (!gSignalSectionsNeedFence.load(std::memory_order_relaxed) &&
        syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) != 0) {
        gSignalSectionsNeedFence.store(true, std::memory_order_seq_cst);
    }
}

// A fork child has only the forking thread: the other threads' records, busy
// or not, would stall its first sweep.
void ReleaseOtherRecordsInChild() {
    RegisterForBarriers();  // the child's memory map may not inherit the registration
    const SignalSectionState* own = tlsSignalSection;
    for (SectionRecord* r = gSectionRecords.load(std::memory_order_acquire); r != nullptr; r = r->next) {
        if (&r->section == own) continue;
        r->section.state.store(kSectionIdle, std::memory_order_relaxed);
        r->section.deferred.store(0, std::memory_order_relaxed);
        r->taken.store(false, std::memory_order_release);
    }
}

bool IsFault(int number) { return number == SIGSEGV || number == SIGILL || number == SIGFPE || number == SIGBUS; }

void Dispatch(int number) {
    // Inside a section: handled when the section ends (RunDeferredSignals).
    if (SignalSectionState* section = tlsSignalSection;
        section != nullptr && !IsFault(number) && section->state.load(std::memory_order_relaxed) == kSectionBusy) {
        section->deferred.fetch_or(std::uint64_t{1} << number, std::memory_order_relaxed);
        return;
    }
    const int savedErrno = errno;
    const DWORD savedError = GetLastError();
    ++tlsHandlerDepth;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const SignalHandler handler = gSignals[number].handler.load(std::memory_order_acquire);
    if (handler != nullptr && handler != SIG_DFL && handler != SIG_IGN) handler(number);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    --tlsHandlerDepth;
    SetLastError(savedError);
    errno = savedErrno;
}

}  // namespace

DWORD WindowsError(int errnoValue) {
    if (errnoValue == EPERM) return ERROR_ACCESS_DENIED;
    if (errnoValue == ENFILE) return ERROR_TOO_MANY_OPEN_FILES;
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.errnoValue == errnoValue && errnoValue != 0) return entry.code;
    }
    return ERROR_GEN_FAILURE;
}

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, va_list*) {
    int errnoValue = 0;
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!ErrnoFor(messageId, errnoValue)) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    char local[256];
    const char* text = InSignalHandler() ? strerrordesc_np(errnoValue) : strerror_r(errnoValue, local, sizeof local);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::size_t length = std::strlen(text);
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        if (InSignalHandler()) {  // malloc is not async-signal-safe
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        auto* copy = static_cast<char*>(std::malloc(length + 1));
        if (copy == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(copy, text, length + 1);
        *reinterpret_cast<char**>(buffer) = copy;
        return static_cast<DWORD>(length);
    }
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

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

SignalHandler signal(int number, SignalHandler handler) {
    if (number <= 0 || number >= NSIG || number == SIGKILL || number == SIGSTOP || handler == SIG_ERR) {
        SetLastError(ERROR_INVALID_PARAMETER);
        errno = EINVAL;
        return SIG_ERR;
    }
    SignalSlot& slot = gSignals[number];
    struct sigaction current {};
    if (sigaction(number, nullptr, &current) != 0) {
        SetLastError(WindowsError(errno));
        return SIG_ERR;
    }
    SignalHandler previous;
    if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == Dispatch) {
        previous = slot.handler.load(std::memory_order_acquire);
    } else {
        // A three-argument handler travels as a plain pointer; it is only ever
        // installed again through `foreign`, with its own flags.
        previous = (current.sa_flags & SA_SIGINFO) != 0
                       ? reinterpret_cast<SignalHandler>(reinterpret_cast<void (*)()>(current.sa_sigaction))
                       : current.sa_handler;
        if (previous != SIG_DFL && previous != SIG_IGN) {
            slot.foreign = current;
            slot.foreignHandler.store(previous, std::memory_order_release);
        }
    }
    struct sigaction next {};
    if (handler == SIG_DFL || handler == SIG_IGN) {
        next.sa_handler = handler;
    } else if (handler == slot.foreignHandler.load(std::memory_order_acquire)) {
        next = slot.foreign;
    } else {
        slot.handler.store(handler, std::memory_order_release);
        next.sa_handler = Dispatch;
        next.sa_flags = SA_RESTART | SA_ONSTACK;
        sigfillset(&next.sa_mask);
        sigdelset(&next.sa_mask, ThreadSignal());  // SuspendThread and TerminateThread still reach it
    }
    if (sigaction(number, &next, nullptr) != 0) {
        SetLastError(WindowsError(errno));
        return SIG_ERR;
    }
    return previous;
}

int raise(int number) { return ::raise(number); }

__thread SignalSectionState* tlsSignalSection __attribute__((tls_model("initial-exec"))) = nullptr;
std::atomic<bool> gSignalSectionsStopped{false};
std::atomic<bool> gSignalSectionsNeedFence{false};

SignalSectionState* AdoptSignalSection() {
    static const bool registered = [] {
        RegisterForBarriers();
        pthread_atfork(nullptr, nullptr, ReleaseOtherRecordsInChild);
        return true;
    }();
    static_cast<void>(registered);
    SectionRecord* record = nullptr;
    for (SectionRecord* r = gSectionRecords.load(std::memory_order_acquire); r != nullptr; r = r->next) {
        bool expected = false;
        if (!r->taken.load(std::memory_order_relaxed) &&
            r->taken.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            record = r;
            break;
        }
    }
    if (record == nullptr) {
        record = new (std::nothrow) SectionRecord;
        if (record == nullptr) return nullptr;
        record->taken.store(true, std::memory_order_relaxed);
        SectionRecord* head = gSectionRecords.load(std::memory_order_relaxed);
        do {
            record->next = head;
        } while (!gSectionRecords.compare_exchange_weak(head, record, std::memory_order_release,
                                                        std::memory_order_relaxed));
    }
    tlsSectionOwner.record = record;  // arms the release at thread exit
    tlsSignalSection = &record->section;
    return &record->section;
}

void RunDeferredSignals() {
    SignalSectionState* section = tlsSignalSection;
    if (section == nullptr) return;
    // Run as a delivery would: every signal blocked, so that a signal raised by
    // the handler (or arriving meanwhile) is delivered once it has returned.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::uint64_t pending = section->deferred.exchange(0, std::memory_order_relaxed);
    for (int number = 1; number < 64 && pending != 0; ++number) {
        const std::uint64_t bit = std::uint64_t{1} << number;
        if ((pending & bit) == 0) continue;
        pending &= ~bit;
        Dispatch(number);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

bool StopSignalSections(DWORD milliseconds) {
    gSignalSectionsStopped.store(true, std::memory_order_seq_cst);
    if (!gSignalSectionsNeedFence.load(std::memory_order_relaxed) &&
        syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0) {
        // Unregistered after all: sections from now on fence themselves.
        gSignalSectionsNeedFence.store(true, std::memory_order_seq_cst);
    }
    const SignalSectionState* own = tlsSignalSection;
    const Deadline deadline(milliseconds);
    for (SectionRecord* r = gSectionRecords.load(std::memory_order_acquire); r != nullptr; r = r->next) {
        if (&r->section == own) continue;  // a fault inside our own section: it cannot end now
        while (r->section.state.load(std::memory_order_acquire) == kSectionBusy) {
            if (deadline.Expired()) return false;
            sched_yield();
        }
    }
    return true;
}

void ResumeSignalSections() { gSignalSectionsStopped.store(false, std::memory_order_seq_cst); }

bool InSignalHandler() { return tlsHandlerDepth > 0; }

}  // namespace rvsys::platform
