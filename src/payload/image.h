// The payload: the program's own file (or a named file) mapped read-only,
// and the bytes in hand.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace payload {

// Base, 32-bit size and the handles of the read-only view.
using PayloadImage = plat::FileView;

// The bytes now being processed: a range inside the view and, for archive
// entries, the entry's name (owned here, replaced by the next entry).
struct CurrentData {
    const unsigned char* start = nullptr;
    std::uint32_t length = 0;
    char* name = nullptr;
};

extern PayloadImage image;
extern CurrentData current;

// Maps path and makes CurrentData the whole file: 0 on success, 1 when it
// cannot be opened, mapped or viewed, 2 when it is 4 GiB or larger.
int map_payload(const char* path);

// Releases the view; safe when nothing is mapped.
void unmap_payload();

// True when CurrentData begins with the ten-byte image magic.
bool is_firmware_image();

}  // namespace payload
