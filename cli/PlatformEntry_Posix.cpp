// The process entry on POSIX: arguments arrive as bytes and become wide strings here, losslessly.
#include "Cli.h"
#include "Platform.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::wstring> arguments;
    arguments.reserve(size_t(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(qzn::fromUtf8(argv[i]));
    // Interrupts remove the unfinished files of the run; only the command line takes them over.
    qzn::enableInterruptCleanup();
    int status = qzn::qznMain(arguments);
    qzn::exitProcess(status);
}
