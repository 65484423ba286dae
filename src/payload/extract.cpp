#include "payload/extract.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/finish.h"
#include "payload/image.h"
#include "platform/platform.h"

namespace payload {

namespace {

// Longest directory prefix we build, with its terminator.
constexpr std::size_t prefix_buffer_size = 1024;

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Asks whether an existing name may be replaced. Only the first character
// of the reply counts; the rest of its line is dropped so it cannot answer
// the next question. An Enter alone leaves its drop to eat the line after
// it as well, which is how the tool has always behaved.
bool confirm_overwrite(const char* name) {
    std::printf("\nWarning! %s already exists, overwrite (y/N)?", name);
    std::fflush(stdout);
    int answer = std::getchar();
    if (answer == EOF) return false;
    for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
    }
    return answer == 'y' || answer == 'Y';
}

}  // namespace

bool is_safe_entry_name(const char* name) {
    // Windows honours both slashes and drive prefixes, so a bundle built on
    // one system must be refused the same way on every other.
    if (name[0] == '\\') return false;
    if (is_ascii_letter(name[0]) && name[1] == ':') return false;
    const char* part = name;
    for (const char* p = name;; ++p) {
        if (*p == '\0' || is_separator(*p)) {
            if (p - part == 2 && part[0] == '.' && part[1] == '.') return false;
            if (*p == '\0') return true;
            part = p + 1;
        }
    }
}

int make_parent_dirs(const char* path) {
    char prefix[prefix_buffer_size];
    for (const char* slash = std::strchr(path, '/'); slash != nullptr; slash = std::strchr(slash + 1, '/')) {
        std::size_t length = static_cast<std::size_t>(slash - path);
        if (length >= sizeof prefix) return 1;
        std::memcpy(prefix, path, length);
        prefix[length] = '\0';
        if (plat::make_directory(prefix) == plat::dir_failed) return 1;
    }
    return 0;
}

void extract_entry() {
    const char* name = current.name;
    if (!is_safe_entry_name(name)) {
        std::printf("\nError: Unsafe entry name %s, it would be written outside the current directory\n", name);
        driver::finish(1);
    }
    if (plat::path_exists(name) && !confirm_overwrite(name)) return;
    std::printf("\nExtracting: %s\n", name);
    if (make_parent_dirs(name) != 0) {
        std::printf("\nError: Could not create subdirectory(s) for %s\n", name);
        driver::finish(1);
    }
    plat::FileHandle file = plat::create_output_file(name);
    if (file == plat::invalid_file) {
        std::printf("\nError: Could not create output file %s, error = %d\n", name, plat::last_error());
        driver::finish(1);
    }
    std::uint32_t written = 0;
    std::uint32_t offset = static_cast<std::uint32_t>(current.start - image.base);
    if (plat::write_file_from_view(file, &image, offset, current.length, &written) != 0) {
        // Closing can overwrite the error number, so it is taken first.
        int error = plat::last_error();
        plat::close_file(file);
        std::printf("\nError: Could not write output file %s, error = %d\n", name, error);
        driver::finish(1);
    }
    if (written < current.length) {
        plat::close_file(file);
        std::printf("\nError: Did not write all data to %s\n", name);
        driver::finish(1);
    }
    plat::close_file(file);
}

}  // namespace payload
