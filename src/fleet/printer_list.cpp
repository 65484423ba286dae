#include "printer_list.h"

#include <unordered_map>

#include "text.h"

namespace fleet {

namespace {

bool is_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string::npos) break;
        std::size_t end = line.find_first_of(" \t", at);
        if (end == std::string::npos) end = line.size();
        fields.push_back(line.substr(at, end - at));
        at = end;
    }
    return fields;
}

}  // namespace

bool is_address(const std::string& text) {
    if (text.empty() || !is_alnum(text[0])) return false;
    for (char c : text)
        if (!is_alnum(c) && c != '.' && c != '_' && c != '-') return false;
    return true;
}

std::string read_printer_list(const std::string& text, const std::string& where,
                              std::vector<ListedPrinter>& printers) {
    std::unordered_map<std::string, std::size_t> first_line;
    std::size_t number = 0;
    for (const std::string& line : lines_of(text)) {
        ++number;
        std::vector<std::string> fields = fields_of(line);
        if (fields.empty() || fields[0][0] == '#') continue;
        std::string at = where + ", line " + std::to_string(number) + ": ";
        if (fields.size() > 3) return at + "more than three fields";
        if (!is_address(fields[0])) return at + "not an address: " + fields[0];
        auto [seen, fresh] = first_line.emplace(fields[0], number);
        if (!fresh)
            return at + fields[0] + " is listed twice (first on line " + std::to_string(seen->second) + ")";
        fields.resize(3);
        printers.push_back(ListedPrinter{fields[0], fields[1], fields[2], number});
    }
    return std::string();
}

}  // namespace fleet
