#include "local/spooler.h"

#include <cstdio>

#include "driver/finish.h"

namespace local {

void download_spooler(bool) {
    std::printf("\nError: Output to a shared printer is not available in this build\n");
    driver::finish(1);
}

}  // namespace local
