// Whether the printer answers ICMP echo.
#pragma once

#include <cstdint>

namespace net {

// Opens the echo service once per run; ends the run when it cannot.
void echo_ready_open();

// Up to count probes, delay_ms apart; 0 as soon as one is answered.
int echo_probe(std::uint16_t count, std::uint16_t delay_ms);

}  // namespace net
