// The print socket's bound on a peer that takes nothing: over real TCP on
// loopback with small buffers, a peer that stops reading ends the send once
// nothing has moved for the bound, and a slow peer whose pauses are shorter
// than the bound gets every byte however long the whole takes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "net/sockets.h"
#include "platform/platform.h"
#include "mapped_file.h"
#include "slow_pipe.h"

namespace {

using slow_pipe::pattern;


// A connected loopback pair whose buffers are small, so that a peer that
// does not read closes the window after a few KiB.
struct LoopbackPair {
    int sender = -1;
    int receiver = -1;
    LoopbackPair() {
        int small = 8192;
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            std::abort();
        sender = socket(AF_INET, SOCK_STREAM, 0);
        setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        if (connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
        receiver = accept(listener, nullptr, nullptr);
        close(listener);
        if (receiver == -1) std::abort();
    }
    ~LoopbackPair() {
        close(sender);
        close(receiver);
    }
};

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const std::string data = pattern(4 << 20);

TEST(SendStall, PeerThatStopsReadingEndsTheSendAfterTheBound) {
    constexpr std::uint32_t stall_ms = 2500;
    MappedFile payload(data);
    LoopbackPair pair;
    net::bound_send_stall(pair.sender, stall_ms);
    net::SendResult result = net::send_ok;
    std::uint32_t offset = 0;
    Clock::time_point chunk_started;
    // As the print socket is fed, until the window has closed for good.
    while (result == net::send_ok && offset < data.size()) {
        chunk_started = Clock::now();
        result = net::send_all_from_view(pair.sender, payload.view, offset, 8192, stall_ms);
        if (result == net::send_ok) offset += 8192;
    }
    long long last_chunk_ms = ms_since(chunk_started);
    EXPECT_EQ(result, net::send_stalled);
    EXPECT_LT(offset, 1u << 20) << "the peer read nothing, yet a MiB went";
    // The time counts from the last byte moved, which lies within the last
    // call: at least the bound, and not much more (a call that moved some
    // bytes and then waited its whole time-out again is not counted as
    // progress at its end only).
    EXPECT_GE(last_chunk_ms, stall_ms);
    EXPECT_LT(last_chunk_ms, stall_ms + 1500);
}

TEST(SendStall, SlowPeerWithShortPausesGetsEverything) {
    // Pauses of a second between reads, under a bound of 1.5 s and sends
    // that time out more often: the timed-out sends are taken up again, and
    // the whole lasts longer than the bound.
    constexpr std::uint32_t stall_ms = 1500;
    const std::string part = data.substr(0, 48 << 10);
    MappedFile payload(part);
    LoopbackPair pair;
    net::bound_send_stall(pair.sender, stall_ms);
    std::string got;
    std::thread reader([&] {
        char buffer[32768];
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            ssize_t n = recv(pair.receiver, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            got.append(buffer, static_cast<std::size_t>(n));
        }
    });
    Clock::time_point start = Clock::now();
    net::SendResult result = net::send_ok;
    for (std::uint32_t offset = 0; offset < part.size() && result == net::send_ok; offset += 8192)
        result = net::send_all_from_view(pair.sender, payload.view, offset, 8192, stall_ms);
    long long took_ms = ms_since(start);
    shutdown(pair.sender, SHUT_WR);
    reader.join();
    EXPECT_EQ(result, net::send_ok);
    EXPECT_GT(took_ms, static_cast<long long>(stall_ms)) << "the peer was not slow enough to test the bound";
    EXPECT_TRUE(got == part) << "received " << got.size() << " of " << part.size() << " bytes";
}

}  // namespace
