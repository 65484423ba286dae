#include "local/port_output.h"

#include <cstdio>

#include "driver/finish.h"

namespace local {

void download_port(bool) {
    std::printf("\nError: Output to LPT1 is not available in this build\n");
    driver::finish(1);
}

void close_port() {}

}  // namespace local
