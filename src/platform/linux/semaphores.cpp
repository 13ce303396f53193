// Named semaphores of the Linux emulation, shared between processes.
//
// Data structure: one 4 KiB tmpfs file per name in /dev/shm, mapped by every
// handle. The page holds a header (magic, version, object type, maximum, the
// full name), the count (a 32-bit atomic that is also the futex word) and a
// waiter count (only a hint for the releaser). Each handle's SemObj has its own
// open file description holding a shared flock while the handle is open.
//
// Lifetime as on Windows, tracked by the kernel's flock bookkeeping instead of
// a table of pids:
// - "no handle left anywhere" is exactly "LOCK_EX|LOCK_NB succeeds", and the
//   kernel drops the locks of a process that dies, SIGKILL included;
// - the last closer (its exclusive probe succeeds) unlinks the name; a process
//   that finds a file nobody holds (its last holders died) removes it and
//   treats the name as absent, so a later create starts fresh;
// - a new object is built unnamed (O_TMPFILE), filled in, share-locked and only
//   then published with linkat, so a name never shows a half-built object or
//   one without a holder; a lost linkat race (EEXIST) opens the winner's;
// - an opener that waited for its shared lock re-checks st_nlink: zero means
//   the object died meanwhile, and it starts again.
// Handles are O_CLOEXEC. A fork child shares its parent's open file
// descriptions and so their locks: only the process that opened a handle may
// probe and unlink through it; a child's close just closes its descriptor.
//
// Names: fewer than 260 characters (206 otherwise); a leading "Local\" names
// the same object as the bare name, "Global\" the global namespace; any other
// backslash gives 3; an empty name after a prefix 123; case-sensitive. File
// name "w32sem.<uid>.n.<name>" ("w32sem.global.n." for global names) with bytes
// outside [A-Za-z0-9._-] written %XX, or "w32sem.<uid>.h.<hash>" when longer
// than 255 bytes. The full name is stored in the page; a different one there
// (a hash collision) or another object type gives 6. The hash is 2 x FNV-1a-64:
// files are 0600 and per uid, so only the same user could forge a collision,
// and that user can open the object anyway. A file not owned by the effective
// user, not a regular file, or with any group or other permission bit is
// refused with 5 before it is probed or mapped (another user could have
// planted it with a forged count or a lock of theirs).
//
// Counting: a release is a compare-and-swap loop that fails with 298, changing
// nothing, when the maximum would be passed, then a shared FUTEX_WAKE if the
// waiter hint is set; a wait takes a unit with a compare-and-swap and otherwise
// counts itself in the hint and sleeps with futex_waitv on both the shared
// count and its own thread's wake word, so queued calls and TerminateThread
// reach it too (a terminated waiter uncounts itself and takes no unit;
// alertable waits run queued calls). All accesses to count and hint are sequentially consistent: a
// waiter counts itself before re-testing the count, a releaser changes the
// count before reading the hint. A wait made inside a signal section
// (platform.h) leaves the section while it sleeps, takes nothing while a
// handler stops sections, and fails with 6 once every handle of its object is
// closed (a swept caller could not give the unit back).
//
// Memory: a SemObj keeps the address of its page for good. When its last
// reference goes, the file is replaced by an anonymous zero page at the same
// address instead of being unmapped, so a release or wait racing with a close
// of the same handle (a caller error) touches harmless memory, never an
// unmapped address. That also lets ReleaseSemaphore and the fast path of a wait
// resolve the handle with plain loads (async-signal-safe), through a one-entry
// cache per thread of the last semaphore handle, checked again with one load
// of its slot's word. The cache also keeps the page, so the hot Lock/Unlock
// pair goes from handle to shared count with one compare and that check. Only
// code outside signal handlers fills it, publishing the handle last, so a
// handler that interrupts a fill finds no match.
//
// Signal handlers: ReleaseSemaphore is an atomic and a futex wake. CloseHandle
// inside a handler (handles.cpp) closes the slot without a lock and, for a last
// reference, does the file part here (exclusive probe, unlink, close: single
// system calls with no user-space state); replacing the mapping and recycling
// the SemObj wait for the next handle opened outside a handler, or for the
// kernel at process death.
//
// Deliberate gaps: no security attributes or access masks (SEMAPHORE_ALL_ACCESS
// is implied); objects are 0600, so Global names are not shared between users;
// waiters are woken in no particular order (Windows promises none either); a
// waiter killed at the very moment a release wakes it can take that wake-up
// with it, leaving a free unit until the next release or time-out; units taken
// by a process that dies stay taken (as on Windows).
//
// Testing: SetSemaphoreRaceDelay installs a function called at the points where
// the races of this design interleave (after open, before the shared lock,
// before linkat, before a last closer's unlink, inside release); the tests make
// it sleep at random there. Without such delays some of these races never
// showed on a 2-CPU machine.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "errors.h"
#include "handles.h"
#include "semaphores.h"
#include "threads.h"

