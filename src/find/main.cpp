// holm-find: finds a site's printers and writes the list holm-fleet takes.
#include <cstdio>
#include <exception>

#include "find.h"
#include "platform/platform.h"

int main(int argc, char* argv[]) {
    plat::init();
    int status = 1;
    try {
        status = find::run_find(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "holm-find: %s\n", e.what());
    }
    if (std::fflush(stdout) != 0) status = status == 0 ? 1 : status;
    return status;
}
