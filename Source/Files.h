// The files module: the file list (a breadth-first numbered directory tree plus one flat list of
// files, linked by index) and what is done with it. Files.cpp holds the list itself; the rest is
// in files named for their jobs: Files_Scan, Files_Measure, Files_Crc32, Files_Duplicates,
// Files_Table, Files_Stream, Files_Output, Files_Verify, Files_Pending and Files_Select.
#pragma once

#include "Checks.h"
#include "IO.h"
#include "Platform.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qzn {

constexpr uint32_t kNoDuplicate = 0xFFFFFFFF;
// The parent of a folder that has none (the root, or a folder no other lists).
constexpr uint64_t kNoParent = ~uint64_t(0);
// No folder of the list.
constexpr uint64_t kNoFolder = ~uint64_t(0);

struct FileEntry {
    std::wstring name; // own name in a tree list; the path as typed in a single-file list
    // Where the file is on disk when it is not its folder's path plus its name (a single-file
    // list); usually empty, see FileList::pathOf. Never stored.
    std::wstring path;
    uint64_t size = 0;
    uint64_t dirIndex = 0;
    uint32_t crc = 0;
    uint32_t duplicateOf = kNoDuplicate;
    uint64_t actualCrc = 0; // CRC-32 of the bytes produced while unpacking or testing
    // Unpacking did not put this file on disk (refused, or the old file kept), nor its copies.
    bool leftOut = false;
    // Unpacked or tested: every file, unless names given on the command line pick some.
    bool selected = true;
    // Unpacking made this copy from its source's bytes: actualCrc holds their CRC-32.
    bool copied = false;
};

struct DirEntry {
    std::wstring name;
    std::wstring path; // the folder on disk: input when packing, output when unpacking; not stored
    // Unpacking: a link or a file stands there, or it cannot be made, so nothing is written into
    // or below it.
    bool refused = false;
    // Made when unpacking: every folder, unless names pick some; then those picked, all below
    // them, and the folders on the way to what is picked.
    bool selected = true;
    std::vector<uint64_t> subdirs;
    std::vector<uint64_t> files;
};

// Contents of small files kept from the CRC pass for the data pass, so that each is read once.
// Holds whole files only, first come first kept, within a fixed budget.
struct SmallFileCache {
    static constexpr size_t kBudgetBytes = size_t(4) << 20;
    static constexpr uint64_t kLargestFile = 16384;
    struct Item {
        uint64_t file;
        size_t offset;
    };
    std::vector<uint8_t> bytes;
    std::vector<Item> items; // in file order

    bool fits(uint64_t size) const {
        return size <= kLargestFile && bytes.size() + size <= kBudgetBytes;
    }
    // The file's bytes, or nullptr when they are not kept.
    const uint8_t* find(uint64_t file) const;
    void clear();
};

// What the measuring pass learns from one file, read apart from the list (possibly on another
// thread) and applied in list order by FileList::measure.
struct FileProbe {
    static constexpr uint64_t kLargestRead = uint64_t(1) << 20; // larger files: by the pass itself
    bool opened = false;
    bool read = false; // the contents were read: crc, failed and longer hold
    uint64_t size = 0; // as the open file reports it, or what a read found the file to hold
    FileId id;
    uint32_t crc = 0;
    bool failed = false, longer = false;
    // The file reported no size and was read to its end (up to kLargestRead bytes): `bytes` hold
    // all of it, or `longer` says that there was more.
    bool unsized = false;
    bool wrongKind = false;     // not opened: no longer a regular file
    std::wstring reason;        // why it could not be opened or read, as the system says
    std::vector<uint8_t> bytes; // the contents of a file small enough to be kept
};
// Opens the file and, with `withCrc`, reads it if it is at most kLargestRead bytes long; the
// bytes of a file too large to be kept go through `scratch`. A file that reports no size is read
// either way.
FileProbe probeFile(const std::wstring& path, bool withCrc, std::vector<uint8_t>& scratch);

// Files read ahead of the measuring pass: take(i) hands over file i's probe, or returns false
// when the pass is to read that file itself. The pass asks for each file once, in list order.
class ProbesAhead {
  public:
    virtual bool take(uint64_t file, FileProbe& probe) = 0;

