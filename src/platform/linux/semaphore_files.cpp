// Named semaphores of the Linux emulation: the files that carry them between
// processes.
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
#include "semaphore_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "errors.h"
#include "sys.h"

namespace rvsys::platform::posix {

namespace {

constexpr std::uint32_t kMagic = 0x6D657353;  // "Sem" and m
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kTypeSemaphore = 1;
constexpr int kMaxAttempts = 1000;  // lost races in a row before giving up with 31

// ---- Names ---------------------------------------------------------------------

struct ParsedName {
    const char* rest = nullptr;  // the name without its namespace prefix
    std::size_t length = 0;
    bool global = false;
};

DWORD ParseName(const char* name, ParsedName& parsed) {
    const std::size_t length = strnlen(name, kMaxSemaphoreName + 1);
    if (length > kMaxSemaphoreName) return ERROR_FILENAME_EXCED_RANGE;
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
    void* address = mmap(semaphore->page, kSemaphorePageSize, PROT_READ | PROT_WRITE, flags, fd, 0);
    if (address == MAP_FAILED) return false;
    semaphore->page = static_cast<SharedSemaphore*>(address);
    return true;
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
    if (status.st_size < static_cast<off_t>(kSemaphorePageSize) || !MapPage(semaphore, fd)) {
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
    if (fchmod(fd, 0600) != 0 || ftruncate(fd, static_cast<off_t>(kSemaphorePageSize)) != 0 ||
        !MapPage(semaphore, fd)) {
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

}  // namespace

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

// The file is let go; the address stays readable (a count and a maximum of 0).
void ParkPage(SemObj* semaphore) {
    if (semaphore->page == nullptr) return;
    void* address = mmap(semaphore->page, kSemaphorePageSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (address == MAP_FAILED) Fatal("cannot release a semaphore's page");
}

bool MakeUnnamedPage(SemObj* semaphore, LONG initial, LONG maximum) {
    if (!MapPage(semaphore, -1)) return false;
    FillPage(semaphore->page, nullptr, initial, maximum);
    return true;
}

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

}  // namespace rvsys::platform::posix
