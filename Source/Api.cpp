// The C interface (qzn.h) over the drivers. Every entry point binds a run to the calling thread,
// so that the drivers' text, progress and questions reach the caller's callbacks, and turns every
// stop into a status code and the thread's last error.
#include <qzn.h>

#include "Main.h"
#include "Main_Header.h"
#include "Platform.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace qzn {
namespace {

thread_local std::string lastMessage;
thread_local std::string lastPath;
thread_local int lastCheck = 0;

void clearLastError() {
    lastMessage.clear();
    lastPath.clear();
    lastCheck = 0;
}

// A run's settings as given, with what the drivers take made from them.
struct Settings {
    qzn_options options{};
    std::vector<std::wstring> excludes;
    std::wstring streamName = L"the stream";
};

bool loadSettings(const qzn_options* given, Settings& settings) {
    qzn_options_init(&settings.options);
    if (given) {
        if (given->struct_size == 0) return false;
        std::memcpy(&settings.options, given,
                    std::min<size_t>(given->struct_size, sizeof(qzn_options)));
        settings.options.struct_size = sizeof(qzn_options);
    }
    const qzn_options& o = settings.options;
    settings.excludes.clear();
    if (o.excludes)
        for (const char* const* p = o.excludes; *p; ++p) settings.excludes.push_back(fromUtf8(*p));
    if (o.stream_name) settings.streamName = fromUtf8(o.stream_name);
    return o.level >= 1 && o.level <= 6;
}

Archiver archiverFor(const Settings& settings) {
    const qzn_options& o = settings.options;
    Archiver archiver;
    archiver.windowBits = o.window_bits;
    archiver.hashBits = o.hash_bits;
    archiver.tableBits = o.table_bits;
    archiver.skipCrc = o.skip_crc != 0;
    archiver.channels = o.channels;
    archiver.threads = o.threads <= 0 ? hardwareThreads() : o.threads;
    archiver.forceOverwrite = o.force_overwrite != 0;
    archiver.excludes = settings.excludes;
    applyLevel(archiver, o.level);
    return archiver;
}

// The event a line of a run's text stands for: its kind, or 0 for none.
qzn_event_kind eventOf(const std::string& line, qzn_status& code) {
    if (line.rfind("Warning: ", 0) == 0) {
        code = QZN_WARNING;
        return QZN_EVENT_WARNING;
    }
    if (line.rfind("Error: ", 0) != 0) return qzn_event_kind(0);
    code = line.find("Invalid crc32") != std::string::npos ||
                   line.find("CRC-32") != std::string::npos ||
                   line.find("fail their crc32") != std::string::npos
               ? QZN_ERROR_DAMAGED
           : line.find("is not in the archive") != std::string::npos ? QZN_ERROR_NOT_FOUND
           : line.find("already exists") != std::string::npos        ? QZN_ERROR_OPEN
                                                                     : QZN_ERROR_WRITE;
    return QZN_EVENT_ERROR;
}

// The hooks of one call into the library: the callbacks of its options.
class ApiRun final : public RunHooks {
  public:
    explicit ApiRun(const qzn_options& options) : options_(options) {}

    // The caller's callbacks run outside the run: what they print goes where it would without it.
    void text(TextKind kind, const std::string& utf8) override {
        MutexLock lock(mutex_);
        RunScope outside(nullptr);
        if (options_.text)
            options_.text(options_.user,
                          kind == TextKind::Progress ? QZN_TEXT_PROGRESS
                          : kind == TextKind::Error  ? QZN_TEXT_ERROR
                                                     : QZN_TEXT_LINE,
                          utf8.c_str());
        if (!options_.event || kind != TextKind::Line) return;
        const size_t start = utf8.find_first_not_of('\n');
        if (start == std::string::npos) return;
        const std::string message = utf8.substr(start, utf8.find_last_not_of('\n') + 1 - start);
        qzn_status code = QZN_OK;
        const qzn_event_kind event = eventOf(message, code);
        if (event == 0) return;
        const std::string path = toUtf8(takeErrorPath());
        options_.event(options_.user, event, code, path.empty() ? nullptr : path.c_str(),
                       message.c_str());
    }

