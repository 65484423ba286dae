#pragma once

namespace driver {

// The one exit path after option handling: with -d prints "s" or "f" and a
// newline, shuts the socket library down, unmaps the payload, closes the port
// and ends the process with status.
[[noreturn]] void finish(int status);

}  // namespace driver
