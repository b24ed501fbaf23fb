// The process entry on Windows: the arguments arrive as UTF-16 and go to the front end as they are.
#include "Cli.h"
#include "Platform.h"

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> arguments;
    arguments.reserve(size_t(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(argv[i]);
    // Console events remove the unfinished files of the run; only the command line takes them.
    qzn::enableInterruptCleanup();
    int status = qzn::qznMain(arguments);
    std::fflush(stdout);
    return status;
}
