#include "payload/image.h"

#include <cstdio>
#include <cstring>

#include "driver/finish.h"

namespace payload {

PayloadImage image;
CurrentData current;

int map_payload(const char* path) {
    int result = plat::map_file(path, &image);
    if (result != plat::map_ok) return result == plat::map_too_large ? 2 : 1;
    current.start = image.base;
    current.length = image.size;
    return 0;
}

void unmap_payload() { plat::unmap_file(&image); }

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

bool is_firmware_image() {
    static const char magic[10] = {'q', 'U', 'o', 'R', 'd', 'a', 'V', 'i', 'N', 'e'};
    return current.length >= sizeof magic && std::memcmp(current.start, magic, sizeof magic) == 0;
}

}  // namespace payload
