#include "payload/fatal.h"

#include <cinttypes>
#include <cstdio>

#include "driver/finish.h"
#include "driver/settings.h"
#include "payload/image.h"
#include "payload/scanner.h"

namespace payload {

void open_payload(const char* path) {
    int result = map_payload(path);
    if (result == 2) {
        std::printf("\nError: %s is 4 GiB or larger, too large for download data\n", path);
        driver::finish(1);
    }
    if (result != 0) {
        std::printf("\nError: Could not find download data in %s\n", path);
        driver::finish(1);
    }
}

int next_entry() {
    int result = scan_next_entry();
    if (result == scan_no_memory) {
        std::printf("\nError: Out of memory\n");
        driver::finish(1);
    }
    if (result == scan_damaged) {
        std::printf("\nError: Archive entry at offset %" PRIu32 " runs past the end of %s\n", cursor.offset,
                    driver::settings.payload_path);
        driver::finish(1);
    }
    return result == scan_entry ? 0 : 1;
}

}  // namespace payload
