// Archives built in the test's own process, so that they can hold what no pack on this machine
// would write: names no file system here could have given, stored CRC-32 values that do not match.
#pragma once

#include "ContextLz.h"
#include "Files.h"
#include "Main_Header.h"
#include "main_e2e.h"

namespace qzn_e2e {

// A folder archive; files go into the contents stream in list order. Each entry's CRC-32 is that
// of its bytes until the test changes it.
struct CraftedArchive {
    qzn::FileList list;
    std::vector<std::string> contents; // per file, duplicates included

    CraftedArchive() { list.dirs.emplace_back(); }

    uint64_t folder(uint64_t parent, const std::wstring& name) {
        qzn::DirEntry entry;
        entry.name = name;
        list.dirs.push_back(entry);
        list.dirs[parent].subdirs.push_back(list.dirs.size() - 1);
        return list.dirs.size() - 1;
    }
    uint64_t file(uint64_t folder, const std::wstring& name, const std::string& bytes,
                  uint32_t duplicateOf = qzn::kNoDuplicate) {
        qzn::FileEntry entry;
        entry.name = name;
        entry.dirIndex = folder;
        entry.size = bytes.size();
        entry.crc = crc32(bytes);
        entry.duplicateOf = duplicateOf;
        list.files.push_back(entry);
        contents.push_back(bytes);
        list.dirs[folder].files.push_back(list.files.size() - 1);
        return list.files.size() - 1;
    }

    // The archive as the pack side writes it: table, parameters (64 KB window, CRCs, no
    // filter), one block.
    void write(const fs::path& path) const {
        std::string stream;
        for (size_t i = 0; i < contents.size(); ++i)
            if (list.files[i].duplicateOf == qzn::kNoDuplicate) stream += contents[i];
        ASSERT_LE(stream.size(), 65536u);
        FILE* archive = qzn::openFile(qzn::fromUtf8(utf8Text(path)), "wb");
        ASSERT_NE(archive, nullptr);
        qzn::BitWriter writer(archive);
        writer.openBuffer();
        const qzn::ArchiveHeader header{
            .windowBits = 16, .tableBits = 12, .hashBits = 13, .hasCrc = true, .channels = 0};
        qzn::writeArchiveHeader(writer, list, header);
        qzn::ContextLz codec;
        codec.configure(header.tableBits, header.hashBits, header.windowBits);
        codec.allocateEncoder();
        codec.encodeChunk(reinterpret_cast<const uint8_t*>(stream.data()), int32_t(stream.size()),
                          writer, 4, 1, 0);
        writer.flush();
        writer.release();
        codec.release();
        EXPECT_EQ(std::fclose(archive), 0);
    }
};

} // namespace qzn_e2e
