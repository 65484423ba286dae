// PRINTERS: one printer a line, ADDRESS [LOGIN [PASSWORD]].
#pragma once

#include <string>
#include <vector>

namespace fleet {

struct ListedPrinter {
    std::string address;
    std::string login;     // empty: the bundle's default
    std::string password;  // empty: the empty password
    std::size_t line = 0;  // its line of the list, from 1
};

// Reads the printers of text, in order. Fields are separated by blanks or
// tabs; blank lines and those whose first field begins with '#' are left
// out; a CR ending a line is dropped. Returns an empty string, or the
// refusal of the first bad line ("WHERE, line N: ..."), which never shows
// the line itself: it may hold a password.
std::string read_printer_list(const std::string& text, const std::string& where,
                              std::vector<ListedPrinter>& printers);

// True for a name the list accepts as an address: letters, digits, '.',
// '_' and '-', beginning with a letter or digit.
bool is_address(const std::string& text);

}  // namespace fleet
