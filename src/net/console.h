// The printer's Telnet console.
#pragma once

#include <cstdint>

namespace net {

// Each returns 0 on success and 1 after printing why it failed.
int console_login(const char* login, const char* password);
int console_start_download(const char* login, const char* password);
int console_check_download_mode(const char* login, const char* password);
// Runs command and stores what follows it, up to and including the prompt,
// in capture while *capture_left allows; then says quit.
int console_query(const char* login, const char* password, const char* command, char* capture,
                  std::uint16_t* capture_left);

}  // namespace net