  protected:
    ~ProbesAhead() = default;
};

// Wildcards over stored names: '*' stands for any run of characters, '?' for one, "[...]" for
// one of a set ("a-z" a range, '!' or '^' first negates it, ']' first is one of the set, a '['
// that is never closed is itself). Matching is exact otherwise, case included. None of them
// matches '/': a path matches a pattern name by name, and a '/' always separates names.
bool nameMatches(std::wstring_view pattern, std::wstring_view name); // one name each, no '/'
bool pathMatches(std::wstring_view pattern, std::wstring_view path); // names joined by '/'

// The -exclude patterns of a pack. One without '/' matches an entry's own name at any depth; one
// with '/' its path below the input ("build/tmp"). A '/' at either end only says which.
class Exclusions {
  public:
    Exclusions() = default;
    explicit Exclusions(const std::vector<std::wstring>& patterns);
    bool empty() const { return anyDepth_.empty() && fromRoot_.empty(); }
    // `path`: the entry's path below the input, names joined by '/'; `name`: its own name.
    bool excludes(std::wstring_view path, std::wstring_view name) const;

  private:
    std::vector<std::wstring> anyDepth_, fromRoot_;
};

// Where the selected files lie in the contents stream: from the place of the first (its first
// byte, or where an empty one sits) to the end of the last one's bytes; begin == end when none
// has a byte.
struct StreamSpan {
    uint64_t begin = 0, end = 0;
};

struct FileList {
    std::vector<DirEntry> dirs;
    std::vector<FileEntry> files;
    SmallFileCache cache;
    // Set when the run cannot do all that was asked: packing, a file or folder could not be read;
    // unpacking, an output was left out (a link in the way, the archive itself, a replacement
    // that failed its CRC-32, a folder that cannot be written). The run then ends with status 1.
    bool incomplete = false;
    std::vector<FileId> excluded; // identities of files never to store
    // Packing: the archive path, and the identity of the file there as the pack began. The new
    // archive takes that entry's place, so where the tree holds it, it is not stored; another link
    // to the same file keeps the old bytes and is stored like any file.
    std::wstring replacedPath;
    FileId replacedId;
    // Read from an archive: the stored names this platform could not take byte for byte, as
    // storedNameFromUtf8 shows them, by directory and by file index. Written under the name they
    // were given, with a warning.
    std::map<uint64_t, std::wstring> lostDirNames, lostFileNames;

    // Files whose identity is in leaveOut (the temporary file of the archive being written) are
    // not stored, nor the entry at replacedPath; each one met gets a warning. The identity comes
    // from the open file, so they drop out when measured. What `exclusions` match is left out
    // without a word, a folder with all below it.
    void scan(const std::wstring& inputPath, const std::vector<FileId>& leaveOut = {},
              const Exclusions& exclusions = {});
    // Removes the files marked in `dropped` (one flag per file) from the list.
    void removeFiles(const std::vector<uint8_t>& dropped);
    // Sizes and (withCrc) CRC-32 values from one open of each file, in list order; files read
    // ahead come from `ahead`.
    void measure(bool withCrc, ProbesAhead* ahead = nullptr);
    void findDuplicates();
    void checkConsistency() const;
    void writeTable(BitWriter& writer) const;
    void readTable(BitReader& reader);
    // Makes the output folders, through folder handles: one where a link stands is refused with
    // an error and nothing is made below it.
    void createOutputTree();
    void verifyCrcs() const;
    uint64_t totalSize() const;
    // Selects the files and folders that `names` pick (stored paths as list shows them, or
    // patterns of them; a folder picks all below it) and the folders on the way to them; returns
    // the names that pick nothing. Call it on a list just read, before the output is rooted. A
    // selected copy of a file not selected takes that file's place in the stream, so that the
    // bytes are written once, under the copy's name.
    std::vector<std::wstring> selectNames(const std::vector<std::wstring>& names);
    StreamSpan selectedSpan() const;

