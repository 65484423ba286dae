// Thousands of non-blocking connects watched by one epoll set: a silent
// address holds a descriptor for its bound, never a thread.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <unordered_map>

#include "platform/find.h"
#include "platform/platform.h"

namespace plat {

namespace {

using Clock = std::chrono::steady_clock;

// Descriptors kept free for the rest of the program: the IPP read, the
// other sources, the standard ones.
constexpr std::size_t spare_descriptors = 256;

std::size_t usable_descriptors() {
    long soft = raise_open_file_limit();
    if (soft == unlimited) return 1 << 20;
    std::size_t usable = static_cast<std::size_t>(soft);
    return usable > 2 * spare_descriptors ? usable - spare_descriptors : usable / 2;
}

struct Attempt {
    std::size_t place;  // in the addresses given
    Clock::time_point deadline;
};

// A connect under way, or -1 when it could not even start (it then counts
// as not accepting).
int start_connect(std::uint32_t address, std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 || errno == EINPROGRESS) return fd;
    close(fd);
    return -1;
}

bool connected(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

class Scan {
public:
    Scan(const std::vector<std::uint32_t>& addresses, const ConnectScan& scan)
        : addresses_(addresses), scan_(scan), epoll_(epoll_create1(EPOLL_CLOEXEC)) {
        limit_ = std::max<std::size_t>(1, std::min(scan.in_flight, usable_descriptors()));
    }
    ~Scan() {
        for (auto& [fd, attempt] : open_) close(fd);
        if (epoll_ >= 0) close(epoll_);
    }
    Scan(const Scan&) = delete;
    Scan& operator=(const Scan&) = delete;

    std::vector<std::uint32_t> run(const std::atomic<bool>& stop, const std::function<void(std::size_t)>& progress) {
        std::vector<bool> accepted(addresses_.size(), false);
        if (epoll_ < 0) return {};
        while ((next_ < addresses_.size() || !open_.empty()) && !stop.load()) {
            fill();
            wait_once(accepted);
            expire();
            if (progress) progress(done_);
        }
        std::vector<std::uint32_t> found;
        for (std::size_t i = 0; i < addresses_.size(); ++i)
            if (accepted[i]) found.push_back(addresses_[i]);
        return found;
    }

private:
    void fill() {
        while (next_ < addresses_.size() && open_.size() < limit_) {
            std::size_t place = next_++;
            int fd = start_connect(addresses_[place], scan_.port);
            epoll_event event{};
            event.events = EPOLLOUT;
            event.data.fd = fd;
            if (fd < 0 || epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
                if (fd >= 0) close(fd);
                ++done_;
                continue;
            }
            Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(scan_.bound_ms);
            open_.emplace(fd, Attempt{place, deadline});
            order_.emplace_back(fd, place);
        }
    }

    void finish(int fd) {
        close(fd);
        open_.erase(fd);
        ++done_;
    }

    void wait_once(std::vector<bool>& accepted) {
        epoll_event events[256];
        int wait_ms = 100;
        if (!order_.empty()) {
            auto first = open_.find(order_.front().first);
            auto deadline = first != open_.end() ? first->second.deadline : Clock::now();
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait_ms = static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 100));
        }
        int n = epoll_wait(epoll_, events, 256, wait_ms);
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            auto found = open_.find(fd);
            if (found == open_.end()) continue;
            if (connected(fd)) accepted[found->second.place] = true;
            finish(fd);
        }
    }

    // Connects are started in order with one bound, so the oldest is the
    // first to run out. Attempts already done are skipped here, also when
    // their descriptor number now serves a later one.
    void expire() {
        Clock::time_point now = Clock::now();
        while (!order_.empty()) {
            auto [fd, place] = order_.front();
            auto found = open_.find(fd);
            bool same = found != open_.end() && found->second.place == place;
            if (same && found->second.deadline > now) break;
            if (same) finish(fd);
            order_.pop_front();
        }
    }

    const std::vector<std::uint32_t>& addresses_;
    const ConnectScan scan_;
    int epoll_;
    std::size_t limit_ = 1;
    std::size_t next_ = 0;
    std::size_t done_ = 0;
    std::unordered_map<int, Attempt> open_;
    std::deque<std::pair<int, std::size_t>> order_;  // (descriptor, place) by their start
};

}  // namespace

std::vector<std::uint32_t> accepting_addresses(const std::vector<std::uint32_t>& addresses, const ConnectScan& scan,
                                               const std::atomic<bool>& stop,
                                               const std::function<void(std::size_t done)>& progress) {
    Scan run(addresses, scan);
    return run.run(stop, progress);
}

}  // namespace plat
