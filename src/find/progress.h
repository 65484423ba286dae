// What holm-find says while it asks: on standard error, and only when that
// is a terminal, so that logs and pipes get nothing but the findings.
#pragma once

#include <cstddef>
#include <string>

namespace find {

struct Progress {
    bool shown = false;
    std::size_t total = 0;
    std::size_t last = static_cast<std::size_t>(-1);
};

Progress progress_for(std::size_t total);

// The count of addresses asked so far, on one line rewritten in place.
void show_asked(Progress& p, std::size_t done);

// A step of the run, on a line of its own.
void show_step(const Progress& p, const std::string& step);

}  // namespace find
