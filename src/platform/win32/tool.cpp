// holm-pack's tools (osslsigncode.exe): started with their input in a pipe
// and their output gathered from another.
#include "platform/platform.h"

#include <windows.h>

namespace plat {

namespace {

// One argument as the C runtime's parser reads it back: quoted, with the
// backslashes before a quote (and before the closing one) doubled.
std::string quoted(const std::string& arg) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

void close_handle(HANDLE& h) {
    if (h != nullptr) CloseHandle(h);
    h = nullptr;
}

}  // namespace

int run_tool(const std::vector<std::string>& argv, const std::string& input, std::string* output) {
    output->clear();
    if (argv.empty() || input.size() > 16384) return -1;
    std::string line;
    for (const std::string& a : argv) {
        if (!line.empty()) line += ' ';
        line += quoted(a);
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
    if (!CreatePipe(&in_read, &in_write, &inherit, 65536) || !CreatePipe(&out_read, &out_write, &inherit, 0)) {
        close_handle(in_read);
        close_handle(in_write);
        return -1;
    }
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    DWORD written = 0;
    bool whole = input.empty() ||
                 (WriteFile(in_write, input.data(), static_cast<DWORD>(input.size()), &written, nullptr) &&
                  written == input.size());
    close_handle(in_write);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = in_read;
    start.hStdOutput = out_write;
    start.hStdError = out_write;
    PROCESS_INFORMATION process{};
    bool started = whole && CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                           nullptr, &start, &process);
    close_handle(in_read);
    close_handle(out_write);
    if (!started) {
        close_handle(out_read);
        *output = "cannot be started (error " + std::to_string(GetLastError()) + ")";
        return -1;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(out_read, buffer, sizeof buffer, &got, nullptr) && got > 0) output->append(buffer, got);
    close_handle(out_read);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

// osslsigncode's name for its standard input with -readpass.
std::string standard_input_name() { return "-"; }

}  // namespace plat
