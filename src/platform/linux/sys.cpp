// The out-of-line parts of the emulation's base (sys.h, dcheck.h): the fatal
// path, and whether the calling thread runs one of the layer's signal handlers.
//
// Fatal is the last resort for a platform failure that cannot happen unless the
// process is corrupted, DcheckFailed for a broken internal invariant
// (RVSYS_DCHECK). Both print one line to standard error and abort, in every
// build type, written with write(2) into a stack buffer (no stdio lock, no
// allocation), so that a check failing inside a signal handler or with an
// internal lock held still reports before it aborts.
//
// The handler depth lives here, under every part of the layer, because the
// handle table, error texts and semaphores all ask it (signals.cpp counts).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dcheck.h"
#include "sys.h"

namespace rvsys::platform::posix {

namespace {

[[noreturn]] void Report(const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        text += written;
        length -= static_cast<std::size_t>(written);
    }
    std::abort();
}

}  // namespace

void Fatal(const char* what) {
    char line[512];
    const int length = std::snprintf(line, sizeof line, "rvsysutils: fatal: %s\n", what);
    Report(line, length < 0 ? 0 : std::strlen(line));
}

void DcheckFailed(const char* file, int line, const char* condition) {
    char text[768];
    const int length =
        std::snprintf(text, sizeof text, "rvsysutils: fatal: %s:%d: check failed: %s\n", file, line, condition);
    Report(text, length < 0 ? 0 : std::strlen(text));
}

thread_local int tlsHandlerDepth [[gnu::tls_model("initial-exec")]] = 0;

}  // namespace rvsys::platform::posix

namespace rvsys::platform {

bool InSignalHandler() { return posix::tlsHandlerDepth > 0; }

}  // namespace rvsys::platform
