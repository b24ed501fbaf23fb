// The process entry on Windows: the arguments arrive as UTF-16 and go to the front end as they are.
#include "Main.h"
#include "Platform.h"

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> arguments;
    arguments.reserve(size_t(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(argv[i]);
    int status = qzn::qznMain(arguments);
    std::fflush(stdout);
    return status;
}
