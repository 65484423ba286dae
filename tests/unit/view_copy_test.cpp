// Bytes of a mapped payload written and sent from the file behind the view
// on POSIX: whichever way the kernel takes (or refuses), what arrives is the
// view's range, whole and in order, and failures keep their error number.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "net/sockets.h"
#include "platform/platform.h"
#include "mapped_file.h"
#include "slow_pipe.h"

namespace {

using slow_pipe::pattern;

std::string read_all(int fd) {
    std::string got;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
    return got;
}


const std::string data = pattern(3 << 20);
constexpr std::uint32_t offset = 12345;  // on no page boundary
constexpr std::uint32_t length = (2 << 20) + 7;

TEST(ViewCopy, RangeLandsInAFile) {
    MappedFile payload(data);
    std::string out_path = payload.path + ".out";
    plat::FileHandle out = plat::create_output_file(out_path.c_str());
    ASSERT_NE(out, plat::invalid_file);
    std::uint32_t written = 0;
    EXPECT_EQ(plat::write_file_from_view(out, &payload.view, offset, length, &written), 0);
    EXPECT_EQ(written, length);
    plat::close_file(out);
    int in = open(out_path.c_str(), O_RDONLY);
    EXPECT_TRUE(read_all(in) == data.substr(offset, length));
    close(in);
    unlink(out_path.c_str());
}

TEST(ViewCopy, ShortCopiesIntoAPipeAreContinued) {
    // No file-to-file copy into a pipe: the kernel refuses the first way and
    // its next one comes back short under the ticks.
    MappedFile payload(data);
    int result = -1;
    std::uint32_t written = 0;
    std::string got = slow_pipe::write_interrupted(
        [&](int fd) { result = plat::write_file_from_view(fd, &payload.view, offset, length, &written); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(written, length);
    EXPECT_TRUE(got == data.substr(offset, length)) << "received " << got.size() << " of " << length << " bytes";
}

TEST(ViewCopy, ViewWithoutFileIsWrittenFromMemory) {
    plat::FileView memory;
    memory.base = reinterpret_cast<const unsigned char*>(data.data());
    memory.size = static_cast<std::uint32_t>(data.size());
    std::uint32_t written = 0;
    int result = -1;
    std::string got = slow_pipe::write_interrupted(
        [&](int fd) { result = plat::write_file_from_view(fd, &memory, offset, length, &written); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(written, length);
    EXPECT_TRUE(got == data.substr(offset, length));
}

TEST(ViewCopy, FullDeviceKeepsItsErrorNumber) {
    MappedFile payload(data);
    int full = open("/dev/full", O_WRONLY);
    ASSERT_NE(full, -1);
    std::uint32_t written = 99;
    EXPECT_EQ(plat::write_file_from_view(full, &payload.view, offset, length, &written), 1);
    EXPECT_EQ(plat::last_error(), ENOSPC);
    EXPECT_EQ(written, 0u);
    close(full);
}

TEST(ViewSend, ChunkArrivesWholeFromItsOffset) {
    MappedFile payload(data);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::string got;
    std::thread reader([&] { got = read_all(pair[1]); });
    // As the print socket is fed: chunks of 8192 bytes, the last one short.
    int result = 0;
    for (std::uint32_t done = 0; done < length && result == 0; done += 8192) {
        std::uint32_t chunk = length - done < 8192 ? length - done : 8192;
        result = net::send_all_from_view(pair[0], payload.view, offset + done, static_cast<std::uint16_t>(chunk), 0);
    }
    shutdown(pair[0], SHUT_WR);
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(got == data.substr(offset, length)) << "received " << got.size() << " of " << length << " bytes";
    close(pair[0]);
    close(pair[1]);
}

TEST(ViewSend, ClosedPeerFails) {
    MappedFile payload(data);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    // plat::init ignores SIGPIPE for the program; do the same here.
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(net::send_all_from_view(pair[0], payload.view, offset, 8192, 0), net::send_failed);
    EXPECT_EQ(plat::net_error(), EPIPE);
    close(pair[0]);
}

}  // namespace
