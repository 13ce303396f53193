#include "support/flags.h"

#include <cstring>

namespace rvsys::bench {

std::map<std::string, std::string> TakeFlags(int& argc, char** argv, const std::string& prefix) {
    std::map<std::string, std::string> flags;
    const std::string start = "--" + prefix;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const char* equals = std::strchr(argv[i], '=');
        if (std::strncmp(argv[i], start.c_str(), start.size()) == 0 && equals != nullptr) {
            const char* name = argv[i] + 2;
            flags[std::string(name, static_cast<std::size_t>(equals - name))] = equals + 1;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return flags;
}

}  // namespace rvsys::bench
