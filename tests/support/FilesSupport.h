// Folder lists over files a test writes, for the tests that link the files module.
#pragma once

#include "Files.h"
#include "TestSupport.h"

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

} // namespace qzn::testing
