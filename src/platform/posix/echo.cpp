#include "platform/platform.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

// Set to 0 by the build only for the echo benchmark's second program.
#ifndef HOLM_ECHO_FILTER
#define HOLM_ECHO_FILTER 1
#endif

namespace plat {

namespace {

int echo_fd = -1;
bool echo_raw = false;  // raw sockets hand us the IP header and every reply
std::uint16_t echo_identifier = 0;
std::uint16_t echo_sequence = 0;

std::uint16_t checksum(const unsigned char* data, std::size_t length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (length & 1) sum += static_cast<std::uint32_t>(data[length - 1] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

void drain_errors() {
    char buffer[512];
    char control[512];
    for (;;) {
        iovec part{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (recvmsg(echo_fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return;
    }
}

// A raw ICMP socket is handed every ICMP packet of the network namespace:
// with many copies of the program probing at once, each would wake for all
// their replies. This filter lets through only what echo_send can use: echo
// replies carrying our identifier, and unreachable reports quoting an echo
// request of ours, whoever sent them (most come from a router). echo_send
// still checks everything itself, so a socket that refuses the filter only
// costs wake-ups.
void attach_reply_filter() {
    sock_filter program[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),          // X = our IP header's length
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),           // ICMP type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 2),    // echo reply?
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),           // its identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, echo_identifier, 10, 11),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 3, 0, 10),   // destination unreachable?
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),           // the quoted IP header's length...
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x0f),
        BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 2),
        BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),          // ...added to ours
        BPF_STMT(BPF_MISC | BPF_TAX, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),           // the quoted ICMP type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 8, 0, 3),    // an echo request?
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 12),          // its identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, echo_identifier, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffffffff),           // keep the whole packet
        BPF_STMT(BPF_RET | BPF_K, 0),                    // drop it
    };
    sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    setsockopt(echo_fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);
}

enum class Answer { none, reply, unreachable };

struct Request {
    std::uint32_t address;  // network order, as in sockaddr_in
    std::uint16_t identifier;
    std::uint16_t sequence;
};

std::uint16_t field16(const unsigned char* at) { return static_cast<std::uint16_t>(at[0] << 8 | at[1]); }

// A ping socket hands over the ICMP message alone, and only replies to its
// own identifier; unreachable reports come through the error queue instead.
Answer read_ping(const unsigned char* icmp, std::size_t length, std::uint32_t from, const Request& sent) {
    if (length < 8 || from != sent.address || icmp[0] != 0 || field16(icmp + 6) != sent.sequence) return Answer::none;
    return Answer::reply;
}

// Whether an unreachable report quotes this very request. Its source tells
// nothing: a router on the way reports from its own address. The quoted
// request does: its identifier keeps apart other programs probing at the
// same time, its destination and sequence number our own earlier probes.
bool quotes_request(const unsigned char* icmp, std::size_t length, const Request& sent) {
    if (length < 8 + 20 + 8) return false;
    const unsigned char* quoted_ip = icmp + 8;
    std::size_t quoted_header = static_cast<std::size_t>(quoted_ip[0] & 0x0f) * 4;
    if (quoted_header < 20 || 8 + quoted_header + 8 > length) return false;
    std::uint32_t destination;
    std::memcpy(&destination, quoted_ip + 16, sizeof destination);
    const unsigned char* quoted = quoted_ip + quoted_header;
    return destination == sent.address && quoted[0] == 8 && field16(quoted + 4) == sent.identifier &&
           field16(quoted + 6) == sent.sequence;
}

// A raw socket hands over the IP header too, and every ICMP message of the
// namespace that the filter let through.
Answer read_raw(const unsigned char* packet, std::size_t length, std::uint32_t from, const Request& sent) {
    if (length < 20) return Answer::none;
    std::size_t header = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
    if (length < header + 8) return Answer::none;
    const unsigned char* icmp = packet + header;
    length -= header;
    if (icmp[0] == 3) return quotes_request(icmp, length, sent) ? Answer::unreachable : Answer::none;
    if (from != sent.address || icmp[0] != 0 || field16(icmp + 4) != sent.identifier ||
        field16(icmp + 6) != sent.sequence)
        return Answer::none;
    return Answer::reply;
}

std::array<unsigned char, 9> request_bytes(const Request& sent) {
    std::array<unsigned char, 9> request{8, 0, 0, 0,
                                         static_cast<unsigned char>(sent.identifier >> 8),
                                         static_cast<unsigned char>(sent.identifier),
                                         static_cast<unsigned char>(sent.sequence >> 8),
                                         static_cast<unsigned char>(sent.sequence), 'x'};
    std::uint16_t sum = checksum(request.data(), request.size());
    request[2] = static_cast<unsigned char>(sum >> 8);
    request[3] = static_cast<unsigned char>(sum);
    return request;
}

}  // namespace

int echo_open() {
    // The unprivileged ping socket first; the raw socket needs root.
    echo_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    echo_raw = false;
    if (echo_fd == -1) {
        echo_fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        echo_raw = true;
    }
    if (echo_fd == -1) return 1;
    echo_identifier = static_cast<std::uint16_t>(getpid() & 0xffff);
    if (echo_raw && HOLM_ECHO_FILTER) attach_reply_filter();
    int ttl = 64;
    setsockopt(echo_fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
    if (!echo_raw) {
        // Unreachable reports then wake poll instead of leaving us to time out.
        int on = 1;
        setsockopt(echo_fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
    return 0;
}

int echo_send(std::uint32_t address, std::uint32_t timeout_ms) {
    if (echo_fd == -1) return 1;
    Request sent{address, echo_identifier, ++echo_sequence};
    std::array<unsigned char, 9> request = request_bytes(sent);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address;
    if (!echo_raw) drain_errors();
    if (sendto(echo_fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer) < 0) {
        if (!echo_raw) drain_errors();
        return 1;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::int64_t deadline = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 + timeout_ms;
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::int64_t left = deadline - (static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
        if (left <= 0) return 1;
        pollfd waiting{echo_fd, POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return 1;
        if (waiting.revents & POLLERR) {
            drain_errors();
            return 1;
        }
        unsigned char reply[1500];
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        ssize_t got = recvfrom(echo_fd, reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_length);
        if (got < 0) continue;
        std::size_t length = static_cast<std::size_t>(got);
        Answer answer = echo_raw ? read_raw(reply, length, from.sin_addr.s_addr, sent)
                                 : read_ping(reply, length, from.sin_addr.s_addr, sent);
        if (answer != Answer::none) return answer == Answer::reply ? 0 : 1;
    }
}

}  // namespace plat
