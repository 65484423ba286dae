// A pipe drained slowly by a reader thread while SIGALRM ticks at the
// writer, so that blocking writes into it come back short.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

namespace slow_pipe {

inline void on_alarm(int) {}

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
inline std::string drain_slowly(int fd) {
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

inline std::string pattern(std::size_t length) {
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

}  // namespace slow_pipe
