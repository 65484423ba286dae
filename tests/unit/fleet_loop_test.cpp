// The order in which holm-fleet's loop takes one round of events, where a
// stop must stay final: a stop signal before the bundles it ended, the
// brake before the answers of reads that were in flight; and what a retry
// takes from the records of a run that was killed.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

#include "loop.h"
#include "preparation.h"
#include "rows.h"
#include "rules.h"

namespace fleet {
namespace {

namespace fs = std::filesystem;

// A run of three printers in a scratch DIR, none started yet; bundles
// would be /bin/true, so that one started by mistake shows.
struct LoopTest : ::testing::Test {
    fs::path dir;
    FleetRun run;
    std::vector<pid_t> children;

    void SetUp() override {
        char pattern[] = "/tmp/holm-loop-XXXXXX";
        dir = mkdtemp(pattern);
        fs::create_directory(dir / "printers");
        run.places.dir = dir.string();
        run.places.summary = (dir / "summary.tsv").string();
        run.places.joblog = std::fopen((dir / "joblog").c_str(), "w");
        run.bundles.push_back(Bundle{});
        run.bundles.back().given = "fw.exe";
        run.bundles.back().copy = "/bin/true";
        run.settings.jobs = 8;
        for (int i = 0; i < 3; ++i) {
            run.printers.emplace_back();
            run.printers.back().listed.address = "198.18.1." + std::to_string(i + 1);
            run.printers.back().ipv4 = run.printers.back().listed.address;
            run.todo.push_back(static_cast<std::size_t>(i));
        }
    }
    void TearDown() override {
        for (pid_t child : children) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        std::fclose(run.places.joblog);
        fs::remove_all(dir);
    }

    // A printer under way: its records made, at the stage given; a
    // delivering one runs a real child that a signal would reach.
    void under_way(std::size_t place, Stage stage) {
        PrinterRun& p = run.printers[place];
        p.records = (dir / "printers" / p.listed.address).string();
        fs::create_directory(p.records);
        p.started = 1;
        p.stage = stage;
        ++run.running;
        if (stage == Stage::reading_before) ++run.wave_reading;
        if (stage != Stage::delivering) return;
        pid_t child = fork();
        if (child == 0) {
            pause();
            _exit(0);
        }
        children.push_back(child);
        p.bundle = 0;
        p.pid = static_cast<int>(child);
        p.delivered = true;
        run.by_pid[p.pid] = place;
    }

