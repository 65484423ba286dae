// DIR/summary.tsv: one line a printer, in the order of the list, after a
// header; the last run's results, which a retry starts from.
#pragma once

#include <string>
#include <vector>

namespace fleet {

struct SummaryRow {
    std::string address;
    std::string result;
    std::string seconds;
    std::string message;
    std::string before;
    std::string after;
    std::string bundle;  // the base name of the bundle it got, or would get
};

extern const char summary_header[];

// Reads the rows of a summary (the header left out). False when there is
// no such file.
bool read_summary(const std::string& path, std::vector<SummaryRow>& rows);

// Writes the summary whole, to a new file flushed to the disk that then
// takes the old one's place: a retry needs the last summary, and one cut
// short would lose it. False when it could not be written.
bool write_summary(const std::string& path, const std::vector<SummaryRow>& rows);

}  // namespace fleet
