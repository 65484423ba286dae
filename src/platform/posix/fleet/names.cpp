// Printer names looked up all at once, with a bound: glibc's asynchronous
// lookup, since getaddrinfo itself may wait as long as the resolver likes.
#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace plat {

namespace {

std::string dotted(const addrinfo* found) {
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) return text;
    }
    return std::string();
}

}  // namespace

void resolve_ipv4(const std::vector<std::string>& names, int ms, std::vector<std::string>& addresses,
                  std::vector<std::string>& problems) {
    addresses.assign(names.size(), std::string());
    problems.assign(names.size(), std::string());
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    std::vector<gaicb> asks(names.size());
    std::vector<gaicb*> pending;
    for (std::size_t i = 0; i < names.size(); ++i) {
        in_addr parsed{};
        if (inet_pton(AF_INET, names[i].c_str(), &parsed) == 1) {
            addresses[i] = names[i];
            continue;
        }
        asks[i].ar_name = names[i].c_str();
        asks[i].ar_request = &hints;
        pending.push_back(&asks[i]);
    }
    std::uint64_t until = monotonic_ms() + static_cast<std::uint64_t>(ms);
    // One batch: the lookups go on together, in glibc's own threads.
    int started = pending.empty() ? 0 : getaddrinfo_a(GAI_NOWAIT, pending.data(), static_cast<int>(pending.size()), nullptr);
    if (started != 0) {
        for (std::size_t i = 0; i < names.size(); ++i)
            if (addresses[i].empty()) problems[i] = gai_strerror(started);
        return;
    }
    bool stopped = false;
    for (;;) {
        bool busy = false;
        for (gaicb* ask : pending) busy = busy || gai_error(ask) == EAI_INPROGRESS;
        std::uint64_t now = monotonic_ms();
        if (!busy || now >= until) break;
        // A short slice at a time, so that a stop signal is seen.
        if (!pause_unless_stopped(static_cast<int>(std::min<std::uint64_t>(until - now, 100)))) {
            stopped = true;
            break;
        }
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!addresses[i].empty()) continue;
        gaicb* ask = &asks[i];
        int error = gai_error(ask);
        if (error == EAI_INPROGRESS) {
            gai_cancel(ask);
            // A lookup that cannot be cancelled is waited for: its answer
            // would land in memory that is gone.
            while (gai_error(ask) == EAI_INPROGRESS) sleep_ms(10);
            problems[i] = stopped ? "interrupted" : "the lookup took longer than " + std::to_string(ms / 1000) + " s";
        } else if (error != 0) {
            problems[i] = gai_strerror(error);
        } else {
            addresses[i] = dotted(ask->ar_result);
            if (addresses[i].empty()) problems[i] = "no IPv4 address";
        }
        if (ask->ar_result != nullptr) freeaddrinfo(ask->ar_result);
    }
}

}  // namespace plat
