// What a resolved DNS-SD service says, turned into a sighting: the TXT
// keys holm-find reads, checked for garbage, and whether its address could
// be a printer's. Free of Avahi, so that it can be tested on its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sighting.h"
#include "uuid.h"

namespace find {

// The TXT record's items as the raw bytes they arrived as ("key=value").
using TxtItems = std::vector<std::string>;

// The value of key (case-insensitive, as DNS-SD keys are), the first one
// when it repeats; found is false when the key is absent.
std::string txt_value(const TxtItems& txt, const std::string& key, bool& found);


// True when text is UTF-8 without control characters.
bool clean_text(const std::string& text);

// False for addresses no printer answers on: 0.0.0.0/8, loopback,
// multicast, reserved and broadcast. bytes in network order.
bool printer_address(const std::uint8_t bytes[4]);

// The sighting of one resolved service. A name, ty, product or UUID that
// holds control characters or is not UTF-8 is not trusted: the sighting's
// problem says which, its model and uuid are left empty and control
// characters of its name become '?'.
Sighting dns_sd_sighting(const std::string& address, const std::string& name, const std::string& type,
                         const TxtItems& txt);

}  // namespace find
