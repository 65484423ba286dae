#include "values.h"

#include "firmware.h"
#include "text.h"

namespace fleet {

namespace {

// Digits without a leading zero, at most max_digits of them.
bool plain_number(const std::string& text, std::size_t max_digits, long* value) {
    if (text.empty() || text.size() > max_digits || text[0] == '0' || !all_digits(text)) return false;
    *value = std::stol(text);
    return true;
}

bool share_or_count(const std::string& text, bool* share, long* value) {
    *share = !text.empty() && text.back() == '%';
    std::string number = *share ? text.substr(0, text.size() - 1) : text;
    return plain_number(number, *share ? 3 : 6, value) && (!*share || *value <= 100);
}

// HH:MM or HH:MM:SS as seconds of the day.
bool time_of_day(const std::string& text, long* seconds) {
    if (text.size() != 5 && text.size() != 8) return false;
    long parts[3] = {0, 0, 0};
    for (std::size_t i = 0; i * 3 < text.size(); ++i) {
        std::string two = text.substr(i * 3, 2);
        if (two.size() != 2 || !all_digits(two) || (i * 3 + 2 < text.size() && text[i * 3 + 2] != ':')) return false;
        parts[i] = std::stol(two);
    }
    if (parts[0] > 23 || parts[1] > 59 || parts[2] > 59) return false;
    *seconds = parts[0] * 3600 + parts[1] * 60 + parts[2];
    return true;
}

}  // namespace

bool count_value(const std::string& text, long* value) { return plain_number(text, 6, value); }

bool limit_value(const std::string& text, Limit* limit) {
    bool share = false;
    long value = 0;
    if (!share_or_count(text, &share, &value)) return false;
    *limit = Limit{true, share, value, text};
    return true;
}

bool waves_value(const std::string& text, std::vector<WaveSize>* waves) {
    std::vector<WaveSize> read;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = text.find(',', start);
        WaveSize size;
        if (!share_or_count(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start),
                            &size.share, &size.value))
            return false;
        read.push_back(size);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    *waves = read;
    return true;
}

bool duration_value(const std::string& text, long* seconds) {
    if (text.empty()) return false;
    long unit = 1;
    std::string number = text;
    switch (text.back()) {
    case 's': unit = 1; number.pop_back(); break;
    case 'm': unit = 60; number.pop_back(); break;
    case 'h': unit = 3600; number.pop_back(); break;
    default: break;
    }
    long value = 0;
    if (!plain_number(number, 6, &value) || value * unit > 7 * 24 * 3600) return false;
    *seconds = value * unit;
    return true;
}

bool window_value(const std::string& text, Window* window) {
    std::size_t dash = text.find('-');
    if (dash == std::string::npos) return false;
    Window read{true, 0, 0, text};
    if (!time_of_day(text.substr(0, dash), &read.open) || !time_of_day(text.substr(dash + 1), &read.close) ||
        read.open == read.close)
        return false;
    *window = read;
    return true;
}

bool firmware_value(const std::string& text, std::string* name, std::string* version) {
    return pack::split_firmware(text, name, version);
}

}  // namespace fleet
