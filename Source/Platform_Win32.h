// What the Windows files of the platform layer share beyond Platform.h.
#pragma once

#include "Platform.h"

#include <windows.h>

#include <string>

namespace qzn {

// '\\' or '/', either of which Windows takes between the parts of a path.
bool isSeparator(wchar_t c);

// The path to hand to the system. Paths whose full form reaches the old 260-character limit
// (248 for folders) take the extended form "\\?\C:\..." or "\\?\UNC\server\share\...", which the
// system does not parse again: it is built from the full, normalised path ('/' turned into '\',
// "." and ".." resolved, doubled separators merged).
std::wstring nativePath(const std::wstring& path);

// The attributes of what is at `path`, or INVALID_FILE_ATTRIBUTES.
DWORD attributesOf(const std::wstring& path);

// Removes a regular file and nothing else: a folder, a device, a pipe or a link in its place
// stays, as on POSIX; with `id`, only that very file. The check and the removal go through one
// handle, so that nothing can be put there in between. Allocates nothing, so the console-control
// handler may call it.
bool removeRegularFile(const wchar_t* systemPath, const FileId* id = nullptr);

// The identity of an open file or folder, as fileId gives it.
bool handleId(HANDLE handle, FileId& id);

} // namespace qzn
