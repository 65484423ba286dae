#include "clock.h"

#include <chrono>

namespace fleet {

double wall_seconds() {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()) / 1000.0;
}

}  // namespace fleet
