#include "driver/finish.h"

#include <cstdio>
#include <cstdlib>

#include "driver/settings.h"
#include "local/port_output.h"
#include "payload/image.h"
#include "platform/platform.h"

namespace driver {

RunSettings settings;

void finish(int status) {
    if (settings.debug) std::printf("%c\n", status == 0 ? 's' : 'f');
    plat::net_stop();
    payload::unmap_payload();
    local::close_port();
    std::fflush(stdout);
    std::exit(status);
}

}  // namespace driver
