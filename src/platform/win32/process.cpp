#include "platform/platform.h"

#include <windows.h>

namespace plat {

void init() {}

int last_error() { return static_cast<int>(GetLastError()); }

void sleep_ms(std::uint32_t ms) { SleepEx(ms, TRUE); }

std::uint64_t monotonic_ms() { return GetTickCount64(); }

}  // namespace plat
