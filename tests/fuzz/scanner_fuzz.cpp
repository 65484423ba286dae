// The archive walk over an arbitrary payload image, entry by entry as the
// driver takes them, with the bounds every entry must keep.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "payload/extract.h"
#include "payload/image.h"
#include "payload/scanner.h"

namespace {

volatile unsigned checksum;

// Names the broken invariant by its line before the fuzzer takes the abort.
void require(bool holds, int line = __builtin_LINE()) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken at %s:%d\n", __FILE__, line);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // map_file never hands out more than 32 bits of size.
    if (size > 0xFFFFFFFFu) return 0;
    payload::image = {};
    payload::image.base = data;
    payload::image.size = static_cast<std::uint32_t>(size);
    payload::cursor.offset = 0;
    const std::uint8_t* end = data + size;
    // Offset 0 is never scanned, so even the first entry moves the cursor.
    std::uint64_t previous = 0;
    for (;;) {
        int result = payload::scan_next_entry();
        if (result == payload::scan_end) {
            // Left on the last directory entry passed over, if any.
            require(payload::cursor.offset >= previous);
            break;
        }
        require(payload::cursor.offset < size);
        require(payload::cursor.offset > previous);
        if (result == payload::scan_damaged) break;
        require(result == payload::scan_entry);
        const unsigned char* start = payload::current.start;
        require(start >= data && start <= end);
        require(payload::current.length <= static_cast<std::uint64_t>(end - start));
        // The last byte of the entry is where the next search starts from.
        require(payload::cursor.offset == static_cast<std::uint64_t>(start - data) + payload::current.length - 1);
        payload::is_firmware_image();
        // Reads every byte handed out, as a download would.
        unsigned sum = 0;
        for (std::uint32_t i = 0; i < payload::current.length; ++i) sum += start[i];
        checksum = sum;
        payload::is_safe_entry_name(payload::current.name);
        previous = payload::cursor.offset;
    }
    payload::image = {};
    return 0;
}
