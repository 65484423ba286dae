#pragma once

namespace payload {

// Writes CurrentData to the file its entry name gives, below the current
// directory, asking before it replaces anything. Returns when the entry was
// written or skipped; any failure is reported and ends the run with status 1.
void extract_entry();

// Creates every directory prefix of path (each part before a '/'); one that
// exists already counts as made. 0 on success, 1 on the first failure.
int make_parent_dirs(const char* path);

// False for a name that could land outside the current directory: a ".."
// component (either slash separates), a drive prefix such as "C:", or a
// leading backslash. A leading '/' passes here; it fails when its empty
// first prefix cannot be created.
bool is_safe_entry_name(const char* name);

}  // namespace payload