    IppDone to_deliver(std::size_t place) { return IppDone{place, IppAnswer{}}; }
};

TEST_F(LoopTest, AStopComesBeforeTheBundlesItEnded) {
    under_way(0, Stage::delivering);
    under_way(1, Stage::delivering);
    int reaped = run.printers[0].pid;
    // The interrupt and the end it caused come in one round: the printer
    // is cut short, not failed by the signal, and its id, which may be
    // reused already, is not signalled again.
    std::vector<plat::Ended> ended{{reaped, 0, SIGINT}};
    take_round(run, ended, plat::StopRequest::interrupt);
    EXPECT_EQ(run.stopped, StopReason::interrupted);
    EXPECT_EQ(summary_row(run.printers[0]).result, "failed");
    EXPECT_EQ(summary_row(run.printers[0]).message, "no result");
    EXPECT_EQ(run.tally.failed, 0);
    EXPECT_EQ(run.running, 1);
    // The other bundle was told to end.
    int status = 0;
    ASSERT_EQ(waitpid(children[1], &status, 0), children[1]);
    children.pop_back();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(summary_row(run.printers[2]).result, "not started");
}

TEST_F(LoopTest, TheBrakeHoldsForReadsStillInFlight) {
    run.settings.max_failed = Limit{true, false, 1, "1"};
    under_way(0, Stage::delivering);
    under_way(1, Stage::reading_before);
    under_way(2, Stage::reading_before);
    // In one round: the first printer's bundle fails, and both reads come
    // back "deliver". The failure puts the brake on first.
    std::vector<plat::Ended> ended{{run.printers[0].pid, 1, 0}};
    run.ipp.answered(to_deliver(1));
    run.ipp.answered(to_deliver(2));
    take_round(run, ended, plat::StopRequest::none);
    EXPECT_EQ(run.stopped, StopReason::brake);
    EXPECT_EQ(run.tally.failed, 1);
    for (std::size_t place : {1u, 2u}) {
        const PrinterRun& p = run.printers[place];
        EXPECT_FALSE(p.delivered) << place;
        EXPECT_EQ(summary_row(p).result, "not started") << place;
        EXPECT_FALSE(fs::exists(p.records)) << place;
    }
    EXPECT_TRUE(run.by_pid.empty());
    EXPECT_EQ(run.running, 0);
    EXPECT_EQ(run.wave_reading, 0u);
}

TEST_F(LoopTest, AnAnswerAfterAnInterruptDeliversNothing) {
    under_way(0, Stage::reading_before);
    run.ipp.answered(to_deliver(0));
    std::vector<plat::Ended> none;
    take_round(run, none, plat::StopRequest::terminate);
    EXPECT_FALSE(run.printers[0].delivered);
    EXPECT_EQ(summary_row(run.printers[0]).result, "not started");
    EXPECT_EQ(run.running, 0);
}

TEST_F(LoopTest, ATimedOutBundleIsToldToEndThenKilled) {
    run.settings.timeout_text = "2m";
    under_way(0, Stage::delivering);
    int pid = run.printers[0].pid;
    // Its time is up: TERM now, and a KILL due a few seconds later.
    run.bundles_due.push(Due{0, 0, pid});
    std::vector<plat::Ended> none;
    take_round(run, none, plat::StopRequest::none);
    EXPECT_TRUE(run.printers[0].timed_out);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    children.clear();
    std::vector<plat::Ended> ended{{pid, 0, WTERMSIG(status)}};
    take_round(run, ended, plat::StopRequest::none);
    EXPECT_EQ(summary_row(run.printers[0]).result, "failed");
    EXPECT_EQ(summary_row(run.printers[0]).message, "timed out after 2m");
    // The KILL that was due by then finds the printer ended: nothing is sent.
    EXPECT_EQ(run.bundles_due.size(), 1u);
}

TEST_F(LoopTest, ARetryTakesOutcomesTheKilledRunLeftInItsRecords) {
    // The summary lagged behind: it still shows the first printer running
    // and the second not started, but the first had ended ok, and its
    // records say so.
    write_summary(run.places.summary, {{"198.18.1.1", "running", "", "", "1.0", "", "fw.exe"},
                                       {"198.18.1.2", "ok", "9.0", "", "1.0", "2.0", "fw.exe"},
                                       {"198.18.1.3", "not started", "", "", "", "", ""}});
    fs::path first = dir / "printers" / "198.18.1.1";
    fs::create_directory(first);
    for (auto [name, value] : {std::pair{"result", "ok\n"}, {"seconds", "12.5\n"}, {"before", "1.0\n"}, {"after", "2.0\n"}})
        std::ofstream(first / name) << value;
    run.settings.retry = true;
    run.settings.dir = dir.string();
    run.settings.printers = "list";
    run.todo.clear();
    ASSERT_EQ(choose_printers(run), "");
    EXPECT_EQ(run.todo, std::vector<std::size_t>{2});
    SummaryRow kept = summary_row(run.printers[0]);
    EXPECT_EQ((std::vector<std::string>{kept.result, kept.seconds, kept.before, kept.after}),
              (std::vector<std::string>{"ok", "12.5", "1.0", "2.0"}));
}

TEST(FleetWaveSize, CountsSharesAndTheLastRepeating) {
    std::vector<WaveSize> waves{{false, 1}, {true, 10}, {false, 5}};
    EXPECT_EQ(wave_size({}, 40, 0), 40u);
    EXPECT_EQ(wave_size(waves, 40, 0), 1u);
    EXPECT_EQ(wave_size(waves, 40, 1), 4u);
    EXPECT_EQ(wave_size(waves, 40, 2), 5u);
    EXPECT_EQ(wave_size(waves, 40, 9), 5u);
    EXPECT_EQ(wave_size({{true, 10}}, 3, 0), 1u);
}

}  // namespace
}  // namespace fleet
