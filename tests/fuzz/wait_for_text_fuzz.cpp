// wait_for_text over an arbitrary byte stream: the input is a pattern, a
// NUL, one byte giving the capture room, and the stream the peer sends
// before it hangs up.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/sockets.h"

namespace {

// Names the broken invariant by its line before the fuzzer takes the abort.
void require(bool holds, int line = __builtin_LINE()) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken at %s:%d\n", __FILE__, line);
    std::abort();
}

// Well below the socket buffer, so the whole stream is written before the
// tool's end reads any of it.
constexpr std::size_t stream_limit = 60000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto* text = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(data, 0, size);
    if (nul == nullptr) return 0;
    std::string pattern(text, static_cast<const char*>(nul));
    std::size_t rest = pattern.size() + 1;
    if (rest >= size) return 0;
    std::uint16_t room = data[rest];
    std::string stream(text + rest + 1, size - rest - 1);
    if (stream.size() > stream_limit) return 0;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
    // Written whole, as the buffer has room for all of it.
    require(write(pair[1], stream.data(), stream.size()) == static_cast<ssize_t>(stream.size()));
    close(pair[1]);

    // Exactly the room promised, so the sanitizer sees a byte past it.
    std::vector<char> capture(room);
    std::uint16_t left = room;
    plat::Socket tool = pair[0];
    int result = net::wait_for_text(tool, pattern.c_str(), 2, room ? capture.data() : nullptr, &left);
    net::close_socket(&tool);

    std::size_t taken = room - left;
    require(taken <= stream.size());
    require(taken == 0 || std::memcmp(capture.data(), stream.data(), taken) == 0);
    if (result != 0) {
        // Every byte was read before the hang-up ended the wait.
        require(result == 1);
        require(taken == std::min<std::size_t>(room, stream.size()));
    } else if (left > 0) {
        require(taken >= pattern.size());
        require(std::memcmp(capture.data() + taken - pattern.size(), pattern.data(), pattern.size()) == 0);
    }
    return 0;
}
