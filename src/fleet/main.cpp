// holm-fleet: delivers one bundle to many printers and keeps a record of
// every printer's run.
#include "fleet.h"
#include "platform/platform.h"

int main(int argc, char* argv[]) {
    // Before any thread starts, so that every thread leaves the stop
    // signals to the run's loop.
    plat::supervise_start();
    fleet::FleetRun run;
    int status = fleet::run_fleet(argc, argv, run);
    fleet::clean_up(run);
    return status;
}
