#include "records.h"

#include <cstdio>

#include "text.h"

namespace fleet {

void write_record(const std::string& folder, const char* name, const std::string& value) {
    std::string path = folder + "/" + name;
    if (std::FILE* f = std::fopen(path.c_str(), "we")) {
        std::fputs((value + "\n").c_str(), f);
        std::fclose(f);
    }
}

std::string last_error_line(const std::string& output) {
    static const std::string prefix = "Error: ";
    std::string found;
    for (const std::string& line : lines_of(output))
        if (line.rfind(prefix, 0) == 0) found = line.substr(prefix.size());
    for (char& c : found)
        if (c == '\t') c = ' ';
    return found;
}

}  // namespace fleet
