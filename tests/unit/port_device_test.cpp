// The port device on POSIX: a parallel driver may take a buffer in pieces,
// and every byte must still go out in order.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "slow_pipe.h"

namespace {

using slow_pipe::pattern;
using slow_pipe::write_interrupted;

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
