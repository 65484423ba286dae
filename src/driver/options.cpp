#include "driver/options.h"

#include <cstdio>
#include <cstring>

namespace driver {

int opt_index = 1;
int opt_position = 1;
int opt_report = 1;
int opt_char = 0;
const char* opt_arg = nullptr;

void reset_options() {
    opt_index = 1;
    opt_position = 1;
    opt_report = 1;
    opt_char = 0;
    opt_arg = nullptr;
}

namespace {

void report(const char* argv0, const char* what, int c) {
    if (opt_report) std::fprintf(stderr, "%s: %s -- %c\n", argv0, what, c);
}

void step_within(const char* arg) {
    if (arg[++opt_position] == '\0') {
        ++opt_index;
        opt_position = 1;
    }
}

}  // namespace

int next_option(int argc, char* const argv[], const char* spec) {
    if (opt_position == 1) {
        if (opt_index >= argc) return -1;
        const char* arg = argv[opt_index];
        if (arg[0] == '\0' || arg[1] == '\0') return -1;
        if (arg[0] != '-' && arg[0] != '/') return -1;
        if (std::strcmp(arg, "--") == 0) {
            ++opt_index;
            return -1;
        }
    }
    const char* arg = argv[opt_index];
    opt_char = static_cast<signed char>(arg[opt_position]);
    const char* found = opt_char == ':' ? nullptr : std::strchr(spec, opt_char);
    if (found == nullptr) {
        step_within(arg);
        report(argv[0], "illegal option", opt_char);
        return '?';
    }
    if (found[1] == ':') {
        if (arg[opt_position + 1] != '\0') {
            opt_arg = arg + opt_position + 1;
            ++opt_index;
        } else if (opt_index + 1 >= argc) {
            ++opt_index;
            opt_position = 1;
            report(argv[0], "option requires an argument", opt_char);
            return '?';
        } else {
            opt_arg = argv[opt_index + 1];
            opt_index += 2;
        }
        opt_position = 1;
    } else {
        opt_arg = nullptr;
        step_within(arg);
    }
    return opt_char;
}

}  // namespace driver
