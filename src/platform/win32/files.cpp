#include "platform/platform.h"

#include <windows.h>

namespace plat {

bool path_exists(const char* path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

int make_directory(const char* path) {
    if (CreateDirectoryA(path, nullptr)) return dir_created;
    return GetLastError() == ERROR_ALREADY_EXISTS ? dir_exists : dir_failed;
}

FileHandle create_output_file(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? invalid_file : reinterpret_cast<FileHandle>(file);
}

int write_file(FileHandle file, const void* data, std::uint32_t length, std::uint32_t* written) {
    DWORD count = 0;
    BOOL ok = WriteFile(reinterpret_cast<HANDLE>(file), data, length, &count, nullptr);
    *written = count;
    return ok ? 0 : 1;
}

int write_file_from_view(FileHandle file, const FileView* view, std::uint32_t offset, std::uint32_t length,
                         std::uint32_t* written) {
    return write_file(file, view->base + offset, length, written);
}

void close_file(FileHandle file) {
    if (file != invalid_file) CloseHandle(reinterpret_cast<HANDLE>(file));
}

}  // namespace plat
