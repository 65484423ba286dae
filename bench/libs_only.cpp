// Start-up peer: a program that loads the shared libraries holm loads (the
// CUPS client library and all it pulls in) and does nothing else.
#include <cups/cups.h>

int main(int argc, char**) {
    // Never taken; it keeps the library among those the program needs.
    if (argc > 1000) return static_cast<int>(cupsLastError());
    return 0;
}
