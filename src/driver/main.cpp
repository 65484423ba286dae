#include <cstdio>

#include "driver/run.h"
#include "platform/platform.h"

int main(int argc, char* argv[]) {
    plat::init();
    // Event characters and the overwrite question must reach the screen as
    // they happen, not when a buffer fills.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    driver::run(argc, argv);
}
