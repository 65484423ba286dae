// The option scanner and the payload name, table-driven.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/options.h"
#include "driver/run.h"
#include "driver/settings.h"

namespace {

struct Scan {
    std::vector<std::string> found;  // option letters, "?" for errors, with ":arg"
    int rest;                        // index of the first argument left over
};

Scan scan(std::vector<std::string> args) {
    args.insert(args.begin(), "prog");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    driver::reset_options();
    Scan result;
    int c;
    int guard = 0;
    while ((c = driver::next_option(static_cast<int>(args.size()), argv.data(), "adhl:m:n:p:w:x")) != -1 && ++guard < 100) {
        std::string item(1, static_cast<char>(c));
        if (c != '?' && driver::opt_arg) item += std::string(":") + driver::opt_arg;
        result.found.push_back(item);
    }
    result.rest = driver::opt_index;
    return result;
}

TEST(OptionScanner, Table) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> found;
        int rest;
    };
    const Case cases[] = {
        {{}, {}, 1},
        {{"file.bin"}, {}, 1},
        {{"-a", "-d"}, {"a", "d"}, 3},
        {{"-ad"}, {"a", "d"}, 2},
        {{"/a", "/d", "f"}, {"a", "d"}, 3},
        {{"-n", "10.0.0.5", "f"}, {"n:10.0.0.5"}, 3},
        {{"-n10.0.0.5"}, {"n:10.0.0.5"}, 2},
        {{"-dn10.0.0.5", "file.bin"}, {"d", "n:10.0.0.5"}, 2},
        {{"-pbOFFICE"}, {"p:bOFFICE"}, 2},
        {{"-p", "bOFFICE"}, {"p:bOFFICE"}, 3},
        {{"/pb"}, {"p:b"}, 2},
        {{"--", "-pb"}, {}, 2},
        {{"-", "-a"}, {}, 1},
        {{"-a", "x", "-d"}, {"a"}, 2},
        {{"-q"}, {"?"}, 2},
        {{"-:"}, {"?"}, 2},
        {{"-aqd"}, {"a", "?", "d"}, 2},
        {{"/data/fw.bin"}, {"d", "a", "?", "a", "?", "?", "w:.bin"}, 2},
        {{"-n"}, {"?"}, 2},
        {{"-m", "-a"}, {"m:-a"}, 3},
        {{"-x"}, {"x"}, 2},
    };
    for (const auto& c : cases) {
        Scan s = scan(c.args);
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        EXPECT_EQ(s.found, c.found) << shown;
        EXPECT_EQ(s.rest, c.rest) << shown;
    }
}

TEST(OptionScanner, HighBytesAreSignedAndIllegal) {
    Scan s = scan({"-\xc8"});
    EXPECT_EQ(s.found, std::vector<std::string>{"?"});
    EXPECT_EQ(driver::opt_char, static_cast<int>(static_cast<signed char>('\xc8')));
}

TEST(CommandLine, HelpLevelOfTheFirstRequestEndsTheScan) {
    struct Case {
        std::vector<std::string> args;
        int level;
    };
    const Case cases[] = {
        {{"-a", "file"}, 0},        {{"-x", "-h"}, 2},          {{"-h", "-x"}, 1},
        {{"-q", "-x"}, 1},          {{"-mz"}, 1},               {{"-m\x80", "-ml"}, 0},
        {{"-pb" + std::string(63, 'P')}, 0}, {{"-pb" + std::string(64, 'P'), "-x"}, 1},
        {{"-pc"}, 1},               {{"-d", "-n"}, 1},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "prog");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        driver::settings = {};
        driver::reset_options();
        driver::opt_report = 0;
        EXPECT_EQ(driver::scan_command_line(static_cast<int>(args.size()), argv.data()), c.level) << args[1];
    }
    driver::opt_report = 1;
}

TEST(SelfPayloadName, Table) {
    const std::pair<const char*, const char*> cases[] = {
        {"prog", "prog.exe"},         {"prog.exe", "prog.exe"},   {"prog.EXE", "prog.EXE"},
        {"prog.Exe", "prog.Exe.exe"}, {".exe", ".exe.exe"},       {"a.exe", "a.exe"},
        {"", ".exe"},                 {"C:\\x\\holm.exe", "C:\\x\\holm.exe"}, {"dir/holm", "dir/holm.exe"},
    };
    for (const auto& [argv0, expected] : cases) EXPECT_EQ(driver::self_payload_name(argv0), expected) << argv0;
}

}  // namespace
