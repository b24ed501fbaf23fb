// What the POSIX files of the platform layer offer beyond Platform.h, for their tests.
#pragma once

#include "Platform.h"

namespace qzn {

// The kind of a listed entry of the open folder `folder`, from the type the listing gave
// (a dirent d_type; DT_UNKNOWN where the file system reports none). Links are followed only to
// tell a link to a file from one to a folder, which is never a Directory.
EntryKind listedEntryKind(int folder, const char* name, unsigned char type);

} // namespace qzn
