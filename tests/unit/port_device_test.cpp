// The port device on POSIX: a parallel driver may take a buffer in pieces,
// and every byte must still go out in order.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

void on_alarm(int) {}

// Ticks SIGALRM at the calling thread's process without SA_RESTART, so a
// blocked write returns early with what it had written so far.
struct Interrupter {
    struct sigaction old_action {};
    Interrupter() {
        struct sigaction action {};
        action.sa_handler = on_alarm;
        sigaction(SIGALRM, &action, &old_action);
        itimerval tick{{0, 2000}, {0, 2000}};
        setitimer(ITIMER_REAL, &tick, nullptr);
    }
    ~Interrupter() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old_action, nullptr);
    }
};

// A reader that drains the pipe slowly, in small pieces; the ticks are
// kept for the writing thread.
std::string drain_slowly(int fd) {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    std::string got;
    char buffer[4096];
    for (;;) {
        usleep(200);
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) return got;
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string pattern(std::size_t length) {
    std::string data(length, '\0');
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<char>(i * 31 + i / 251);
    return data;
}

// Runs write_to(fd) against a pipe that a slow reader drains, under the
// ticks; returns what the reader got.
template <typename Write>
std::string write_interrupted(Write write_to) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    std::string got;
    std::thread reader([&] { got = drain_slowly(fds[0]); });
    {
        Interrupter interrupter;
        write_to(fds[1]);
    }
    close(fds[1]);
    reader.join();
    close(fds[0]);
    return got;
}

TEST(PortDevice, ShortWritesAreContinuedUntilAllIsOut) {
    const std::string data = pattern(2 << 20);
    // First show that this set-up does give short writes.
    ssize_t n = 0;
    write_interrupted([&](int fd) { n = write(fd, data.data(), data.size()); });
    ASSERT_GT(n, 0);
    ASSERT_LT(static_cast<std::size_t>(n), data.size());
    int result = -1;
    std::string got = write_interrupted(
        [&](int fd) { result = plat::write_device(fd, data.data(), static_cast<std::uint32_t>(data.size())); });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(got == data) << "received " << got.size() << " of " << data.size() << " bytes";
}

TEST(PortDevice, WriteToAClosedReaderFails) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    // plat::init ignores SIGPIPE for the program; do the same here.
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(plat::write_device(fds[1], "abc", 3), 1);
    plat::close_device(fds[1]);
}

}  // namespace
