// bare: the least a fleet program can do, as the fleet benchmark's floor on
// the machine of the day: every bundle started at once with posix_spawn,
// its output thrown away, each reaped as it ends. Nothing else: no
// records, no checks, no rules. Takes holm-fleet's arguments, so that the
// benchmark runs it as it runs holm-fleet, and leaves the two files the
// benchmark reads: summary.tsv (ok or failed by exit status) and joblog
// (start times and lengths).
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench.h"

extern char** environ;

namespace bench {

namespace {

double now_seconds() {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count()) / 1e6;
}

struct Started {
    std::string address;
    double at;
    double took = 0;
    int status = -1;
};

}  // namespace

int bare(int argc, char* argv[]) {
    // -j N -o DIR BUNDLE PRINTERS
    if (argc != 6) {
        std::fprintf(stderr, "usage: holm-bench bare -j N -o DIR BUNDLE PRINTERS\n");
        return 2;
    }
    std::string dir = argv[3], bundle = argv[4];
    std::ifstream list(argv[5]);
    std::vector<Started> runs;
    for (std::string address; list >> address;) runs.push_back(Started{address, 0});
    mkdir(dir.c_str(), 0755);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::map<pid_t, std::size_t> running;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        std::string n = "-n";
        char* args[] = {bundle.data(), n.data(), runs[i].address.data(), nullptr};
        pid_t pid = 0;
        runs[i].at = now_seconds();
        if (posix_spawn(&pid, bundle.c_str(), &actions, nullptr, args, environ) == 0) running[pid] = i;
    }
    for (int status = 0; !running.empty();) {
        pid_t pid = wait(&status);
        if (pid <= 0) break;
        Started& s = runs[running[pid]];
        s.took = now_seconds() - s.at;
        s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        running.erase(pid);
    }
    std::ofstream summary(dir + "/summary.tsv"), joblog(dir + "/joblog");
    summary << "address\tresult\tseconds\tmessage\tbefore\tafter\n";
    joblog << "Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n";
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const Started& s = runs[i];
        summary << s.address << '\t' << (s.status == 0 ? "ok" : "failed") << "\t\t"
                << (s.status == 0 ? "" : "exit status " + std::to_string(s.status)) << "\t\t\n";
        char line[128];
        std::snprintf(line, sizeof line, "%zu\t:\t%.3f\t%.3f\t0\t0\t%d\t0\t", i + 1, s.at, s.took, s.status);
        joblog << line << bundle << " -n " << s.address << '\n';
    }
    return 0;
}

}  // namespace bench
