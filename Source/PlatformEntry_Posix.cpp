// The process entry on POSIX: arguments arrive as bytes and become wide strings here, losslessly.
#include "Main.h"
#include "Platform.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::wstring> arguments;
    arguments.reserve(size_t(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(qzn::fromUtf8(argv[i]));
    int status = qzn::qznMain(arguments);
    qzn::stopProcess(status);
}
