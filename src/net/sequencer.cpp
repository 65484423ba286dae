#include "net/sequencer.h"

#include <cstdio>

#include "driver/finish.h"

namespace net {

void download_network(bool) {
    std::printf("\nError: Network download is not available in this build\n");
    driver::finish(1);
}

}  // namespace net
