// A printer's UUID, however a source writes it.
#pragma once

#include <string>

namespace find {

// "urn:uuid:" and 36 lowercase characters, from a UUID with or without that
// prefix, dashes or braces; empty when value is no UUID.
std::string normal_uuid(const std::string& value);

}  // namespace find
