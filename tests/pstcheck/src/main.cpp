// pst-check [--allow-orphans] FILE.pst...: prints each problem of each file on its own line.
// Exit status: 0 when every file is valid, 1 when any has problems, 2 on a usage error.
#include "pstcheck/check.h"

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    pstcheck::Options options;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--allow-orphans") == 0) {
            options.allow_orphans = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 ||
                   (argv[i][0] == '-' && argv[i][1] != '\0')) {
            files.clear();
            break;
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "usage: pst-check [--allow-orphans] FILE.pst...\n"
                             "  --allow-orphans  count message nodes whose parent is no folder instead of\n"
                             "                   reporting them (a known deviation of damaged files)\n");
        return 2;
    }
    int status = 0;
    for (const char* path : files) {
        const auto problems = pstcheck::check_file(path, options);
        for (const auto& p : problems)
            std::printf("%s: %s\n", path, p.c_str());
        if (!problems.empty())
            status = 1;
    }
    return status;
}
