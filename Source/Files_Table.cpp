// The file table: counts, names through the adaptive name model, the directory tree and one
// record per file. The reader treats the archive as untrusted and refuses any table that breaks
// the list's invariants before a single path is formed from it.
#include "Entropy_Huffman.h"
#include "Files.h"

#include <memory>
#include <string>

namespace qzn {

namespace {

constexpr uint32_t kNameBufferBytes = 65535; // a name's bytes plus its closing zero

// The folder of a file that no folder has listed (yet).
constexpr uint64_t kNoOwner = ~uint64_t(0);

// Fewest bits each item can take in a table: a varint is at least 4 bits, a name symbol at
// least 1 bit, a file record 4 varint bits and four 32-bit fields.
constexpr uint64_t kMinRecordBits = 4 + 128;
constexpr uint64_t kMinIndexBits = 4;
constexpr uint64_t kMinNameBits = 1;
constexpr uint64_t kMinDirBits = kMinNameBits + 2 * kMinIndexBits; // plus an entry unless root

[[noreturn]] void corrupt(const wchar_t* what) {
    fatalWide(L"Error: Corrupt archive: %ls\n", what);
}

// Bits the archive can still deliver from the reader's position: the rest of the loaded
// segment and everything after it in the file. ~0 when the file cannot be measured, or the
// archive comes from another source (a pipe).
uint64_t bitsLeft(const BitReader& reader) {
    FILE* file = reader.file.file;
    if (!file || reader.source != &reader.file) return ~uint64_t(0);
    int64_t here = filePosition(file);
    if (here < 0 || !seekFile(file, 0, SEEK_END)) return ~uint64_t(0);
    int64_t end = filePosition(file);
    seekFile(file, here, SEEK_SET);
    if (end < here || uint64_t(end - here) > (uint64_t(1) << 58)) return ~uint64_t(0);
    uint64_t segmentBits =
        uint64_t(reader.size < kBitBufferBytes ? reader.size : kBitBufferBytes) * 8;
    uint64_t inSegment = segmentBits > reader.bitPosition ? segmentBits - reader.bitPosition : 0;
    return inSegment + uint64_t(end - here) * 8;
}

// Without a size to bound the counts by, the end of the data is watched for as it comes, so that
// a damaged table cannot grow the lists much past the data there is.
void checkStillReading(const BitReader& reader, uint64_t available) {
    if (available == ~uint64_t(0) && reader.truncated) corrupt(L"the archive ends before its data");
}

void writeName(HuffmanCoder<256>& model, BitWriter& writer, const std::wstring& name) {
    // The stored name ends at the first NUL, as a zero-terminated conversion would; a NUL byte
    // inside the symbols would end the name early on the reading side.
    std::string bytes = toUtf8(std::wstring(name.c_str()));
    for (size_t i = 0; i <= bytes.size(); ++i) {
        uint32_t symbol = i < bytes.size() ? uint8_t(bytes[i]) : 0;
        model.tick();
        model.encode(symbol, writer);
        model.update(symbol);
        writer.checkpoint();
    }
}

// symbolBudget: name symbols the archive can still hold (each takes at least one bit), so that
// names read from past the end of a damaged archive cannot go on for long.
std::wstring readName(HuffmanCoder<256>& model, BitReader& reader, uint8_t* buffer, int line,
                      uint64_t& symbolBudget, std::wstring& lost) {
    for (uint32_t j = 0;; ++j) {
        QZN_CHECK(j < kNameBufferBytes, kFilesSource, line);
        if (symbolBudget == 0) corrupt(L"names exceed the archive size");
        --symbolBudget;
        model.tick();
        uint32_t symbol = model.decode(reader);
        model.update(symbol);
        buffer[j] = uint8_t(symbol);
        reader.checkpoint();
        if (symbol == 0)
            return storedNameFromUtf8(std::string(reinterpret_cast<char*>(buffer), j), lost);
    }
}

// The invariants the scan guarantees and the output side relies on: a tree numbered breadth
// first, every file in exactly one directory, duplicates pointing back, a representable total.
void validate(const FileList& list) {
    const uint64_t dirCount = list.dirs.size();
    const uint64_t fileCount = list.files.size();
    if (dirCount != 0) {
        std::vector<uint8_t> listed(dirCount, 0);
        for (uint64_t d = 0; d < dirCount; ++d) {
            for (uint64_t child : list.dirs[d].subdirs) {
                if (child >= dirCount) corrupt(L"directory index out of range");
                if (child == 0) corrupt(L"root directory listed as a subdirectory");
                if (child <= d) corrupt(L"directory listed under a later directory");
                if (listed[child]) corrupt(L"directory listed more than once");
                listed[child] = 1;
            }
        }
        for (uint64_t d = 1; d < dirCount; ++d)
            if (!listed[d]) corrupt(L"directory outside the tree");

        std::vector<uint64_t> owner(fileCount, kNoOwner);
        for (uint64_t d = 0; d < dirCount; ++d) {
            for (uint64_t index : list.dirs[d].files) {
                if (index >= fileCount) corrupt(L"file index out of range");
                if (owner[index] != kNoOwner) corrupt(L"file listed more than once");
                owner[index] = d;
            }
        }
        for (uint64_t f = 0; f < fileCount; ++f) {
            if (owner[f] == kNoOwner) corrupt(L"file outside the tree");
            if (owner[f] != list.files[f].dirIndex)
                corrupt(L"file listed under a directory other than its own");
        }
    }
    uint64_t total = 0;
    for (uint64_t f = 0; f < fileCount; ++f) {
        const FileEntry& file = list.files[f];
        // Pointing back only makes every chain end at a file whose own bytes are stored.
        if (file.duplicateOf != kNoDuplicate && file.duplicateOf >= f)
            corrupt(L"duplicate refers forward");
        if (file.duplicateOf != kNoDuplicate) continue;
        if (total + file.size < total) corrupt(L"total size too large");
        total += file.size;
    }
}

} // namespace

void FileList::writeTable(BitWriter& writer) const {
    writer.putVarint(files.size());
    writer.putVarint(dirs.size());
    writer.checkpoint();

    auto model = std::make_unique<HuffmanCoder<256>>();
    model->reset();
    // Names and tree go with every list that has directories, also a tree of empty folders,
    // so that such a tree unpacks to the same folders.
    if (!dirs.empty()) {
        for (const DirEntry& dir : dirs) writeName(*model, writer, dir.name);
        for (const FileEntry& file : files) writeName(*model, writer, file.name);
        for (const DirEntry& dir : dirs) {
            writer.putVarint(dir.files.size());
            writer.putVarint(dir.subdirs.size());
            writer.checkpoint();
            for (uint64_t index : dir.files) {
                writer.putVarint(index);
                writer.checkpoint();
            }
            for (uint64_t index : dir.subdirs) {
                writer.putVarint(index);
                writer.checkpoint();
            }
        }
    }
    for (const FileEntry& file : files) {
        writer.putVarint(file.size);
        if (!dirs.empty()) writer.putVarint(file.dirIndex);
        writer.put32(file.crc);
        writer.put32(file.duplicateOf);
        writer.put32(0);
        writer.put32(0);
        writer.checkpoint();
    }
}

void FileList::readTable(BitReader& reader) {
    dirs.clear();
    files.clear();
    lostDirNames.clear();
    lostFileNames.clear();
    const uint64_t fileCount = reader.getVarint();
    const uint64_t dirCount = reader.getVarint();
    reader.checkpoint();

    auto model = std::make_unique<HuffmanCoder<256>>();
    model->reset();
    QZN_CHECK(dirCount != 0 || fileCount <= 1, kFilesSource, 606);

    // Refuse counts the archive cannot hold before anything is allocated for them.
    const uint64_t available = bitsLeft(reader);
    if (available != ~uint64_t(0)) {
        const uint64_t perFile =
            kMinRecordBits + (dirCount ? kMinIndexBits + kMinNameBits + kMinIndexBits : 0);
        const uint64_t perDir = kMinDirBits + kMinIndexBits;
        if (fileCount > available / perFile || dirCount > (available + kMinIndexBits) / perDir ||
            fileCount * perFile + dirCount * perDir > available + kMinIndexBits)
            corrupt(L"file table counts exceed the archive size");
    }

    if (dirCount != 0) {
        auto nameBuffer = std::make_unique<uint8_t[]>(kNameBufferBytes);
        uint64_t symbolBudget = available / kMinNameBits;
        std::wstring lost;
        for (uint64_t d = 0; d < dirCount; ++d) {
            DirEntry dir;
            checkStillReading(reader, available);
            dir.name = readName(*model, reader, nameBuffer.get(), 547, symbolBudget, lost);
            if (!lost.empty()) lostDirNames[d] = lost;
            dirs.push_back(std::move(dir));
        }
        for (uint64_t f = 0; f < fileCount; ++f) {
            FileEntry file;
            checkStillReading(reader, available);
            file.name = readName(*model, reader, nameBuffer.get(), 567, symbolBudget, lost);
            if (!lost.empty()) lostFileNames[f] = lost;
            files.push_back(std::move(file));
        }
        // The lists grow only as far as the counts allow: all files once, every directory but
        // the root once.
        uint64_t filesLeft = fileCount;
        uint64_t subdirsLeft = dirCount - 1;
        for (DirEntry& dir : dirs) {
            const uint64_t n = reader.getVarint();
            const uint64_t m = reader.getVarint();
            reader.checkpoint();
            if (n > filesLeft) corrupt(L"more file entries than files");
            if (m > subdirsLeft) corrupt(L"more subdirectory entries than directories");
            filesLeft -= n;
            subdirsLeft -= m;
            for (uint64_t k = 0; k < n; ++k) {
                checkStillReading(reader, available);
                dir.files.push_back(reader.getVarint());
                reader.checkpoint();
            }
            for (uint64_t k = 0; k < m; ++k) {
                checkStillReading(reader, available);
                dir.subdirs.push_back(reader.getVarint());
                reader.checkpoint();
            }
        }
    } else if (fileCount == 1) {
        files.emplace_back();
    }

    for (FileEntry& file : files) {
        checkStillReading(reader, available);
        file.size = reader.getVarint();
        if (dirCount != 0) file.dirIndex = reader.getVarint();
        file.crc = reader.get32();
        file.duplicateOf = reader.get32();
        reader.get32();
        reader.get32();
        reader.checkpoint();
    }
    validate(*this);
}

} // namespace qzn
