// The address ranges holm-find asks: parsed from --range SPECs, checked,
// merged where they overlap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace find {

struct Range {
    std::uint32_t first = 0;  // IPv4, host byte order, both ends included
    std::uint32_t last = 0;
};

// The most addresses asked without --large: a /16.
constexpr std::uint64_t large_count = 65536;

// A dotted IPv4 address ("198.18.0.1", four decimal parts of 0-255, no
// leading zeros that could be read as octal).
bool parse_address(const std::string& text, std::uint32_t* address);
std::string address_text(std::uint32_t address);

// The ranges of one SPEC: a CIDR block "A/N", "A-B", a single address, or
// "@FILE" with one of those a line (blank lines and '#' comments left
// out). Adds them to ranges; returns empty or the refusal, which names the
// SPEC (and the file's line). A range holding a loopback (127/8),
// multicast (224/4), "this network" (0/8) or broadcast (255.255.255.255)
// address is refused, as is a block whose address has host bits set.
std::string add_spec(const std::string& spec, std::vector<Range>& ranges);

// The ranges sorted, those that overlap or touch made one.
std::vector<Range> merged(std::vector<Range> ranges);

std::uint64_t address_count(const std::vector<Range>& ranges);

// Every address of the ranges, in order.
std::vector<std::uint32_t> addresses_of(const std::vector<Range>& ranges);

}  // namespace find