    bool progress(uint64_t done, uint64_t total) override {
        MutexLock lock(mutex_);
        RunScope outside(nullptr);
        return !options_.progress || options_.progress(options_.user, done, total) == 0;
    }

    Decision decide(const std::wstring& path, const wchar_t* what) override {
        if (!options_.overwrite) return Decision::Keep;
        RunScope outside(nullptr);
        const std::string name = toUtf8(path);
        const std::string kind = what ? toUtf8(what) : std::string();
        switch (options_.overwrite(options_.user, name.c_str(), what ? kind.c_str() : nullptr)) {
        case QZN_OVERWRITE_REPLACE:
            return Decision::Replace;
        case QZN_OVERWRITE_REPLACE_ALL:
            return Decision::ReplaceAll;
        case QZN_OVERWRITE_KEEP:
            return Decision::Keep;
        default:
            return Decision::Stop;
        }
    }

    bool canDecide() const override { return options_.overwrite != nullptr; }

  private:
    const qzn_options& options_;
    Mutex mutex_;
};

// Runs `body` as a run of the library with `settings`: every stop becomes its status code, and
// the last error of this thread tells what it was.
template <class Body> qzn_status guarded(const Settings& settings, Body body) {
    clearLastError();
    ApiRun run(settings.options);
    try {
        RunScope scope(&run);
        body();
        return QZN_OK;
    } catch (const ProcessStop& stop) {
        lastMessage = stop.message;
        lastPath = stop.path;
        lastCheck = stop.check;
        const int code = statusOfStop(stop);
        if (lastMessage.empty() && code != QZN_OK)
            lastMessage = qzn_status_string(qzn_status(code));
        return qzn_status(code);
    } catch (const DeferredAssert& assertion) {
        lastMessage = formatNarrow("Assert failed\n%s:%d", assertion.source, assertion.line);
        lastCheck = assertion.line;
        return QZN_ERROR_DAMAGED;
    } catch (const std::bad_alloc&) {
        lastMessage = "Not enough memory";
        return QZN_ERROR_MEMORY;
    } catch (...) {
        lastMessage = "Internal error";
        return QZN_ERROR_INTERNAL;
    }
}

qzn_status argumentError(const char* message) {
    clearLastError();
    lastMessage = message;
    return QZN_ERROR_ARGUMENT;
}

// The bytes of an archive through the caller's write callback; a failure ends the run at once.
class CallbackSink final : public ByteSink {
  public:
    CallbackSink(qzn_write_fn write, void* user) : write_(write), user_(user) {}
    bool write(const uint8_t* data, size_t size) override {
        bool failed;
        {
            RunScope outside(nullptr);
            failed = size > 0 && write_(user_, data, size) != 0;
        }
        if (failed) stopRun(1, kStopWrite, L"The write callback failed");
        return true;
    }

  private:
    qzn_write_fn write_;
    void* user_;
};

// The bytes of an archive from the caller's read callback.
class CallbackSource final : public ByteSource {
  public:
    CallbackSource(qzn_read_fn read, void* user) : read_(read), user_(user) {}
    int64_t readSome(uint8_t* data, size_t size) override {
        ptrdiff_t n;
        {
            RunScope outside(nullptr);
            n = read_(user_, data, size);
        }
        if (n >= 0) return int64_t(std::min<size_t>(size_t(n), size));
        failure = L"The read callback failed";
        return -1;
    }

  private:
    qzn_read_fn read_;
    void* user_;
};

// Every selected file's bytes through the caller's data callback, each piece with its entry.
class DataSink final : public ByteSink {
  public:
    explicit DataSink(const qzn_data_callbacks& callbacks) : callbacks_(callbacks) {}
    bool write(const uint8_t* data, size_t size) override {
        bool failed;
        {
            RunScope outside(nullptr);
            failed = size > 0 && callbacks_.data(callbacks_.user, entry_, data, size) != 0;
        }
        if (failed) stopRun(1, kStopCancelled, L"Cancelled by the data callback");
        return true;
    }
    void onFile(uint64_t entry) { entry_ = entry; }

