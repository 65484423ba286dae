#include "uuid.h"

#include <cctype>

namespace find {

std::string normal_uuid(const std::string& value) {
    std::size_t first = value.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    std::string v = value.substr(first, value.find_last_not_of(" \t") + 1 - first);
    for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (v.rfind("urn:uuid:", 0) == 0) v.erase(0, 9);
    if (v.size() >= 2 && v.front() == '{' && v.back() == '}') v = v.substr(1, v.size() - 2);
    std::string hex;
    for (std::size_t i = 0; i < v.size(); ++i) {
        bool dash_place = i == 8 || i == 13 || i == 18 || i == 23;
        if (v[i] == '-' && v.size() == 36 && dash_place) continue;
        if (!std::isxdigit(static_cast<unsigned char>(v[i]))) return "";
        hex += v[i];
    }
    if (hex.size() != 32 || (v.size() != 32 && v.size() != 36)) return "";
    return "urn:uuid:" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20);
}

}  // namespace find
