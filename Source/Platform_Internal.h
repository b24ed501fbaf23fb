// What the shared platform code needs from the file of each platform.
#pragma once

#include <cstddef>

namespace qzn {

// Writes UTF-8 bytes to standard output: as they are when it is a file or a pipe, as text when it
// is a console that takes wide text.
void writeOutput(const char* data, size_t size);

// Removes the files registered for cleanup; safe inside a signal or console-control handler.
void removeRegisteredFiles();

// True when standard output is a terminal or console that someone watches.
bool outputIsInteractive();

} // namespace qzn
