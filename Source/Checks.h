// The identifiers of the consistency checks (QZN_CHECK) that a damaged archive or a fault can
// fail. A failed check prints "Assert failed" and then "<source>:<number>" from here: the source
// names below and the numbers given at each check are fixed identifiers of the check, which
// scripts and reports match on. They look like file names and line numbers, and once were; they
// are not: the files have changed and the numbers stay. Never renumber a check; a new one takes
// a number no check of its source uses.
#pragma once

namespace qzn {

inline constexpr const char* kContextLzSource = "Source/ContextLz.cpp";
inline constexpr const char* kIoSource = "Source/IO.cpp";
inline constexpr const char* kHuffmanSource = "Source/Entropy_Huffman.cpp";
inline constexpr const char* kFilesSource = "Source/Files.cpp";

} // namespace qzn
