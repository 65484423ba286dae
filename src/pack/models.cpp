#include "models.h"

#include <cstdint>
#include <cstdio>

namespace pack {

namespace {

// IPP's text(127), the most a printer-make-and-model can be.
constexpr std::size_t longest_pattern = 127;
const std::string line_start = "holm-for: ";
constexpr std::size_t none = std::string::npos;

struct Char {
    std::uint32_t code;
    std::size_t length;  // in bytes
};

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

// The character that begins at i. A byte that begins no well-formed UTF-8
// sequence stands alone, as a value above every code point, so that it
// matches only itself and never the character its Latin-1 reading names.
Char char_at(const std::string& s, std::size_t i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const Char alone{0x110000u + lead, 1};
    if (lead < 0x80) return {lead, 1};
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || i + length > s.size()) return alone;
    std::uint32_t code = lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(s[i + k]);
        if ((next & 0xC0) != 0x80) return alone;
        code = code << 6 | (next & 0x3Fu);
    }
    static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return alone;
    return {code, length};
}

std::uint32_t folded(std::uint32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

std::uint32_t other_case(std::uint32_t c) {
    if (c >= 'a' && c <= 'z') return c - ('a' - 'A');
    return folded(c);
}

// A character of the pattern as it stands, the '\' before it included.
Char literal_at(const std::string& pattern, std::size_t p) {
    if (pattern[p] != '\\' || p + 1 == pattern.size()) return char_at(pattern, p);
    Char c = char_at(pattern, p + 1);
    return {c.code, c.length + 1};
}

bool in_range(std::uint32_t c, std::uint32_t low, std::uint32_t high) {
    return (c >= low && c <= high) || (other_case(c) >= low && other_case(c) <= high);
}

// The set that opens at p (its '['): where it ends, past its ']', or none
// when no ']' closes it; and whether c is one of its characters.
std::size_t scan_set(const std::string& pattern, std::size_t p, std::uint32_t c, bool& member) {
    std::size_t q = p + 1;
    const bool negated = q < pattern.size() && pattern[q] == '!';
    if (negated) ++q;
    member = false;
    for (bool first = true; q < pattern.size() && (first || pattern[q] != ']'); first = false) {
        Char low = literal_at(pattern, q);
        q += low.length;
        Char high = low;
        if (q + 1 < pattern.size() && pattern[q] == '-' && pattern[q + 1] != ']') {
            high = literal_at(pattern, q + 1);
            q += 1 + high.length;
        }
        member = member || in_range(c, low.code, high.code);
    }
    if (q >= pattern.size()) return none;
    member = member != negated;
    return q + 1;
}

// Where the element of the pattern at p (not a '*') ends when it matches
// c, or none.
std::size_t match_one(const std::string& pattern, std::size_t p, Char c) {
    if (pattern[p] == '?') return p + 1;
    if (pattern[p] == '[') {
        bool member;
        std::size_t end = scan_set(pattern, p, c.code, member);
        return member ? end : none;
    }
    Char own = literal_at(pattern, p);
    return folded(own.code) == folded(c.code) ? p + own.length : none;
}

bool is_utf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); i += char_at(text, i).length)
        if (char_at(text, i).code > 0x10FFFF) return false;
    return true;
}

}  // namespace

std::size_t utf8_length(const std::string& text, std::size_t i) {
    Char c = char_at(text, i);
    return c.code > 0x10FFFF ? 0 : c.length;
}

std::string pattern_problem(const std::string& pattern) {
    if (pattern.empty()) return "empty pattern";
    if (pattern.size() > longest_pattern) {
        // Built in steps: GCC 12 warns falsely (-Wrestrict) on the one expression.
        std::string why = "longer than ";
        why += std::to_string(longest_pattern);
        return why + " bytes, the most a printer's make and model can be";
    }
    for (unsigned char c : pattern)
        if (is_control(c)) return "control character in the pattern";
    if (!is_utf8(pattern)) return "not UTF-8 text, as a printer's make and model is";
    for (std::size_t p = 0; p < pattern.size();) {
        if (pattern[p] == '\\' && p + 1 == pattern.size()) return "a lone '\\' at the end";
        if (pattern[p] != '[') {
            p += literal_at(pattern, p).length;
            continue;
        }
        bool member;
        p = scan_set(pattern, p, 0, member);
        if (p == none) return "a '[' that no ']' closes";
    }
    return "";
}

std::string models_comment(const std::vector<std::string>& patterns) {
    std::string comment;
    for (const std::string& pattern : patterns) comment += line_start + pattern + "\n";
    return comment;
}

std::vector<std::string> models_of(const std::string& comment) {
    std::vector<std::string> patterns;
    for (std::size_t start = 0; start < comment.size();) {
        std::size_t end = comment.find('\n', start);
        if (end == std::string::npos) end = comment.size();
        // A line that is cut short cannot compare equal: the prefix holds no line break.
        if (comment.compare(start, line_start.size(), line_start) == 0)
            patterns.push_back(comment.substr(start + line_start.size(), end - start - line_start.size()));
        start = end + 1;
    }
    return patterns;
}

// Each element in turn against the model's characters; on a mismatch the
// last '*' takes one character more and the rest is tried again from
// there, which is all the backtracking a glob needs.
bool model_matches(const std::string& pattern, const std::string& model) {
    if (!pattern_problem(pattern).empty()) return false;
    std::size_t p = 0, m = 0;
    std::size_t after_star = none, star_took_to = 0;
    while (m < model.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            after_star = ++p;
            star_took_to = m;
            continue;
        }
        Char c = char_at(model, m);
        std::size_t next = p < pattern.size() ? match_one(pattern, p, c) : none;
        if (next != none) {
            p = next;
            m += c.length;
            continue;
        }
        if (after_star == none) return false;
        p = after_star;
        star_took_to += char_at(model, star_took_to).length;
        m = star_took_to;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string shown_pattern(const std::string& pattern) {
    std::string out = "\"";
    for (unsigned char c : pattern) {
        if (!is_control(c)) {
            out += static_cast<char>(c);
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
        out += escaped;
    }
    return out + "\"";
}

bool bundle_is_for(const std::vector<std::string>& patterns, const std::string& model) {
    if (patterns.empty()) return true;
    for (const std::string& pattern : patterns)
        if (model_matches(pattern, model)) return true;
    return false;
}

}  // namespace pack
