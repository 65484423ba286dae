// The walk over the stored ZIP archive appended to the payload: local file
// headers found by their signature, no central directory read.
#pragma once

#include <cstdint>

namespace payload {

// Offset of the last byte of the last file entry's data (one less than the
// next offset to scan); starts at 0, so offset 0 is never scanned.
struct ArchiveCursor {
    std::uint32_t offset = 0;
};

extern ArchiveCursor cursor;

// The offset of the first local header signature after pos whose four bytes
// all lie in the image, or a value not below the image size when none.
std::uint64_t find_local_header(std::uint64_t pos);

enum ScanResult { scan_entry = 0, scan_end = 1, scan_damaged = 2 };

// Advances to the next file entry and makes it CurrentData. scan_end when
// the archive has no further file entry; scan_damaged when a header's fixed
// part, name, extra field or data would run past the image (nothing of it is
// handed out, and the cursor is left on that header).
int scan_next_entry();

// scan_next_entry for the driver: 0 for an entry, 1 at the end; a damaged
// entry is reported and ends the run with status 1.
int next_entry();

}  // namespace payload
