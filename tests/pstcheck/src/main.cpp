// pst-check FILE.pst...: prints each problem of each file on its own line.
// Exit status: 0 when every file is valid, 1 when any has problems, 2 on a usage error.
#include "pstcheck/check.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fprintf(stderr, "usage: pst-check FILE.pst...\n");
        return 2;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const auto problems = pstcheck::check_file(argv[i]);
        for (const auto& p : problems)
            std::printf("%s: %s\n", argv[i], p.c_str());
        if (!problems.empty())
            status = 1;
    }
    return status;
}
