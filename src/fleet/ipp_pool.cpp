#include "ipp_pool.h"

#include <atomic>
#include <system_error>

#include "platform/platform.h"

namespace fleet {

IppPool::~IppPool() {
    abandon();
    for (std::thread& t : threads_) t.join();
}

std::string IppPool::start(std::size_t threads) {
    try {
        for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { serve(); });
    } catch (const std::system_error& e) {
        abandon();
        for (std::thread& t : threads_) t.join();
        threads_.clear();
        return std::string("cannot start the threads that read the printers: ") + e.what();
    }
    return std::string();
}

void IppPool::ask(std::size_t place, const std::string& host) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        asked_.emplace_back(place, host);
    }
    work_.notify_one();
}

std::vector<IppDone> IppPool::take_done() {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<IppDone> taken;
    taken.swap(done_);
    return taken;
}

void IppPool::answered(IppDone done) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        done_.push_back(std::move(done));
    }
    plat::wake_post();
}

void IppPool::abandon() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        closing_ = true;
        asked_.clear();
        std::atomic_ref<int>(cancel_).store(1);
    }
    work_.notify_all();
}

void IppPool::serve() {
    for (;;) {
        std::pair<std::size_t, std::string> job;
        {
            std::unique_lock<std::mutex> hold(lock_);
            work_.wait(hold, [this] { return closing_ || !asked_.empty(); });
            if (closing_) return;
            job = std::move(asked_.front());
            asked_.pop_front();
        }
        answered(IppDone{job.first, ask_printer(job.second, fleet_read_bounds, &cancel_)});
    }
}

}  // namespace fleet
