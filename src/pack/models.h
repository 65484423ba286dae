// The printer models a bundle is for: shell-style patterns matched against
// a printer's printer-make-and-model (IPP text, UTF-8, at most 127 bytes),
// recorded in the archive comment, where a signature of the bundle covers
// them and no part of the program reads them.
//
// The comment holds one line per pattern, "holm-for: PATTERN\n", in the
// order given; lines of any other form are no part of the record.
//
// A pattern: '*' matches any run of characters, '?' one character,
// "[...]" one character of the set (ranges "a-z", "[!...]" for any other
// character, ']' first stands for itself), '\' takes the next character as
// it stands. Letters match without regard to ASCII case; a character is a
// whole UTF-8 sequence, so '?' matches "é" as it matches "e".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pack {

// Why a pattern cannot name printer models, or empty: an empty pattern,
// one longer than 127 bytes (it could match no make-and-model of its own
// length), one with a control byte, one that is not UTF-8, a '[' that no
// ']' closes, or a lone '\' at the end.
std::string pattern_problem(const std::string& pattern);

// The archive comment that records the patterns (empty for none). The
// patterns are taken as pattern_problem accepts them: with no control byte,
// so no line break, and none of the ZIP signatures, which all hold one.
std::string models_comment(const std::vector<std::string>& patterns);

// The patterns an archive comment records, in order; none for a comment
// that is not ours. They are as stored: a damaged or hand-made comment may
// hold one that pattern_problem refuses.
std::vector<std::string> models_of(const std::string& comment);

// Whether a printer's make-and-model matches the pattern (shell-style,
// ASCII case ignored), the whole of it. A pattern that pattern_problem
// refuses matches nothing.
bool model_matches(const std::string& pattern, const std::string& model);

// Whether a bundle that names these patterns is for a printer of this
// make-and-model: one of them matches it, or the bundle names none (it is
// for every printer). The one rule holm-fleet chooses a printer's bundle
// by and holm-find keeps a printer by.
bool bundle_is_for(const std::vector<std::string>& patterns, const std::string& model);

// The length in bytes of the well-formed UTF-8 character that begins at
// text[i], or 0 when none does (an overlong form, a surrogate, a value past
// U+10FFFF, a cut sequence): what makes text a printer's text.
std::size_t utf8_length(const std::string& text, std::size_t i);

// A pattern fit for a message: between double quotes, control bytes
// written as \xNN.
std::string shown_pattern(const std::string& pattern);

}  // namespace pack