  private:
    const qzn_data_callbacks& callbacks_;
    uint64_t entry_ = 0;
};

struct Entry {
    std::string path, name;
    uint64_t size = 0;
    uint32_t crc = 0;
    bool folder = false;
    int64_t copyOf = -1, parent = -1;
};

// The entries in the order a list shows them: each folder, its subfolders' whole subtrees, then
// its files. `fileEntry` gets the entry of each file.
void listEntries(const FileList& list, std::vector<Entry>& entries,
                 std::vector<uint64_t>& fileEntry) {
    fileEntry.assign(list.files.size(), 0);
    auto addFile = [&](uint64_t f, const std::string& folder, int64_t parent) {
        const FileEntry& file = list.files[f];
        Entry entry;
        entry.name = toUtf8(file.name);
        entry.path = folder.empty() ? entry.name : folder + "/" + entry.name;
        entry.size = file.size;
        entry.crc = file.crc;
        entry.parent = parent;
        fileEntry[f] = entries.size();
        entries.push_back(std::move(entry));
    };
    if (list.dirs.empty()) {
        for (uint64_t f = 0; f < list.files.size(); ++f) addFile(f, {}, -1);
    } else {
        struct Pending {
            uint64_t dir;
            int64_t parent; // entry of the parent folder, or of this folder when filesOnly
            bool filesOnly;
        };
        std::vector<Pending> stack{{0, -1, false}};
        while (!stack.empty()) {
            const Pending next = stack.back();
            stack.pop_back();
            const DirEntry& dir = list.dirs[next.dir];
            if (next.filesOnly) {
                const std::string folder = entries[size_t(next.parent)].path;
                for (uint64_t f : dir.files) addFile(f, folder, next.parent);
                continue;
            }
            Entry entry;
            entry.name = toUtf8(dir.name);
            const std::string parentPath =
                next.parent < 0 ? std::string() : entries[size_t(next.parent)].path;
            entry.path = parentPath.empty() ? entry.name : parentPath + "/" + entry.name;
            entry.folder = true;
            entry.parent = next.parent;
            const int64_t self = int64_t(entries.size());
            entries.push_back(std::move(entry));
            stack.push_back({next.dir, self, true});
            for (auto it = dir.subdirs.rbegin(); it != dir.subdirs.rend(); ++it)
                stack.push_back({*it, self, false});
        }
    }
    for (uint64_t f = 0; f < list.files.size(); ++f)
        if (list.files[f].duplicateOf != kNoDuplicate)
            entries[fileEntry[f]].copyOf = int64_t(fileEntry[list.files[f].duplicateOf]);
}

std::vector<std::wstring> namesFrom(const char* const* names) {
    std::vector<std::wstring> picked;
    if (names)
        for (const char* const* p = names; *p; ++p) picked.push_back(fromUtf8(*p));
    return picked;
}

} // namespace
} // namespace qzn

using namespace qzn;

struct qzn_archive {
    Settings settings;
    std::wstring path; // empty for a callback archive
    std::unique_ptr<CallbackSource> source;
    std::unique_ptr<OpenArchive> open;
    bool used = false; // a run has read the contents
    std::vector<Entry> entries;
    std::vector<uint64_t> fileEntry; // the entry of each file of the table as read

    std::vector<std::pair<uint64_t, std::wstring>> fileKeys; // folder and name, as read

    // The entry of file f of a run's list. Selecting a copy without its original swaps the two
    // files' folders and names (the copy's bytes are the original's): the entry is then the one
    // of the file that the record names now.
    uint64_t entryOf(const FileList& list, uint64_t f) const {
        const FileEntry& file = list.files[f];
        if (file.dirIndex == fileKeys[f].first && file.name == fileKeys[f].second)
            return fileEntry[f];
        for (uint64_t g = 0; g < fileKeys.size(); ++g)
            if (file.dirIndex == fileKeys[g].first && file.name == fileKeys[g].second)
                return fileEntry[g];
        return fileEntry[f];
    }

