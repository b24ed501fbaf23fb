// Shared pieces of the fuzz targets: stops become exceptions, input bytes become a FILE.
#pragma once

#include "Platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace qzn::fuzz {

// Turns every process stop into a ProcessStop exception and silences standard output.
void prepare();

// A read-only FILE over the bytes (fmemopen); nullptr for empty input.
FILE* openBytes(const uint8_t* data, size_t size);

} // namespace qzn::fuzz
