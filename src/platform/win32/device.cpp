#include "platform/platform.h"

#include <windows.h>

namespace plat {

Device open_device(const char* name) {
    HANDLE device = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    return device == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<Device>(device);
}

int write_device(Device device, const void* data, std::uint32_t length) {
    DWORD count = 0;
    return WriteFile(reinterpret_cast<HANDLE>(device), data, length, &count, nullptr) ? 0 : 1;
}

void close_device(Device device) {
    if (device != 0) CloseHandle(reinterpret_cast<HANDLE>(device));
}

}  // namespace plat