    // False when a stored name could escape the output folder on any platform: any name but the
    // root's that is empty, "." or "..", or holds '/' or NUL. badName then gets the entry's
    // stored path. A single-file list stores no name and passes. What else a file system cannot
    // hold is renamed when the output tree is created (storableName).
    bool namesAreSafe(std::wstring& badName) const;
    // The file's path inside the archive ("sub/a.txt"); "(unnamed)" for a single file.
    std::wstring storedPath(uint64_t fileIndex) const;
    // The file on disk: its `path` when set, else its folder's path joined with its name.
    std::wstring pathOf(uint64_t fileIndex) const;
    // How messages name a file: on disk when the tree has been rooted there, else as stored.
    std::wstring labelOf(uint64_t fileIndex) const;
    // The parent of every folder (kNoParent for the root). Naming many files takes it once and
    // passes it on, rather than working it out for each file.
    std::vector<uint64_t> folderParents() const;
    std::wstring storedPath(uint64_t fileIndex, const std::vector<uint64_t>& parents) const;
    // The same for a directory ("sub/inner"); "" for the root.
    std::wstring storedFolderPath(uint64_t dirIndex, const std::vector<uint64_t>& parents) const;
    std::wstring labelOf(uint64_t fileIndex, const std::vector<uint64_t>& parents) const;
};

// The files stored as copies, grouped under the file whose bytes they carry (the end of their
// chain of copies), each group in list order. A copy is never read or checked itself, so
// whatever goes wrong with that file's bytes goes wrong with all of them.
class CopyGroups {
  public:
    CopyGroups() = default;
    explicit CopyGroups(const FileList& list);
    bool empty() const { return begin_.empty(); }
    // The copies of file `original`.
    std::span<const uint64_t> of(uint64_t original) const {
        return {copies_.data() + begin_[original], copies_.data() + begin_[original + 1]};
    }
    // The file whose bytes file i carries: i itself when it is no copy.
    uint64_t originalOf(uint64_t i) const { return original_[i]; }

  private:
    std::vector<uint64_t> begin_; // group of file i: copies_[begin_[i] .. begin_[i + 1])
    std::vector<uint64_t> copies_;
    std::vector<uint64_t> original_;
};

// A file being written that must not outlive a failed run: registered for removal by a stop or an
// interrupt, and removed when the holder is discarded or destroyed before keep(). Close the file
// before the holder goes (a file still open cannot be removed everywhere).
class PendingFile {
  public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() { discard(); }

    void adopt(const std::wstring& path, int slot); // a file createTemporaryFile registered
    void keep();                                    // complete: it stays
    void discard();                                 // removed, if still tracked
    bool active() const { return active_; }
    const std::wstring& path() const { return path_; }

  private:
    std::wstring path_;
    int slot_ = -1;
    bool active_ = false;
};

// The output folders on the way from the output folder to the folder in use, open as handles:
// each below the output folder is opened from its parent without following a link, so that no
// link in the tree is ever entered. Moving to a nearby folder costs an open or two; at most
// heldFolderLevels() of the way stay open, so any depth and any number of folders will do.
class OutputFolders {
  public:
    // `lineStart` begins each report: "\n" where a progress line may be on screen.
    explicit OutputFolders(const wchar_t* lineStart = L"") : lineStart_(lineStart) {}

    // Folder d of the list, made where missing. nullptr when it or a folder above it is a link or
    // a file, or cannot be made in its parent (which may not be written into) or under its name
    // (too long): that folder is refused, reported once, and the list marked incomplete. A
    // folder that cannot be made for any other reason stops the run.
    const OutputFolder* reach(FileList& list, uint64_t d);
    // The folder of file f and the file's name there; nullptr as for reach. The file of a list
    // without folders goes where its path says, links followed (the user's choice).
    const OutputFolder* folderOf(FileList& list, uint64_t f, std::wstring& name);

  private:
    struct Level {
        uint64_t dir;
        OutputFolder folder; // closed when deep down and not the last
    };
    const wchar_t* lineStart_;
    std::vector<uint64_t> parents_, way_;
    std::vector<Level> open_;
    OutputFolder loose_;
};

// Unpacking into one byte sink (standard output) instead of files: every file's bytes in list
// order, a copy's at its own place in the list, although the contents stream carries them once.
// So the bytes of a file that has copies are kept until its last copy has gone out: in memory up
// to kMemoryBytes in all, beyond that in a scratch file that the system removes when it is closed.
// Memory stays bounded whatever the sizes; the disk holds at most the files that have copies.
class ContentsSink {
  public:
    static constexpr size_t kMemoryBytes = size_t(4) << 20;

