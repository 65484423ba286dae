// wait_for_text against a real peer on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/sockets.h"
#include "platform/platform.h"

namespace {

// One connected pair: the tool's end through the platform layer, the
// peer's end as a plain descriptor the test writes to.
struct Pair {
    plat::Socket tool = 0;
    int peer = -1;

    Pair() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        where.sin_port = 0;
        bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where);
        listen(listener, 1);
        socklen_t size = sizeof where;
        getsockname(listener, reinterpret_cast<sockaddr*>(&where), &size);
        EXPECT_EQ(net::tcp_connect(where.sin_addr.s_addr, &tool, ntohs(where.sin_port)), 0);
        peer = accept(listener, nullptr, nullptr);
        close(listener);
    }
    ~Pair() {
        if (peer != -1) close(peer);
        net::close_socket(&tool);
    }
    void say(const std::string& text) const {
        ASSERT_EQ(send(peer, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    }
    void hang_up() {
        close(peer);
        peer = -1;
    }
};

TEST(WaitForText, FindsPromptAfterPartialMatch) {
    Pair pair;
    pair.say("log\nlogin: ");
    EXPECT_EQ(net::wait_for_text(pair.tool, "login: ", 2, nullptr, nullptr), 0);
}

TEST(WaitForText, BreakingByteIsNotRetried) {
    // The second '>' breaks the match and is not taken as a new start.
    Pair pair;
    pair.say(">> ");
    pair.hang_up();
    testing::internal::CaptureStdout();
    EXPECT_EQ(net::wait_for_text(pair.tool, "> ", 2, nullptr, nullptr), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "recv failed: 0\n");
}

TEST(WaitForText, CaptureStopsAtLimit) {
    Pair pair;
    std::string text(1500, 'a');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    pair.say(text + "> ");
    std::vector<char> buffer(1001, 0);
    std::uint16_t left = 1000;
    EXPECT_EQ(net::wait_for_text(pair.tool, "> ", 2, buffer.data(), &left), 0);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(std::string(buffer.data()), text.substr(0, 1000));
}

TEST(WaitForText, SilentPeerTimesOut) {
    Pair pair;
    pair.say("nothing here");
    testing::internal::CaptureStdout();
    std::uint64_t start = plat::monotonic_ms();
    EXPECT_EQ(net::wait_for_text(pair.tool, "> ", 1, nullptr, nullptr), 1);
    std::uint64_t spent = plat::monotonic_ms() - start;
    std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_GE(spent, 900u);
    EXPECT_LT(spent, 3000u);
    EXPECT_EQ(shown.rfind("recv failed: ", 0), 0u);
    EXPECT_NE(shown, "recv failed: 0\n");
}

TEST(WaitForText, PeerCloseEndsTheWait) {
    Pair pair;
    pair.say("login");
    pair.hang_up();
    testing::internal::CaptureStdout();
    std::uint64_t start = plat::monotonic_ms();
    EXPECT_EQ(net::wait_for_text(pair.tool, "login: ", 5, nullptr, nullptr), 1);
    EXPECT_LT(plat::monotonic_ms() - start, 2000u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "recv failed: 0\n");
}

TEST(TcpConnect, RefusedConnectionShowsAddressAsStored) {
    // Port 1 on loopback has no listener in the test environment.
    plat::Socket slot = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(net::tcp_connect(inet_addr("127.0.0.1"), &slot, 1), 1);
    std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_EQ(shown.rfind("Socket error for network addr 0100007f: ", 0), 0u) << shown;
    net::close_socket(&slot);
}

TEST(ResolveHost, TakesDottedQuadsRefusesBroadcastAndThisHost) {
    EXPECT_EQ(net::resolve_host("192.168.1.10"), inet_addr("192.168.1.10"));
    EXPECT_EQ(net::resolve_host("255.255.255.255"), plat::address_none);
    for (const char* text : {"", " ", "0", "0.0.0.0"}) EXPECT_EQ(net::resolve_host(text), plat::address_none) << text;
}

}  // namespace
