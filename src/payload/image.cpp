#include "payload/image.h"

#include <cstring>

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

bool is_firmware_image() {
    static const char magic[10] = {'q', 'U', 'o', 'R', 'd', 'a', 'V', 'i', 'N', 'e'};
    return current.length >= sizeof magic && std::memcmp(current.start, magic, sizeof magic) == 0;
}

}  // namespace payload