    // `name` names the sink in messages ("standard output").
    ContentsSink(ByteSink& out, const FileList& list, std::wstring name);
    ~ContentsSink();
    ContentsSink(const ContentsSink&) = delete;
    ContentsSink& operator=(const ContentsSink&) = delete;

    // The next bytes of file f, which is not a copy; its bytes come in order.
    void write(uint64_t f, const uint8_t* bytes, size_t n);
    // The whole of copy f: the bytes of the file at the end of its chain of copies, which has
    // been written before it.
    void writeCopy(uint64_t f);

    // Told the file whose bytes go out next, before they go.
    std::function<void(uint64_t)> onFile;

  private:
    struct Kept {
        std::vector<uint8_t> bytes; // while in memory
        bool inScratch = false;
        uint64_t offset = 0, size = 0; // in the scratch file, once there
        uint64_t copiesLeft = 0;
    };
    void send(const uint8_t* bytes, size_t n);
    void keep(uint64_t f, Kept& kept, const uint8_t* bytes, size_t n);
    void moveToScratch(uint64_t f, Kept& kept);
    [[noreturn]] void scratchFailed(uint64_t f);

    ByteSink& out_;
    const FileList& list_;
    std::wstring name_;
    std::vector<uint64_t> originals_; // of every file: itself, or the end of its chain of copies
    std::map<uint64_t, Kept> kept_;   // by original, from its first byte to its last copy
    size_t inMemory_ = 0;
    FILE* scratch_ = nullptr;
    uint64_t scratchEnd_ = 0;
};

// A FileList followed by the cursor over the concatenated contents of its non-duplicate files.
struct FileStream : FileList {
    uint64_t current = 0;
    uint64_t offset = 0;
    uint8_t overwriteAll = 0;
    // Set when an input file no longer matched what was measured while packing (its length, or
    // its CRC-32 when `checkCrcs`): the stream still carried exactly the measured bytes, but the
    // pack must not report success.
    bool inputChanged = false;
    // The data pass compares each file's CRC-32 with the stored one as its bytes go by; unpacking,
    // a file replaces an existing one only when they agree.
    bool checkCrcs = false;
    // The current input file ended early or failed to read: its remaining bytes are zeros.
    bool zeroFill = false;
    bool reported = false;           // a warning has named the current input file
    InputFile input;                 // the current input file, unless its bytes are cached
    const uint8_t* cached = nullptr; // the current input file's kept bytes
    bool started = false;            // the current input file has been opened or found cached
    uint32_t runningCrc = 0;         // CRC-32 of the current input file's bytes so far
    uint64_t streamed = 0;           // bytes handed out by read
    // Unpacking: the folders on the way to the output file and the file being written (a new file
    // is removed, a replacement removed and the old file kept, if the run ends before it is done).
    OutputFolders outputFolders{L"\n"};
    OutputFile output;
    bool outputStarted = false; // the current file's output is open or left out
    // The archive being unpacked, which no output may replace; how messages name it.
    std::optional<FileId> archiveId;
    std::wstring archivePath;
    // Unpacking to standard output: every file's bytes go there, and nothing is made on disk.
    ContentsSink* sink = nullptr;
    // The archive arrives on standard input, which then cannot answer the overwrite question: an
    // existing file is kept, and said so, unless overwriteAll.
    bool noAnswers = false;
    std::wstring answersFrom = L"standard input"; // what the archive comes from, when noAnswers
    CopyGroups copies; // built when an input file with copies is first found changed

