#include "text.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fleet {

bool all_digits(const std::string& text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string seconds_text(double seconds) {
    long millis = seconds <= 0 ? 0 : static_cast<long>(seconds * 1000.0 + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld.%03ld", millis / 1000, millis % 1000);
    return text;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace fleet
