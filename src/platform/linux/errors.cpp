// Error codes and their texts for the Linux emulation: WindowsError maps errno
// values to Windows codes; FormatMessageA gives the text of a code.
//
// Data structure: a table of Windows error codes and the errno values whose
// strerror text stands for them.
//
// Windows behaviours reproduced:
// - FormatMessageA(FROM_SYSTEM) gives the text of a code, or fails with 317
//   for a code it does not know; ALLOCATE_BUFFER hands out a LocalFree'd
//   buffer; a too small caller buffer fails with 122.
// Deliberate gaps: the texts are Linux's (strerror of the errno that matches
// the code) and have no CR LF at the end; inside a signal handler the
// untranslated text (strerrordesc_np) is used, since strerror may allocate for
// translations.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "errors.h"

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

}  // namespace rvsys::platform
