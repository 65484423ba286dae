// Start-up peer: a program that loads the CUPS client library and all it
// pulls in, and does nothing else; what holm's spooler pays at its first use
// (and what every start paid while holm was linked with it).
#include <cups/cups.h>

int main(int argc, char**) {
    // Never taken; it keeps the library among those the program needs.
    if (argc > 1000) return static_cast<int>(cupsLastError());
    return 0;
}
