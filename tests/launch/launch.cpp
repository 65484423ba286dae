// Test helper for the Windows build: starts PROGRAM with exactly the command
// line given, so a test can choose the argv[0] the program sees (Wine itself
// always passes the full path). Exits with the program's exit status.
//   launch.exe PROGRAM "COMMAND LINE"
#include <windows.h>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: launch PROGRAM COMMANDLINE\n");
        return 125;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(argv[1], argv[2], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
        std::fprintf(stderr, "launch: CreateProcessA failed: %lu\n", GetLastError());
        return 126;
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 127;
    GetExitCodeProcess(child.hProcess, &status);
    return static_cast<int>(status);
}