    FileStream() = default;
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    int32_t read(uint8_t* buffer, int32_t wanted);
    // Names each file stored as a copy of `original`, whose stored bytes are not those it was
    // measured with. `lineEnded` says, and the result tells, whether the console line has ended.
    bool warnAboutCopies(uint64_t original, bool lineEnded);
    uint64_t consumed() const;
    // Takes the identity of the open archive, so that no output replaces it; a list of one file
    // whose output is the archive is refused at once, before anything is made.
    void protectArchive(FILE* archive, const std::wstring& path);
    void write(const uint8_t* bytes, int32_t count, bool doWrite);
    // After the last chunk: creates the output files the stream never reached (all empty in a
    // consistent archive) exactly as write creates a file, and closes any open output file.
    void finishOutput();
    // Completes the current output: a new file stays; a replacement takes the old file's place
    // only when whole and, with checkCrcs, correct, else the old file stays. A failed close (lost
    // data) is a fatal write error.
    void closeOutput();
    // Opens file f's output in `out`: a new file; beside anything else that is there (a file, a
    // link, a FIFO, a device), after the question, a replacement. Only the output typed for a
    // single file is written where it is when it is a device or FIFO (the user's choice). False
    // when the file is left out, which is reported.
    bool openOutput(uint64_t f, OutputFile& out);
    // Makes each copy of a file from the bytes of the file whose contents it carries, read back
    // only while that is the very file this run made of them, and checked as they go; the copy
    // then goes to its place as any output file does.
    void restoreDuplicates();
    // Places the cursor at byte `position` of the contents stream, as if everything before it
    // had been written: the chunks before it are not delivered.
    void startAt(uint64_t position);
    // Whether `entry` is the archive being unpacked.
    bool isTheArchive(const OutputEntry& entry) const;

  private:
    // Closes file f's output `out` and puts it in place (finishOutput's job for any file).
    void finishFile(uint64_t f, OutputFile& out);
    // Commits `out` for file f; a replacement that would take away the file that copies still to
    // be made are to be read from makes those copies first. False when the file is left out.
    bool commitOutput(uint64_t f, OutputFile& out);
    // Makes copy c; see restoreDuplicates.
    void makeCopy(uint64_t c);
    // Builds what the copies need, once; false when the list has none.
    bool prepareCopies();
    // File f is not written, and has been reported: the rest goes on, but the run cannot end in
    // success. Always false.
    bool leaveOut(uint64_t f);
    // Leaves out the file an existing one is kept for, and says so.
    bool keep(uint64_t f);

    // The folder of the list that the output folder `path` is, or kNoFolder; each folder's path
    // under its pathKey, the first folder for a path that several land on.
    uint64_t folderAt(const std::wstring& path);
    std::map<std::wstring, uint64_t> folderKeys_;
    std::vector<uint64_t> parents_; // folderParents(), once a file is left out for a folder
    // Begins each report: "\n" while a progress line may be on screen.
    const wchar_t* lineStart_ = L"\n";
    // Copies: whether there are any (0 unknown, 1 no, 2 yes), which have been started, and the
    // files made that copies still are to be read from, by the identity they were made with.
    uint8_t hasCopies_ = 0;
    std::vector<uint8_t> copyStarted_;
    std::map<uint64_t, FileId> made_;
    std::map<FileId, uint64_t> pending_;
};

// Returns when the file at path may be created or replaced; asks first when it exists, unless
// overwriteAll is set; the answer a sets it. Any answer but y or a ends the run with status 0.
void confirmOverwrite(uint8_t& overwriteAll, const std::wstring& path);
void confirmOverwrite(FileStream& stream, const std::wstring& path);
// Asks whether what is at path (a file, or as the question says, a link, FIFO, device or socket)
// may be replaced, unless overwriteAll is set; answers as for confirmOverwrite, but any answer
// but y or a ends the run with status `declined` (1 once something has failed already). In a run
// of the library the run's decision answers; false when it keeps what is there.
bool askToReplace(uint8_t& overwriteAll, const std::wstring& path,
                  OutputKind kind = OutputKind::File, int declined = 0);
// Held while the question about overwriting waits for its answer, which may happen on the thread
// that writes the files; progress lines from the decoding thread wait for it.
std::mutex& questionMutex();

// The CRC-32 of the data that gave `previous` (0 for none) followed by the buffer.
uint32_t crc32Update(uint32_t previous, const uint8_t* buffer, int32_t length);
// The same values through the tables alone, never the processor's fold: for checking one against
// the other and measuring both.
uint32_t crc32UpdateByTables(uint32_t previous, const uint8_t* buffer, int32_t length);

} // namespace qzn
