// The values holm-fleet's options take, read from their text.
#pragma once

#include <string>
#include <vector>

#include "settings.h"

namespace fleet {

// A whole number from 1 to 999999 (-j, --canary).
bool count_value(const std::string& text, long* value);
// 1% to 100%, or a count from 1 to 999999 (--max-failed).
bool limit_value(const std::string& text, Limit* limit);
// Sizes separated by commas, each a count or a share (--waves 1,5,20%,100%).
bool waves_value(const std::string& text, std::vector<WaveSize>* waves);
// Seconds, minutes or hours: 90, 90s, 10m, 2h (--pause); at most a week.
bool duration_value(const std::string& text, long* seconds);
// HH:MM-HH:MM in local time, each end perhaps with :SS (--window); the two
// ends must differ.
bool window_value(const std::string& text, Window* window);
// [NAME=]VERSION: neither part empty, one '=' at most, no control bytes.
bool firmware_value(const std::string& text, std::string* name, std::string* version);

}  // namespace fleet
