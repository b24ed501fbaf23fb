// What the POSIX files of the platform layer share beyond Platform.h, and offer their tests.
#pragma once

#include "Platform.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qzn {

// The kind of a listed entry of the open folder `folder`, from the type the listing gave
// (a dirent d_type; DT_UNKNOWN where the file system reports none). Links are followed only to
// tell a link to a file from one to a folder, which is never a Directory.
EntryKind listedEntryKind(int folder, const char* name, unsigned char type);

// A path as the *at() calls take it: a folder handle and a path relative to it.
struct Located {
    int dir = AT_FDCWD;
    std::string rest;
    Located() = default;
    Located(const Located&) = delete;
    Located& operator=(const Located&) = delete;
    ~Located() {
        if (dir >= 0) ::close(dir);
    }
};

// Splits a long path into pieces that each fit, opening the folder of each piece relative to
// the previous one; the last piece, holding the final name, stays in `rest`. Short paths pass
// through untouched.
bool locate(const std::wstring& path, Located& at);

// stat and open for a path of any length, through locate; links are followed.
bool statPath(const std::wstring& path, struct stat& st);
int openPath(const std::wstring& path, int flags, mode_t mode = 0);

} // namespace qzn
