// The printer's set-up commands that frame a download in automatic mode.
// They are sent exactly as written, with no terminator after the last line.
#pragma once

#include <cstdint>

namespace local {

struct Command {
    const char* text;
    std::uint32_t length;
};

template <std::uint32_t N>
constexpr Command make_command(const char (&text)[N]) {
    return Command{text, N - 1};
}

// Puts the printer into download mode so the data that follows is stored.
inline constexpr Command auto_download = make_command("!ZQD_SETUP\nFILE_IO-AUTODOWN;\"\".\nZQD_END\n");
// Takes the printer out of download mode again.
inline constexpr Command capture = make_command("!ZQD_SETUP\nFILE_IO-CAPTURE;\"\".\nZQD_END\n");
// Makes the printer reload its configuration, picking up what was stored.
inline constexpr Command config_reset = make_command("!ZQD_SETUP\nCONFIG-RESET\nZQD_END\n");

static_assert(auto_download.length == 40);
static_assert(capture.length == 39);
static_assert(config_reset.length == 32);

}  // namespace local
