// holm-fleet: delivers one bundle to many printers and keeps a record of
// every printer's run.
#include <cstdio>
#include <exception>

#include "fleet.h"
#include "platform/platform.h"

int main(int argc, char* argv[]) {
    // Descriptors 0 to 2 open before anything else is, so that no record
    // or event descriptor takes the place of standard output.
    plat::init();
    // Before any thread starts, so that every thread leaves the stop
    // signals to the run's loop.
    plat::supervise_start();
    fleet::FleetRun run;
    int status = 1;
    try {
        status = fleet::run_fleet(argc, argv, run);
    } catch (const std::exception& e) {
        // The records on disk are as the run last wrote them: a retry goes
        // on from there.
        std::fprintf(stderr, "holm-fleet: %s\n", e.what());
    }
    fleet::clean_up(run);
    return status;
}
