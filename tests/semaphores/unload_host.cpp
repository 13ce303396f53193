// A host that does not link rvsysutils: it installs its own SIGTERM handler,
// loads a plugin that makes a Semaphore, unloads it, then gets SIGTERM. The
// library's clean-up must run (the plugin's unit comes back and the name
// goes) and then the host's handler, without a crash in unmapped code.
// Exit status: 0 when both ran; 2-5 for a setup step that failed; 6 when the
// host's handler ran but the clean-up had not; 7 when the signal returned.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

char gPath[512];

void HostHandler(int) {
    struct stat status;
    _exit(stat(gPath, &status) != 0 ? 0 : 6);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string base = "rvsys-unload-" + std::to_string(getpid()) + "-";
    std::snprintf(gPath, sizeof gPath, "/dev/shm/w32sem.%u.n.%s1", static_cast<unsigned>(getuid()), base.c_str());
    struct sigaction host {};
    host.sa_handler = HostHandler;
    if (argc != 2 || sigaction(SIGTERM, &host, nullptr) != 0) return 2;
    void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) return std::fprintf(stderr, "%s\n", dlerror()), 4;
    auto hold = reinterpret_cast<bool (*)(const char*)>(dlsym(plugin, "rvsys_plugin_hold"));
    if (hold == nullptr || !hold(base.c_str())) return 5;
    dlclose(plugin);
    kill(getpid(), SIGTERM);
    return 7;
}
