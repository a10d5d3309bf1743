#include <iostream>
#include <unistd.h>

#include "cli/convert.h"

int main(int argc, char** argv)
{
    std::ios::sync_with_stdio(false);
    const std::vector<std::string> args(argv + 1, argv + argc);
    cli::RunOptions options;
    options.show_progress = isatty(STDERR_FILENO) == 1;
    std::string problem;
    options.source = engine::source_options_from_environment(&problem);
    if (!problem.empty()) {
        std::cerr << "pelimoor-convert: " << problem << '\n';
        return cli::kExitUsage;
    }
    const int status = cli::run(args, std::cout, std::cerr, options);
    std::cout.flush();
    return status;
}
