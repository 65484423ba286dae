#include "ranges.h"

#include <algorithm>
#include <fstream>

namespace find {

namespace {

bool parse_number(const std::string& text, std::uint32_t max, std::uint32_t* value) {
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return false;
    std::uint32_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (n > max) return false;
    *value = n;
    return true;
}

std::string trimmed(const std::string& text) {
    std::size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string::npos) return std::string();
    return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

// Why a range may not be asked, or empty. Those kinds of address reach no
// printer of a site: asking them would talk to this machine or to many.
std::string forbidden(const Range& r) {
    auto holds = [&](std::uint32_t low, std::uint32_t high) { return r.first <= high && r.last >= low; };
    if (holds(0x7F000000u, 0x7FFFFFFFu)) return "it holds loopback addresses (127.0.0.0/8)";
    if (holds(0xE0000000u, 0xEFFFFFFFu)) return "it holds multicast addresses (224.0.0.0/4)";
    if (holds(0x00000000u, 0x00FFFFFFu)) return "it holds addresses of \"this network\" (0.0.0.0/8)";
    if (holds(0xFFFFFFFFu, 0xFFFFFFFFu)) return "it holds the broadcast address 255.255.255.255";
    return std::string();
}

std::string parse_one(const std::string& spec, Range* range) {
    std::size_t slash = spec.find('/');
    std::size_t dash = spec.find('-');
    if (slash != std::string::npos) {
        std::uint32_t base = 0, bits = 0;
        if (!parse_address(spec.substr(0, slash), &base) || !parse_number(spec.substr(slash + 1), 32, &bits))
            return "not a CIDR block A.B.C.D/N";
        std::uint32_t host = bits == 0 ? 0xFFFFFFFFu : (bits == 32 ? 0u : (0xFFFFFFFFu >> bits));
        if ((base & host) != 0) return "host bits are set (the block begins at " + address_text(base & ~host) + ")";
        *range = Range{base, base | host};
    } else if (dash != std::string::npos) {
        if (!parse_address(trimmed(spec.substr(0, dash)), &range->first) ||
            !parse_address(trimmed(spec.substr(dash + 1)), &range->last))
            return "not a range A.B.C.D-E.F.G.H";
        if (range->first > range->last) return "the range ends before it begins";
    } else {
        if (!parse_address(spec, &range->first)) return "not an IPv4 address, A-B range or CIDR block";
        range->last = range->first;
    }
    return forbidden(*range);
}

std::string add_file(const std::string& spec, std::vector<Range>& ranges) {
    std::ifstream in(spec.substr(1));
    if (!in) return "--range " + spec + ": cannot read " + spec.substr(1);
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string text = trimmed(line.substr(0, line.find('#')));
        if (text.empty()) continue;
        Range range;
        std::string why = parse_one(text, &range);
        if (!why.empty()) return "--range " + spec + ", line " + std::to_string(number) + ": " + text + ": " + why;
        ranges.push_back(range);
    }
    return std::string();
}

}  // namespace

bool parse_address(const std::string& text, std::uint32_t* address) {
    std::uint32_t value = 0;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t end = part < 3 ? text.find('.', start) : text.size();
        if (end == std::string::npos) return false;
        std::uint32_t n = 0;
        if (!parse_number(text.substr(start, end - start), 255, &n)) return false;
        value = value << 8 | n;
        start = end + 1;
    }
    *address = value;
    return true;
}

std::string address_text(std::uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
           std::to_string(a & 255);
}

std::string add_spec(const std::string& spec, std::vector<Range>& ranges) {
    if (!spec.empty() && spec[0] == '@') return add_file(spec, ranges);
    Range range;
    std::string why = parse_one(spec, &range);
    if (!why.empty()) return "--range " + spec + ": " + why;
    ranges.push_back(range);
    return std::string();
}

std::vector<Range> merged(std::vector<Range> ranges) {
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
    std::vector<Range> out;
    for (const Range& r : ranges) {
        // 64 bits: a range ending at the top of the space touches nothing after it.
        if (!out.empty() && static_cast<std::uint64_t>(r.first) <= static_cast<std::uint64_t>(out.back().last) + 1)
            out.back().last = std::max(out.back().last, r.last);
        else
            out.push_back(r);
    }
    return out;
}

std::uint64_t address_count(const std::vector<Range>& ranges) {
    std::uint64_t n = 0;
    for (const Range& r : ranges) n += static_cast<std::uint64_t>(r.last) - r.first + 1;
    return n;
}

std::vector<std::uint32_t> addresses_of(const std::vector<Range>& ranges) {
    std::vector<std::uint32_t> out;
    out.reserve(static_cast<std::size_t>(address_count(ranges)));
    for (const Range& r : ranges)
        for (std::uint64_t a = r.first; a <= r.last; ++a) out.push_back(static_cast<std::uint32_t>(a));
    return out;
}

}  // namespace find
