// The walk over the stored ZIP archive appended to the payload: local file
// headers found by their signature, no central directory read.
#pragma once

#include <cstdint>

namespace payload {

// Offset of the last byte of the last file entry's data (one less than the
// next offset to scan); starts at 0, so offset 0 is never scanned.
struct ArchiveCursor {
    std::uint32_t offset = 0;
    // The local header of the entry last handed out, for readers of the
    // fields the walk itself does not use.
    std::uint32_t header = 0;
};

extern ArchiveCursor cursor;

// The offset of the first local header signature after pos whose four bytes
// all lie in the image, or a value not below the image size when none.
std::uint64_t find_local_header(std::uint64_t pos);

enum ScanResult { scan_entry = 0, scan_end = 1, scan_damaged = 2, scan_no_memory = 3, scan_directory = 4 };

// Advances to the next local header and makes its entry CurrentData:
// scan_entry for a file, scan_directory for a directory entry (its name ends
// in '/'; the cursor is left on its header, so the search goes on inside its
// data). scan_end when no header follows; scan_damaged when a header's fixed
// part, name, extra field or data would run past the image (nothing of it is
// handed out, and the cursor is left on that header); scan_no_memory when
// the name cannot be copied.
int scan_next_header();

// scan_next_header passing over directory entries: the next file entry, or
// how the walk ended. CurrentData is left on the last header met, so a
// directory entry after the last file is what the walk ends on.
int scan_next_entry();

}  // namespace payload