namespace rvsys::platform::posix {

namespace {

constexpr std::uint32_t kMagic = 0x6D657353;  // "Sem" and m
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kTypeSemaphore = 1;
constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kMaxNameLength = 259;
constexpr int kMaxAttempts = 1000;  // lost races in a row before giving up with 31

}  // namespace

struct SharedSemaphore {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t type;
    std::int32_t maximum;
    std::atomic<std::uint32_t> count;    // the futex word
    std::atomic<std::uint32_t> waiters;  // a hint: killed waiters leave it too high
    std::uint32_t global;
    std::uint32_t nameLength;
    char name[kMaxNameLength + 1];
};
static_assert(sizeof(SharedSemaphore) <= kPageSize);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

namespace {

std::atomic<void (*)()> gRaceDelay{nullptr};

inline void RaceDelay() {
    if (void (*delay)() = gRaceDelay.load(std::memory_order_relaxed)) delay();
}

void SharedWake(const std::atomic<std::uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(word), FUTEX_WAKE, count, nullptr, nullptr, 0);
}

// Sleeps until the shared count may have changed from 0, the thread's wake
// word from `wake`, or the deadline passes.
void SleepOnCountAndWake(const std::atomic<std::uint32_t>* count, const std::atomic<std::uint32_t>* wakeWord,
                         std::uint32_t wake, const Deadline& deadline) {
    static std::atomic<bool> noWaitv{false};
    if (!noWaitv.load(std::memory_order_relaxed)) {
        futex_waitv waiters[2] = {};
        waiters[0].val = 0;
        waiters[0].uaddr = reinterpret_cast<std::uintptr_t>(count);
        waiters[0].flags = FUTEX_32;
        waiters[1].val = wake;
        waiters[1].uaddr = reinterpret_cast<std::uintptr_t>(wakeWord);
        waiters[1].flags = FUTEX_32 | FUTEX_PRIVATE_FLAG;
        if (syscall(SYS_futex_waitv, waiters, 2, 0, deadline.Abs(), CLOCK_MONOTONIC) == 0 || errno != ENOSYS) return;
        noWaitv.store(true, std::memory_order_relaxed);
    }
    // Kernels before 5.16: sleep on the count alone and look at the wake word
    // every 10 ms.
    Deadline slice(10);
    const timespec* until =
        deadline.Infinite() || NotBefore(*deadline.Abs(), *slice.Abs()) ? slice.Abs() : deadline.Abs();
    syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(count), FUTEX_WAIT_BITSET, 0, until, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

// A section's wait is about to sleep with nothing taken: a signal may run now,
// deferred ones included.
void LiftSection(SignalSectionState* section) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    section->state.store(kSectionSleeping, std::memory_order_release);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (section->deferred.load(std::memory_order_relaxed) != 0) RunDeferredSignals();
}

// Back in the section before the next attempt to take; while a clean-up stops
// sections, sleeps in steps of 1 ms instead (the count may be free already).
void RestoreSection(SignalSectionState* section) {
    while (!MarkSectionBusy(section)) {
        LiftSection(section);
        const timespec step{0, 1000000};
        nanosleep(&step, nullptr);
    }
}

bool TryTake(SharedSemaphore* shared) {
    std::uint32_t count = shared->count.load(std::memory_order_seq_cst);
    while (count != 0) {
        if (shared->count.compare_exchange_weak(count, count - 1, std::memory_order_seq_cst)) return true;
    }
    return false;
}

// The last semaphore handle the thread resolved, valid while its slot's word
// still holds `value`. A signal handler only reads it: it could interrupt an
// update half way, which is why `handle` is cleared first and set last.
struct ResolvedSemaphore {
    HANDLE handle;
    SemObj* object;
    SharedSemaphore* page;  // object->page, fixed for the object's life
    const std::atomic<std::uint64_t>* word;
    std::uint64_t value;
};
thread_local ResolvedSemaphore tlsResolved [[gnu::tls_model("initial-exec")]] = {};

// The cached entry if it is `handle`'s and the handle is still open; null
// otherwise. A set handle implies a complete entry.
[[gnu::always_inline]] inline const ResolvedSemaphore* CachedEntry(HANDLE handle) {
    if (handle == nullptr || handle != tlsResolved.handle) return nullptr;
    if (tlsResolved.word->load(std::memory_order_acquire) != tlsResolved.value) return nullptr;  // closed since
    return &tlsResolved;
}

// ---- Names ---------------------------------------------------------------------

struct ParsedName {
    const char* rest = nullptr;  // the name without its namespace prefix
    std::size_t length = 0;
    bool global = false;
};

DWORD ParseName(const char* name, ParsedName& parsed) {
    const std::size_t length = strnlen(name, kMaxNameLength + 1);
    if (length > kMaxNameLength) return ERROR_FILENAME_EXCED_RANGE;
    parsed.rest = name;
    if (std::strncmp(name, "Local\\", 6) == 0) {
        parsed.rest += 6;
    } else if (std::strncmp(name, "Global\\", 7) == 0) {
        parsed.rest += 7;
        parsed.global = true;
    }
    parsed.length = length - static_cast<std::size_t>(parsed.rest - name);
    if (parsed.length == 0) return ERROR_INVALID_NAME;
    if (std::memchr(parsed.rest, '\\', parsed.length) != nullptr) return ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

std::uint64_t Fnv1a64(const char* data, std::size_t length, std::uint64_t hash) {
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= 0x100000001B3ull;
    }
    return hash;
}

bool KeptAsIs(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

// The file's path for a parsed name; every form fits SemObj::path.
void PathFor(const ParsedName& name, char (&path)[sizeof(SemObj::path)]) {
    char space[32];
    if (name.global) {
        std::snprintf(space, sizeof space, "global");
    } else {
        std::snprintf(space, sizeof space, "%u", static_cast<unsigned>(getuid()));
    }
    int used = std::snprintf(path, sizeof path, "/dev/shm/w32sem.%s.n.", space);
    const int fileStart = static_cast<int>(std::strlen("/dev/shm/"));
    static const char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < name.length && used - fileStart <= 255; ++i) {
        const auto c = static_cast<unsigned char>(name.rest[i]);
        if (KeptAsIs(c)) {
            path[used++] = static_cast<char>(c);
        } else {
            path[used++] = '%';
            path[used++] = kHex[c >> 4];
            path[used++] = kHex[c & 15];
        }
    }
    if (used - fileStart <= 255) {
        path[used] = '\0';
        return;
    }
    // Too long for one file name: the hash, with the full name kept in the page.
    std::snprintf(path, sizeof path, "/dev/shm/w32sem.%s.h.%016llx%016llx", space,
                  static_cast<unsigned long long>(Fnv1a64(name.rest, name.length, 0xCBF29CE484222325ull)),
                  static_cast<unsigned long long>(Fnv1a64(name.rest, name.length, 0x84222325CBF29CE4ull)));
}

// ---- Pages ----------------------------------------------------------------------

// Maps the file `fd` (or, for -1, fresh shared anonymous memory) as the
// object's page, at the address it had before if it had one.
bool MapPage(SemObj* semaphore, int fd) {
    const int flags = (fd < 0 ? MAP_SHARED | MAP_ANONYMOUS : MAP_SHARED) | (semaphore->page ? MAP_FIXED : 0);
    void* address = mmap(semaphore->page, kPageSize, PROT_READ | PROT_WRITE, flags, fd, 0);
    if (address == MAP_FAILED) return false;
    semaphore->page = static_cast<SharedSemaphore*>(address);
    return true;
}

// Puts a private zero page where the object's page was: the file is let go,
// the address stays readable (a count of 0 and a maximum of 0).
void ParkPage(SemObj* semaphore) {
    if (semaphore->page == nullptr) return;
    void* address =
        mmap(semaphore->page, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (address == MAP_FAILED) Fatal("cannot release a semaphore's page");
}

void FillPage(SharedSemaphore* page, const ParsedName* name, LONG initial, LONG maximum) {
    page->version = kVersion;
    page->type = kTypeSemaphore;
    page->maximum = maximum;
    page->count.store(static_cast<std::uint32_t>(initial), std::memory_order_relaxed);
    page->waiters.store(0, std::memory_order_relaxed);
    page->global = name != nullptr && name->global ? 1 : 0;
    page->nameLength = 0;
    if (name != nullptr) {
        page->nameLength = static_cast<std::uint32_t>(name->length);
        std::memcpy(page->name, name->rest, name->length);
        page->name[name->length] = '\0';
    }
    page->magic = kMagic;
}

// 0 when the page is one of ours with this name, otherwise 6.
DWORD CheckPage(const SharedSemaphore* page, const ParsedName& name) {
    if (page->magic != kMagic || page->version != kVersion || page->type != kTypeSemaphore)
        return ERROR_INVALID_HANDLE;
    if (page->global != (name.global ? 1u : 0u) || page->nameLength != name.length ||
        std::memcmp(page->name, name.rest, name.length) != 0) {
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

// ---- Open and create --------------------------------------------------------------

enum class Outcome { Opened, Absent, Again, Failed };

void CloseFile(int fd) {
    while (close(fd) != 0 && errno == EINTR) {
    }
}

// A handle's shared hold on the object's file; false with errno on failure.
bool LockShared(int fd) {
    while (flock(fd, LOCK_SH) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Opens the object published under semaphore->path. Absent also when the file
// was a leftover of dead holders (then it is removed); Again when the object
// died while we waited for our lock.
Outcome OpenExisting(SemObj* semaphore, const ParsedName& name, DWORD& error) {
    const int fd = AboveStandardStreams(open(semaphore->path, O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (fd < 0) {
        if (errno == ENOENT) return Outcome::Absent;
        error = WindowsError(errno);
        return Outcome::Failed;
    }
    struct stat status;
    // /dev/shm is shared by every user: a file someone else owns, or one others
    // may write, could hold a forged count or a lock of theirs. Refused before
    // any probe, so nothing of it is used or changed.
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
        (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        CloseFile(fd);
        error = ERROR_ACCESS_DENIED;
        return Outcome::Failed;
    }
    RaceDelay();
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Nobody holds it. Our exclusive lock keeps every other remover off this
        // inode, so if it still has a name, the name is this file's.
        if (fstat(fd, &status) == 0 && status.st_nlink > 0) unlink(semaphore->path);
        CloseFile(fd);
        return Outcome::Absent;
    }
    RaceDelay();
    // Blocks only while a closer or a checker briefly holds the exclusive lock.
    if (!LockShared(fd)) {
        error = WindowsError(errno);
        CloseFile(fd);
        return Outcome::Failed;
    }
    if (fstat(fd, &status) != 0 || status.st_nlink == 0) {
        CloseFile(fd);
        return Outcome::Again;  // the last holder closed it meanwhile
    }
    if (status.st_size < static_cast<off_t>(kPageSize) || !MapPage(semaphore, fd)) {
        error = ERROR_INVALID_HANDLE;
        CloseFile(fd);
        return Outcome::Failed;
    }
    error = CheckPage(semaphore->page, name);
    if (error != ERROR_SUCCESS) {
        CloseFile(fd);
        return Outcome::Failed;
    }
    semaphore->fd.store(fd, std::memory_order_relaxed);
    return Outcome::Opened;
}

// Builds a new object unnamed, then publishes it under semaphore->path.
// Again when another process published one first.
Outcome PublishNew(SemObj* semaphore, const ParsedName& name, LONG initial, LONG maximum, DWORD& error) {
    const int fd = AboveStandardStreams(open("/dev/shm", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd < 0) {
        error = WindowsError(errno);
        return Outcome::Failed;
    }
    // The mode is set explicitly so that the umask cannot change it.
    if (fchmod(fd, 0600) != 0 || ftruncate(fd, static_cast<off_t>(kPageSize)) != 0 || !MapPage(semaphore, fd)) {
        error = WindowsError(errno);
        CloseFile(fd);
        return Outcome::Failed;
    }
    FillPage(semaphore->page, &name, initial, maximum);
    // Locked before it has a name: nobody can ever find it without a holder.
    if (!LockShared(fd)) {
        error = WindowsError(errno);
        CloseFile(fd);
        return Outcome::Failed;
    }
    RaceDelay();
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, self, AT_FDCWD, semaphore->path, AT_SYMLINK_FOLLOW) != 0) {
        const int failure = errno;
        CloseFile(fd);
        if (failure == EEXIST) return Outcome::Again;
        error = WindowsError(failure);
        return Outcome::Failed;
    }
    semaphore->fd.store(fd, std::memory_order_relaxed);
    return Outcome::Opened;
}

// Fills `semaphore` for `name`, creating the object when `create`. Sets
// `existed` when create found one.
DWORD OpenNamed(SemObj* semaphore, const char* rawName, bool create, LONG initial, LONG maximum, bool& existed) {
    ParsedName name;
    DWORD error = ParseName(rawName, name);
    if (error != ERROR_SUCCESS) return error;
    PathFor(name, semaphore->path);
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        switch (OpenExisting(semaphore, name, error)) {
            case Outcome::Opened:
                existed = true;
                return ERROR_SUCCESS;
            case Outcome::Failed:
                return error;
            case Outcome::Again:
                continue;
            case Outcome::Absent:
                break;
        }
        if (!create) return ERROR_FILE_NOT_FOUND;
        switch (PublishNew(semaphore, name, initial, maximum, error)) {
            case Outcome::Opened:
                return ERROR_SUCCESS;
            case Outcome::Failed:
                return error;
            case Outcome::Again:
            case Outcome::Absent:
                continue;
        }
    }
    return ERROR_GEN_FAILURE;
}

// A new handle for a filled-in object, or null with `error`; on success the
// last error becomes `success` (0, or 183 for an existing object).
HANDLE Publish(SemObj* semaphore, DWORD error, DWORD success) {
    if (error != ERROR_SUCCESS) {
        Release(semaphore);
        SetLastError(error);
        return nullptr;
    }
    return PublishObject(semaphore, success);
}

SemObj* NewSemObj() {
    SemObj* semaphore = Pool<SemObj>::Of().Alloc();
    if (semaphore == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    semaphore->fd.store(-1, std::memory_order_relaxed);
    semaphore->handles.store(0, std::memory_order_relaxed);
    semaphore->owner = getpid();
    semaphore->path[0] = '\0';
    return semaphore;
}

// The async-signal-safe part of the clean-up: the name and the file, not the
// mapping.
void FinishFiles(SemObj* semaphore) {
    const int fd = semaphore->fd.exchange(-1, std::memory_order_acq_rel);
    if (fd < 0) return;
    // A fork child shares the parent's open file description: its probe would
    // convert the parent's lock, so only the opener probes and unlinks.
    if (semaphore->owner == getpid() && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        RaceDelay();
        struct stat status;
        if (fstat(fd, &status) == 0 && status.st_nlink > 0) unlink(semaphore->path);
    }
    CloseFile(fd);
}

}  // namespace

namespace {

void HandleOpened(KObject* object) { static_cast<SemObj*>(object)->handles.fetch_add(1, std::memory_order_relaxed); }

void HandleClosed(KObject* object) {
    auto* semaphore = static_cast<SemObj*>(object);
    if (semaphore->handles.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    // The last handle: the name goes now even if a wait still holds the object,
    // and waiters in sections are woken to see that their handles are gone.
    FinishFiles(semaphore);
    SharedSemaphore* page = semaphore->page;
    if (page != nullptr && page->waiters.load(std::memory_order_seq_cst) != 0) SharedWake(&page->count, INT32_MAX);
}

void Recycle(KObject* object) {
    auto* semaphore = static_cast<SemObj*>(object);
    FinishFiles(semaphore);
    ParkPage(semaphore);
    Pool<SemObj>::Of().Free(semaphore);
}

}  // namespace

const KindOps SemObj::kOps = {Recycle, HandleOpened, HandleClosed};

bool TryTakeSemaphore(SemObj* semaphore) { return TryTake(semaphore->page); }

SemObj* CachedSemaphore(HANDLE handle) {
    const ResolvedSemaphore* entry = CachedEntry(handle);
    return entry != nullptr ? entry->object : nullptr;
}

SemObj* ResolveSemaphore(HANDLE handle) {
    if (SemObj* cached = CachedSemaphore(handle)) return cached;
    const std::atomic<std::uint64_t>* word = nullptr;
    std::uint64_t value = 0;
    KObject* object = PeekHandleSlot(handle, &word, &value);
    if (object == nullptr) return nullptr;
    if (object->kind != Kind::Semaphore) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto* semaphore = static_cast<SemObj*>(object);
    if (!InSignalHandler()) {
        tlsResolved.handle = nullptr;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        tlsResolved = {nullptr, semaphore, semaphore->page, word, value};
        std::atomic_signal_fence(std::memory_order_seq_cst);
        tlsResolved.handle = handle;
    }
    return semaphore;
}

DWORD WaitForSemaphore(SemObj* semaphore, DWORD milliseconds, bool alertable) {
    SharedSemaphore* shared = semaphore->page;
    if (TryTake(shared)) return WAIT_OBJECT_0;
    ThreadObj* self;
    DWORD early;
    if (!PrepareToBlock(semaphore, milliseconds, alertable, &self, &early)) return early;
    WaitHold hold{self};
    const Deadline deadline(milliseconds);
    // Inside a section the caller records what this wait takes: the section is
    // lifted while we sleep (a signal then finds nothing taken) and restored
    // before each attempt to take, once no clean-up is stopping sections.
    SignalSectionState* section = tlsSignalSection;
    if (section != nullptr && section->state.load(std::memory_order_relaxed) != kSectionBusy) section = nullptr;
    bool closed = false;
    shared->waiters.fetch_add(1, std::memory_order_seq_cst);
    WakeReason reason;
    for (;;) {
        const std::uint32_t wake = self->wake.load(std::memory_order_acquire);
        // Every handle closed (a clean-up swept the caller's object): nothing
        // may be taken for a caller that can no longer give it back.
        if (section != nullptr && semaphore->handles.load(std::memory_order_acquire) == 0) {
            closed = true;
            reason = WakeReason::Timeout;
            break;
        }
        if (TryTake(shared)) {
            reason = WakeReason::Granted;
            break;
        }
        if (MustLeaveWait(self, alertable, &reason)) break;
        if (deadline.Expired()) {
            reason = WakeReason::Timeout;
            break;
        }
        if (section != nullptr) LiftSection(section);
        // (A deferred signal run by LiftSection may have closed the handles.)
        if (section == nullptr || semaphore->handles.load(std::memory_order_acquire) != 0) {
            SleepOnCountAndWake(&shared->count, &self->wake, wake, deadline);
        }
        if (section != nullptr) RestoreSection(section);
    }
    shared->waiters.fetch_sub(1, std::memory_order_seq_cst);
    // A release may have woken us just as we left for another reason: pass the
    // wake-up on so that a free unit does not sit beside a sleeping waiter.
    if (reason != WakeReason::Granted && shared->count.load(std::memory_order_seq_cst) != 0 &&
        shared->waiters.load(std::memory_order_seq_cst) != 0) {
        SharedWake(&shared->count, 1);
    }
    EndBlocking(self);
    if (closed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return WaitResult(self, reason);
}

namespace {

// ReleaseSemaphore on a resolved handle, for any count.
BOOL ReleaseUnits(SemObj* semaphore, LONG releaseCount, LPLONG previousCount) {
    SharedSemaphore* shared = semaphore->page;
    const auto maximum = static_cast<std::uint32_t>(shared->maximum);
    const auto add = static_cast<std::uint32_t>(releaseCount);
    NoSuspendScope whole;  // released units always wake their waiters
    std::uint32_t count = shared->count.load(std::memory_order_seq_cst);
    do {
        if (count > maximum || maximum - count < add) {
            SetLastError(ERROR_TOO_MANY_POSTS);  // nothing changed, *previousCount not written
            return FALSE;
        }
        RaceDelay();
    } while (!shared->count.compare_exchange_weak(count, count + add, std::memory_order_seq_cst));
    if (previousCount != nullptr) *previousCount = static_cast<LONG>(count);
    if (shared->waiters.load(std::memory_order_seq_cst) != 0) SharedWake(&shared->count, releaseCount);
    return TRUE;
}

// The fast release's wake-up, and the end of its no-suspension step.
[[gnu::noinline]] bool WakeOneLeaving(SharedSemaphore* shared) {
    SharedWake(&shared->count, 1);
    LeaveNoSuspend();
    return true;
}

// The fast release's slow endings: each ends the caller's section too.
[[gnu::noinline]] bool WakeOneLeavingSection(SharedSemaphore* shared, std::uint32_t outer) {
    WakeOneLeaving(shared);
    LeaveSignalSection(outer);
    return true;
}

[[gnu::noinline]] bool SuspendLeavingSection(std::uint32_t outer) {
    RunDeferredStop();
    LeaveSignalSection(outer);
    return true;
}

[[gnu::noinline]] bool DeclineLeaving(std::uint32_t outer, bool (*otherwise)(void*), void* context) {
    LeaveSignalSection(outer);
    return otherwise(context);
}

[[gnu::noinline]] bool DeclineSuspendedLeaving(std::uint32_t outer, bool (*otherwise)(void*), void* context) {
    LeaveNoSuspend();
    return DeclineLeaving(outer, otherwise, context);
}

}  // namespace

void SetSemaphoreRaceDelay(void (*delay)()) {
    gRaceDelay.store(delay, std::memory_order_relaxed);
    // The fast paths take no delay: with one installed, callers take the
    // ordinary paths, where the races interleave.
    if (delay != nullptr) {
        gSignalSectionFlags.fetch_or(kSectionsFastPathsOff, std::memory_order_seq_cst);
    } else {
        gSignalSectionFlags.fetch_and(static_cast<std::uint8_t>(~kSectionsFastPathsOff), std::memory_order_seq_cst);
    }
}

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

using namespace posix;

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCSTR name) {
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SemObj* semaphore = NewSemObj();
    if (semaphore == nullptr) return nullptr;
    if (name == nullptr || *name == '\0') {
        // Unnamed: private to this process (and its fork children), no file.
        if (!MapPage(semaphore, -1)) return Publish(semaphore, ERROR_NOT_ENOUGH_MEMORY, ERROR_SUCCESS);
        FillPage(semaphore->page, nullptr, initialCount, maximumCount);
        return Publish(semaphore, ERROR_SUCCESS, ERROR_SUCCESS);
    }
    bool existed = false;
    const DWORD error = OpenNamed(semaphore, name, true, initialCount, maximumCount, existed);
    return Publish(semaphore, error, existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
}

HANDLE OpenSemaphoreA(DWORD, BOOL, LPCSTR name) {
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SemObj* semaphore = NewSemObj();
    if (semaphore == nullptr) return nullptr;
    bool existed = false;
    const DWORD error = OpenNamed(semaphore, name, false, 0, 0, existed);
    return Publish(semaphore, error, ERROR_SUCCESS);
}

bool TryTakeRecentSemaphore(HANDLE semaphore) {
    const ResolvedSemaphore* entry = CachedEntry(semaphore);
    return entry != nullptr && TryTake(entry->page);
}

bool ReleaseRecentSemaphore(HANDLE semaphore) {
    // Kept short, with its one call in a tail position, so that nothing is
    // saved to the stack ahead of the compare-and-swap.
    const ResolvedSemaphore* entry = CachedEntry(semaphore);
    if (entry == nullptr || gRaceDelay.load(std::memory_order_relaxed) != nullptr) return false;
    SharedSemaphore* shared = entry->page;
    std::uint32_t count = shared->count.load(std::memory_order_seq_cst);
    if (count >= static_cast<std::uint32_t>(shared->maximum)) return false;
    EnterNoSuspend();  // released units always wake their waiters
    if (!shared->count.compare_exchange_strong(count, count + 1, std::memory_order_seq_cst)) {
        LeaveNoSuspend();
        return false;
    }
    if (shared->waiters.load(std::memory_order_seq_cst) != 0) return WakeOneLeaving(shared);
    LeaveNoSuspend();
    return true;
}

bool ReleaseRecentSemaphoreLeaving(HANDLE semaphore, bool& held, std::uint32_t outer, bool (*otherwise)(void*),
                                   void* context) {
    // As ReleaseRecentSemaphore, with every call a tail call, so that nothing
    // is saved to the stack ahead of the compare-and-swap. (The caller's fast
    // entry already declined while a race delay is installed.)
    const ResolvedSemaphore* entry = CachedEntry(semaphore);
    if (entry == nullptr) return DeclineLeaving(outer, otherwise, context);
    SharedSemaphore* shared = entry->page;
    std::uint32_t count = shared->count.load(std::memory_order_seq_cst);
    if (count >= static_cast<std::uint32_t>(shared->maximum)) return DeclineLeaving(outer, otherwise, context);
    EnterNoSuspend();  // released units always wake their waiters
    if (!shared->count.compare_exchange_strong(count, count + 1, std::memory_order_seq_cst)) {
        return DeclineSuspendedLeaving(outer, otherwise, context);
    }
    std::atomic_ref<bool>(held).store(false, std::memory_order_release);
    if (shared->waiters.load(std::memory_order_seq_cst) != 0) return WakeOneLeavingSection(shared, outer);
    if (EndNoSuspend()) return SuspendLeavingSection(outer);
    return LeaveSignalSectionSucceeding(outer);
}

BOOL ReleaseSemaphore(HANDLE handle, LONG releaseCount, LPLONG previousCount) {
    if (releaseCount == 1 && previousCount == nullptr && ReleaseRecentSemaphore(handle)) return TRUE;
    if (releaseCount < 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SemObj* semaphore = ResolveSemaphore(handle);
    if (semaphore == nullptr) return FALSE;
    return ReleaseUnits(semaphore, releaseCount, previousCount);
}

}  // namespace rvsys::platform
