#include "net/diagnostic.h"

#include <cstdio>

#include "driver/finish.h"
#include "driver/settings.h"

namespace net {

void run_diagnostic_mode() {
    char mode = driver::settings.mode;
    if (mode != 'g' && mode != 'k' && mode != 'l') return;
    std::printf("\nError: Diagnostic modes are not available in this build\n");
    driver::finish(1);
}

}  // namespace net
