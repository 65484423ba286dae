#include "platform/platform.h"

#include <windows.h>

namespace plat {

namespace {

std::intptr_t as_value(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
HANDLE as_handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

void close_valid(std::intptr_t* value) {
    if (*value != -1 && *value != 0) CloseHandle(as_handle(*value));
    *value = -1;
}

}  // namespace

int map_file(const char* path, FileView* view) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return map_failed;
    view->file = as_value(file);
    // The high part is asked for only to refuse files a 32-bit size cannot
    // describe; the size used is the low part.
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        close_valid(&view->file);
        return map_failed;
    }
    if (high != 0) {
        close_valid(&view->file);
        return map_too_large;
    }
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        close_valid(&view->file);
        return map_failed;
    }
    view->mapping = as_value(mapping);
    void* base = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (base == nullptr) {
        close_valid(&view->mapping);
        close_valid(&view->file);
        return map_failed;
    }
    view->base = static_cast<const unsigned char*>(base);
    view->size = low;
    return map_ok;
}

void unmap_file(FileView* view) {
    if (view->base != nullptr) UnmapViewOfFile(view->base);
    view->base = nullptr;
    view->size = 0;
    close_valid(&view->mapping);
    close_valid(&view->file);
}

}  // namespace plat
