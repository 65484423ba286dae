#include "progress.h"

#include <cstdio>

#include "platform/find.h"

namespace find {

Progress progress_for(std::size_t total) {
    Progress p;
    p.shown = plat::progress_on_stderr();
    p.total = total;
    return p;
}

void show_asked(Progress& p, std::size_t done) {
    // A line a hundredth of the way, not one a address.
    std::size_t step = p.total / 100 + 1;
    if (!p.shown || done == p.last || (done / step == p.last / step && done != p.total)) return;
    p.last = done;
    std::fprintf(stderr, "\rholm-find: %zu of %zu addresses asked on port 631%s", done, p.total,
                 done == p.total ? "\n" : "");
}

void show_step(const Progress& p, const std::string& step) {
    if (p.shown) std::fprintf(stderr, "holm-find: %s\n", step.c_str());
}

}  // namespace find
