// The option loop and the payload name over arbitrary argument vectors: the
// input's NUL bytes separate the arguments, the first one is argv[0].
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/options.h"
#include "driver/run.h"
#include "driver/settings.h"

namespace {

// Names the broken invariant by its line before the fuzzer takes the abort.
void require(bool holds, int line = __builtin_LINE()) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken at %s:%d\n", __FILE__, line);
    std::abort();
}

// True when text is null or one of the arguments or a tail of one: the
// settings keep pointers into the command line, never copies.
bool points_into(const char* text, const std::vector<std::string>& args) {
    if (text == nullptr) return true;
    for (const auto& a : args)
        if (text >= a.data() && text <= a.data() + a.size()) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[i]);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());

    driver::settings = {};
    driver::reset_options();
    std::string own = driver::self_payload_name(argv[0]);
    require(own.size() >= 4);
    int level = driver::scan_command_line(argc, argv.data());
    require(level >= 0 && level <= 2);
    require(driver::opt_index >= 1 && driver::opt_index <= argc);
    require(std::strlen(driver::settings.printer_name) < sizeof driver::settings.printer_name);
    require(driver::settings.printer_name[0] == '\0' || driver::settings.port_output);
    if (level == 0) require(driver::mode_code() <= 'l');
    require(points_into(driver::settings.address, args));
    require(points_into(driver::settings.login, args) || std::strcmp(driver::settings.login, "root") == 0);
    require(points_into(driver::settings.password, args) || driver::settings.password[0] == '\0');
    return 0;
}
