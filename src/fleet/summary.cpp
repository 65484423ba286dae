#include "summary.h"

#include <fstream>

#include "platform/platform.h"

#include "text.h"

namespace fleet {

const char summary_header[] = "address\tresult\tseconds\tmessage\tbefore\tafter\tbundle";

namespace {

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

}  // namespace

bool read_summary(const std::string& path, std::vector<SummaryRow>& rows) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f = split_tabs(line);
        // A summary written before the bundle column has none: empty.
        f.resize(7);
        rows.push_back(SummaryRow{f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    return true;
}

bool write_summary(const std::string& path, const std::vector<SummaryRow>& rows) {
    std::string text = std::string(summary_header) + '\n';
    for (const SummaryRow& r : rows)
        text += one_line(r.address) + '\t' + r.result + '\t' + r.seconds + '\t' + one_line(r.message) + '\t' +
                one_line(r.before) + '\t' + one_line(r.after) + '\t' + one_line(r.bundle) + '\n';
    return plat::write_durably(path, text) == 0;
}

}  // namespace fleet
