#include <cstdio>
#include <cstdlib>

#include "driver/options.h"

namespace driver {

namespace {

const char* const short_help[] = {
    "Usage: cmd {-h} {-x} {-pb} {-n ip} {-l s} {-w s} {-a} {file}",
    "  where:",
    "    -h     = help",
    "    -x     = extended help",
    "    -a     = automatic mode",
    "             (do not put printer in download mode,",
    "              ignored for network downloads)",
    "    -pb    = send data to LPT port",
    "    -pbSharedPrinterName = send data to the shared printer",
    "    -n ip  = network download, where ip = printer IP address",
    "    -l s   = telnet login, defined by string 's' (default 'root')",
    "    -w s   = telnet password, defined by string 's' (default '')",
    "    file   = file to download (default is attached ZIP file)",
    "If no options given, extracts attached ZIP file contents into",
    "the current directory.",
    "Warning: The network download may not work with older printer software.",
    "Warning: The automatic mode may not work with older printer software.",
    "HOLM Version 0.5",
    nullptr,
};

const char* const extended_help[] = {
    "Usage: cmd {-h} {-x} {-d} {-pb} {-n ip} {-m v} {-l s} {-w s} {-a} {file}",
    "  where:",
    "    -h     = help",
    "    -x     = extended help",
    "    -a     = automatic mode",
    "             (do not put printer in download mode,",
    "              ignored for network downloads)",
    "    -pb    = send data to LPT port",
    "    -pbSharedPrinterName = send data to the shared printer",
    "    -n ip  = network download, where ip = printer IP address",
    "    -m c   = network download mode, defined by 'c' (default = a):",
    "               a = ping, send download command, ping, download, ping",
    "               b = ping, send download command, ping, download",
    "               c = ping, send download command, ping",
    "               d = ping, send download command",
    "               e = ping, download, ping",
    "               f = ping, download",
    "               g = ping",
    "               h = send download command",
    "               i = download",
    "               j = ping, network print",
    "               k = ping, show lpstat",
    "               l = ping, check if running",
    "    -d     = debug, shows one character for each event:",
    "               p = ping",
    "               t = telnet event",
    "               w = wait",
    "               # = packet downloaded",
    "               s = success",
    "               f = failure",
    "    -l s   = telnet login, defined by string 's' (default 'root')",
    "    -w s   = telnet password, defined by string 's' (default '')",
    "    file   = file to download (default is attached ZIP file)",
    "If no options given, extracts attached ZIP file contents into",
    "the current directory.",
    "",
    "Copyright (c) the HOLM developers. All rights reserved.",
    nullptr,
};

}  // namespace

void show_usage(int level) {
    const char* const* lines = level < 2 ? short_help : extended_help;
    for (; *lines != nullptr; ++lines) std::printf("%s\n", *lines);
    std::fflush(stdout);
    std::exit(1);
}

}  // namespace driver
