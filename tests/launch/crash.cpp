// Test helper for the Windows build: prints one line, then dies of an
// access violation that nothing handles, so the harness can show that such
// a crash fails a test the way a crash of the program would.
#include <windows.h>

#include <cstdio>

int main() {
    std::printf("crashing\n");
    std::fflush(stdout);
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return 0;
}
