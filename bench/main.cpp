#include <cstdio>
#include <cstring>

#include "bench.h"

int main(int argc, char* argv[]) {
    struct Command {
        const char* name;
        int (*run)(int, char**);
    };
    const Command commands[] = {{"bare", bench::bare},
                                {"burn", bench::burn},
                                {"meter", bench::meter},
                                {"scan-entries", bench::scan_entries},
                                {"scan-prefix", bench::scan_prefix},
                                {"sink", bench::sink},
                                {"spawn", bench::spawn}};
    if (argc >= 2) {
        for (const Command& c : commands)
            if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
    }
    std::fprintf(stderr, "usage: holm-bench bare|burn|meter|scan-entries|scan-prefix|sink|spawn ARGS...\n");
    return 2;
}
