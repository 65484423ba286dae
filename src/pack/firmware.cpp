#include "firmware.h"

#include <vector>

namespace pack {

namespace {

const std::string line_start = "holm-firmware: ";

std::vector<std::string> values_of(const std::string& comment) {
    std::vector<std::string> values;
    for (std::size_t start = 0; start < comment.size();) {
        std::size_t end = comment.find('\n', start);
        if (end == std::string::npos) end = comment.size();
        if (comment.compare(start, line_start.size(), line_start) == 0)
            values.push_back(comment.substr(start + line_start.size(), end - start - line_start.size()));
        start = end + 1;
    }
    return values;
}

}  // namespace

bool split_firmware(const std::string& text, std::string* name, std::string* version) {
    std::size_t equals = text.find('=');
    std::string before = equals == std::string::npos ? "" : text.substr(0, equals);
    std::string after = equals == std::string::npos ? text : text.substr(equals + 1);
    if (after.empty() || after.find('=') != std::string::npos || (equals != std::string::npos && before.empty()))
        return false;
    // A control byte could end the comment line early, or forge another.
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    *name = before;
    *version = after;
    return true;
}

std::string firmware_comment(const std::string& firmware) {
    return firmware.empty() ? std::string() : line_start + firmware + "\n";
}

std::string firmware_of(const std::string& comment) {
    std::vector<std::string> values = values_of(comment);
    return values.empty() ? std::string() : values.front();
}

std::size_t firmware_lines(const std::string& comment) { return values_of(comment).size(); }

}  // namespace pack
