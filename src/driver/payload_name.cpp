#include <cstring>
#include <string>

#include "driver/run.h"

namespace driver {

std::string self_payload_name(const char* argv0) {
    std::size_t length = std::strlen(argv0);
    if (length > 4) {
        const char* tail = argv0 + length - 4;
        if (std::strcmp(tail, ".exe") == 0 || std::strcmp(tail, ".EXE") == 0) return argv0;
    }
    return std::string(argv0) + ".exe";
}

}  // namespace driver