    // The archive ready for a run: as opened for the first, opened again for any other.
    void readyForRun() {
        if (used) {
            if (!source) {
                open = std::make_unique<OpenArchive>();
                openArchiveFile(open->input, path, open->reader, open->stream);
            } else {
                stopRun(1, kStopArgument, L"The archive has been read: it comes from a callback");
            }
        }
        used = true;
    }
};

extern "C" {

const char* qzn_version_string(void) {
#define QZN_TEXT(x) #x
#define QZN_VERSION_TEXT(a, b, c) QZN_TEXT(a) "." QZN_TEXT(b) "." QZN_TEXT(c)
    return QZN_VERSION_TEXT(QZN_VERSION_MAJOR, QZN_VERSION_MINOR, QZN_VERSION_PATCH);
}

const char* qzn_status_string(qzn_status status) {
    switch (status) {
    case QZN_OK:
        return "Success";
    case QZN_WARNING:
        return "Finished, but something was left out or not found";
    case QZN_ERROR_ARGUMENT:
        return "Bad argument or option";
    case QZN_ERROR_OPEN:
        return "A file or folder could not be opened or made";
    case QZN_ERROR_READ:
        return "Read failed";
    case QZN_ERROR_WRITE:
        return "Write failed";
    case QZN_ERROR_DAMAGED:
        return "Not an archive, or a damaged or truncated one";
    case QZN_ERROR_MEMORY:
        return "Not enough memory";
    case QZN_ERROR_CANCELLED:
        return "Cancelled";
    case QZN_ERROR_NOT_FOUND:
        return "Not in the archive";
    case QZN_ERROR_INTERNAL:
        return "Internal error";
    }
    return "Unknown status";
}

void qzn_options_init(qzn_options* options) {
    if (!options) return;
    std::memset(options, 0, sizeof *options);
    options->struct_size = sizeof *options;
    options->level = 2;
    options->window_bits = 23;
    options->hash_bits = 13;
    options->table_bits = 12;
}

void qzn_options_clamp(qzn_options* options) {
    if (!options) return;
    options->window_bits = kWindowBits.clamp(options->window_bits);
    options->hash_bits = kHashBits.clamp(options->hash_bits);
    options->table_bits = kTableBits.clamp(options->table_bits);
}

qzn_status qzn_pack_to_path(const char* input_path, const char* archive_path,
                            const qzn_options* options) {
    Settings settings;
    if (!input_path || !archive_path) return argumentError("No input or archive path");
    if (!loadSettings(options, settings)) return argumentError("Bad options");
    return guarded(settings, [&] {
        Archiver archiver = archiverFor(settings);
        clampPackParameters(archiver);
        const std::wstring archive = fromUtf8(archive_path);
        packInto(archiver, fromUtf8(input_path), archive, nullptr, archive);
    });
}

qzn_status qzn_pack_to_callback(const char* input_path, qzn_write_fn write, void* write_user,
                                const qzn_options* options) {
    Settings settings;
    if (!input_path || !write) return argumentError("No input path or write callback");
    if (!loadSettings(options, settings)) return argumentError("Bad options");
    return guarded(settings, [&] {
        Archiver archiver = archiverFor(settings);
        clampPackParameters(archiver);
        CallbackSink sink(write, write_user);
        packInto(archiver, fromUtf8(input_path), {}, &sink, settings.streamName);
    });
}

static qzn_status openWith(qzn_archive* made, qzn_archive** archive) {
    const qzn_status status = guarded(made->settings, [&] {
        made->open = std::make_unique<OpenArchive>();
        OpenArchive& open = *made->open;
        if (made->source)
            openArchiveFromSource(open.input, *made->source, made->settings.streamName, open.reader,
                                  open.stream);
        else
            openArchiveFile(open.input, made->path, open.reader, open.stream);
        listEntries(open.stream, made->entries, made->fileEntry);
        for (const FileEntry& file : open.stream.files)
            made->fileKeys.emplace_back(file.dirIndex, file.name);
    });
    if (status != QZN_OK) {
        delete made;
        return status;
    }
    *archive = made;
    return QZN_OK;
}

qzn_status qzn_open_path(const char* archive_path, const qzn_options* options,
                         qzn_archive** archive) {
    if (!archive) return argumentError("No place for the archive handle");
    *archive = nullptr;
    if (!archive_path) return argumentError("No archive path");
    auto made = new (std::nothrow) qzn_archive;
    if (!made) return QZN_ERROR_MEMORY;
    if (!loadSettings(options, made->settings)) {
        delete made;
        return argumentError("Bad options");
    }
    made->path = fromUtf8(archive_path);
    return openWith(made, archive);
}

qzn_status qzn_open_callback(qzn_read_fn read, void* read_user, const qzn_options* options,
                             qzn_archive** archive) {
    if (!archive) return argumentError("No place for the archive handle");
    *archive = nullptr;
    if (!read) return argumentError("No read callback");
    auto made = new (std::nothrow) qzn_archive;
    if (!made) return QZN_ERROR_MEMORY;
    if (!loadSettings(options, made->settings)) {
        delete made;
        return argumentError("Bad options");
    }
    made->source = std::make_unique<CallbackSource>(read, read_user);
    return openWith(made, archive);
}

void qzn_close(qzn_archive* archive) {
    delete archive;
}

uint64_t qzn_entry_count(const qzn_archive* archive) {
    return archive ? archive->entries.size() : 0;
}

qzn_status qzn_entry_get(const qzn_archive* archive, uint64_t index, qzn_entry* entry) {
    if (!archive || !entry || index >= archive->entries.size())
        return argumentError("No such entry");
    clearLastError();
    const Entry& e = archive->entries[size_t(index)];
    entry->path = e.path.c_str();
    entry->name = e.name.c_str();
    entry->size = e.size;
    entry->crc32 = e.crc;
    entry->is_folder = e.folder ? 1 : 0;
    entry->copy_of = e.copyOf;
    entry->parent = e.parent;
    return QZN_OK;
}

qzn_status qzn_unpack(qzn_archive* archive, const char* output_path, const char* const* names) {
    if (!archive || !output_path) return argumentError("No archive or output path");
    return guarded(archive->settings, [&] {
        archive->readyForRun();
        Archiver archiver = archiverFor(archive->settings);
        unpackOpened(archiver, *archive->open, fromUtf8(output_path), namesFrom(names));
    });
}

qzn_status qzn_test(qzn_archive* archive, const char* const* names) {
    if (!archive) return argumentError("No archive");
    return guarded(archive->settings, [&] {
        archive->readyForRun();
        Archiver archiver = archiverFor(archive->settings);
        testOpened(archiver, *archive->open, namesFrom(names));
    });
}

qzn_status qzn_extract(qzn_archive* archive, const char* const* names,
                       const qzn_data_callbacks* callbacks) {
    if (!archive || !callbacks || !callbacks->data)
        return argumentError("No archive or data callback");
    return guarded(archive->settings, [&] {
        archive->readyForRun();
        Archiver archiver = archiverFor(archive->settings);
        DataSink sink(*callbacks);
        OpenArchive& open = *archive->open;
        unpackOpened(archiver, open, {}, namesFrom(names), &sink, archive->settings.streamName,
                     [&, last = ~uint64_t(0)](uint64_t f) mutable {
                         if (f == last) return;
                         last = f;
                         sink.onFile(archive->entryOf(open.stream, f));
                     });
    });
}

const char* qzn_last_error_message(void) {
    return lastMessage.c_str();
}

const char* qzn_last_error_path(void) {
    return lastPath.c_str();
}

int qzn_last_error_check(void) {
    return lastCheck;
}

} // extern "C"
