// Folder lists over files a test writes, and bit streams through a temporary archive, for the
// tests that link the files module.
#pragma once

#include "Files.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qzn::testing {

// One folder of the given files (name, contents), each written into `folder` (a UTF-8 path);
// nothing is measured.
inline FileList folderListOf(const std::string& folder,
                             const std::vector<std::pair<std::string, std::string>>& files) {
    FileList list;
    list.dirs.resize(1);
    for (const auto& [name, contents] : files) {
        writeFile(folder + "/" + name, contents);
        FileEntry entry;
        entry.name = fromUtf8(name);
        entry.path = fromUtf8(folder + "/" + name);
        list.dirs[0].files.push_back(list.files.size());
        list.files.push_back(entry);
    }
    return list;
}

// Writes with `write` into a temporary archive, flushed, then reads it with `read` from its first
// segment on. The file is closed also when `read` stops.
inline void writeThenRead(const std::function<void(BitWriter&)>& write,
                          const std::function<void(BitReader&)>& read) {
    struct Closer {
        void operator()(FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<FILE, Closer> file(std::tmpfile());
    ASSERT_NE(file, nullptr);
    {
        BitWriter writer(file.get());
        writer.openBuffer();
        write(writer);
        writer.flush();
    }
    std::fflush(file.get());
    std::rewind(file.get());
    BitReader reader(file.get());
    reader.openBuffer();
    reader.loadSegment();
    read(reader);
}

} // namespace qzn::testing
