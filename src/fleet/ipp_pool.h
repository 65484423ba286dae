// Threads that ask printers over IPP for the run's loop, which must not
// wait on any one printer: the CUPS library's requests block.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipp.h"

namespace fleet {

struct IppDone {
    std::size_t place;  // the printer's place in the list
    IppAnswer answer;
};

class IppPool {
public:
    IppPool() = default;
    ~IppPool();  // abandons what is still asked and joins the threads
    IppPool(const IppPool&) = delete;
    IppPool& operator=(const IppPool&) = delete;

    // Starts the threads, at most this many requests at once. Empty, or
    // why not all of them could be started (the machine's limits): those
    // that did are ended again then.
    std::string start(std::size_t threads);
    // Asks host for the printer at place; its answer comes through
    // take_done, and plat::wake_post tells the loop.
    void ask(std::size_t place, const std::string& host);
    // The answers that came since the last call.
    std::vector<IppDone> take_done();
    // Hands an answer to the loop, as the threads do (tests use it too).
    void answered(IppDone done);
    // Ends every request under way within about a second, as unanswered;
    // queued ones are dropped.
    void abandon();

private:
    void serve();

    std::mutex lock_;
    std::condition_variable work_;
    std::deque<std::pair<std::size_t, std::string>> asked_;
    std::vector<IppDone> done_;
    bool closing_ = false;
    int cancel_ = 0;  // read by the library as it connects
    std::vector<std::thread> threads_;
};

}  // namespace fleet
