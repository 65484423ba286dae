#include "dns_sd_record.h"

#include <cctype>

#include "models.h"

namespace find {
namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool same_key(const std::string& item, std::size_t length, const std::string& key) {
    if (length != key.size()) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (lower(item[i]) != lower(key[i])) return false;
    return true;
}

std::string trimmed(const std::string& s) {
    std::size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    std::size_t end = s.find_last_not_of(" \t");
    return s.substr(begin, end - begin + 1);
}

bool control(unsigned char c) { return c < 0x20 || c == 0x7f; }

std::string without_control(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t n = pack::utf8_length(s, i);
        if (n == 0 || (n == 1 && control(static_cast<unsigned char>(s[i])))) {
            out += '?';
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

std::string model_of(const TxtItems& txt, std::string& bad_key) {
    bool found = false;
    std::string ty = txt_value(txt, "ty", found);
    if (found && !clean_text(ty)) {
        bad_key = "ty";
        return "";
    }
    ty = trimmed(ty);
    if (!ty.empty()) return ty;
    std::string product = txt_value(txt, "product", found);
    if (found && !clean_text(product)) {
        bad_key = "product";
        return "";
    }
    product = trimmed(product);
    if (product.size() >= 2 && product.front() == '(' && product.back() == ')')
        product = trimmed(product.substr(1, product.size() - 2));
    return product;
}

void add_problem(Sighting& s, const std::string& why) {
    s.problem += (s.problem.empty() ? "" : "; ") + why;
}

}  // namespace

std::string txt_value(const TxtItems& txt, const std::string& key, bool& found) {
    for (const std::string& item : txt) {
        std::size_t equals = item.find('=');
        std::size_t length = equals == std::string::npos ? item.size() : equals;
        if (!same_key(item, length, key)) continue;
        found = true;
        return equals == std::string::npos ? "" : item.substr(equals + 1);
    }
    found = false;
    return "";
}

bool clean_text(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = pack::utf8_length(text, i);
        if (n == 0 || (n == 1 && control(static_cast<unsigned char>(text[i])))) return false;
        i += n;
    }
    return true;
}

bool printer_address(const std::uint8_t bytes[4]) {
    if (bytes[0] == 0 || bytes[0] == 127 || bytes[0] >= 224) return false;
    return true;
}

Sighting dns_sd_sighting(const std::string& address, const std::string& name, const std::string& type,
                         const TxtItems& txt) {
    Sighting s;
    s.address = address;
    s.via = "dns-sd";
    s.has_ipp = type == "_ipp._tcp" || type == "_ipps._tcp";
    s.name = without_control(name);
    if (s.name != name) add_problem(s, "its DNS-SD instance name holds control characters or is not UTF-8");
    std::string bad_key;
    s.model = model_of(txt, bad_key);
    if (!bad_key.empty())
        add_problem(s, "its DNS-SD TXT key " + bad_key + " holds control characters or is not UTF-8");
    bool found = false;
    std::string uuid = txt_value(txt, "UUID", found);
    if (found && !trimmed(uuid).empty()) {
        s.uuid = normal_uuid(uuid);
        if (s.uuid.empty()) add_problem(s, "its DNS-SD TXT key UUID is no UUID");
    }
    if (!s.problem.empty()) {
        s.model.clear();
        s.uuid.clear();
    }
    return s;
}

}  // namespace find
