// The contents stream: the bytes of every non-duplicate file in list order, read from the input
// files on packing and spread over the output files on unpacking.
#include "Files.h"

#include <algorithm>
#include <cstring>

namespace qzn {

int32_t FileStream::read(uint8_t* buffer, int32_t wanted) {
    int32_t delivered = 0;
    bool lineEnded = false; // a warning of this call ended the console line
    while (wanted > 0) {
        if (current >= files.size()) break;
        const FileEntry& file = files[current];
        // Duplicates are not in the stream; empty files add nothing to it and were checked
        // for hidden bytes when measured.
        if (file.duplicateOf != kNoDuplicate || file.size == 0) {
            ++current;
            continue;
        }
        if (!started) {
            started = true;
            offset = 0;
            zeroFill = false;
            reported = false;
            runningCrc = 0;
            cached = cache.find(current);
            // The path is ready before the open, so that nothing comes between a failure and
            // the system's reason for it.
            const std::wstring path = cached ? std::wstring() : pathOf(current);
            if (!cached && !input.open(path)) {
                // Gone, locked or swapped for a FIFO since it was measured (never read, or waited
                // for). Its size is in the file table already, so it is stored as zeros, like a
                // file that fails to read part way.
                if (input.wrongKind())
                    printWide(
                        L"\nWarning: %ls is no longer a regular file, it is stored as zeros\n",
                        path.c_str());
                else
                    printWithReason(L"\nWarning: Failed to open %ls, it is stored as zeros\n",
                                    path.c_str());
                inputChanged = true;
                zeroFill = reported = lineEnded = true;
            }
        }
        // Each file contributes exactly its measured size, so the stream always matches the
        // file table written before it, even when a file changes under us.
        const size_t n = size_t(std::min<uint64_t>(uint64_t(wanted), file.size - offset));
        const bool last = offset + n == file.size;
        size_t got = n;
        if (cached) {
            std::memcpy(buffer, cached + offset, n);
        } else if (!zeroFill) {
            // At the file's end one more byte is asked for in the same call when the buffer
            // has room: it shows a file that grew, without a read of its own.
            const bool probe = last && n < size_t(wanted);
            int64_t r = input.read(buffer, n + (probe ? 1 : 0), n);
            const std::wstring reason = r < 0 ? systemErrorText() : std::wstring();
            got = r < 0 ? 0 : size_t(r);
            if (got < n) {
                if (r < 0)
                    printWide(L"\nWarning: Failed to read %ls, the rest is stored as zeros\n%ls\n",
                              pathOf(current).c_str(), reason.c_str());
                else
                    printWide(L"\nWarning: %ls changed size while packing\n",
                              pathOf(current).c_str());
                inputChanged = true;
                zeroFill = reported = lineEnded = true;
            } else if (last) {
                uint8_t more;
                if (got > n || (!probe && input.read(&more, 1) > 0)) {
                    printWide(L"\nWarning: %ls changed size while packing\n",
                              pathOf(current).c_str());
                    inputChanged = true;
                    reported = lineEnded = true;
                }
                got = n;
            }
        } else {
            got = 0;
        }
        std::memset(buffer + got, 0, n - got);
        // Kept bytes are those the CRC was computed from; others are checked as they go by.
        if (checkCrcs && !cached) runningCrc = crc32Update(runningCrc, buffer, int32_t(n));
        offset += n;
        buffer += n;
        delivered += int32_t(n);
        streamed += n;
        wanted -= int32_t(n);
        if (last) {
            // Not the bytes it was measured with, which its copies were found to hold.
            if (checkCrcs && !cached && runningCrc != file.crc) {
                if (!reported) {
                    printWide(L"\nWarning: %ls changed while packing\n", pathOf(current).c_str());
                    lineEnded = true;
                }
                inputChanged = true;
                lineEnded = warnAboutCopies(current, lineEnded);
            }
            input.close();
            cached = nullptr;
            started = false;
            zeroFill = false;
            offset = 0;
            ++current;
        }
    }
    return delivered;
}

bool FileStream::warnAboutCopies(uint64_t original, bool lineEnded) {
    if (copies.empty()) copies = CopyGroups(*this);
    const std::wstring source = pathOf(original);
    for (uint64_t copy : copies.of(original)) {
        printWide(lineEnded ? L"Warning: %ls is stored as a copy of %ls\n"
                            : L"\nWarning: %ls is stored as a copy of %ls\n",
                  pathOf(copy).c_str(), source.c_str());
        lineEnded = true;
    }
    return lineEnded;
}

uint64_t FileStream::consumed() const {
    return streamed;
}

std::mutex& questionMutex() {
    if (RunHooks* run = currentRun()) return run->question;
    static std::mutex mutex;
    return mutex;
}

void confirmOverwrite(FileStream& stream, const std::wstring& path) {
    confirmOverwrite(stream.overwriteAll, path);
}

void confirmOverwrite(uint8_t& overwriteAll, const std::wstring& path) {
    if (overwriteAll) return;
    FILE* existing = openFile(path, "rb");
    if (!existing) return;
    std::fclose(existing);
    // Keeping the old archive is not packing: the run ends there.
    if (!askToReplace(overwriteAll, path)) stopRun(0, kStopDerived);
}

bool askToReplace(uint8_t& overwriteAll, const std::wstring& path, OutputKind kind, int declined) {
    if (overwriteAll) return true;
    std::lock_guard<std::mutex> asking(questionMutex());
    // What stands there, as the question names it: anything but a file is replaced, never written
    // into.
    const wchar_t* what = kind == OutputKind::Link     ? L"link"
                          : kind == OutputKind::Fifo   ? L"FIFO"
                          : kind == OutputKind::Device ? L"device"
                          : kind == OutputKind::Socket ? L"socket"
                          : kind == OutputKind::Other  ? L"special file"
                                                       : nullptr;
    if (RunHooks* run = currentRun()) {
        switch (run->decide(path, what)) {
        case Decision::Replace:
            return true;
        case Decision::ReplaceAll:
            overwriteAll = 1;
            return true;
        case Decision::Keep:
            return false;
        case Decision::Stop:
            break;
        }
        stopRun(declined, declined ? kStopWarning : kStopDerived);
    }
    if (what)
        printQuestion(L"\nError: Output file %ls already exists as a %ls. Press Y to replace the "
                      L"%ls with the file, A to overwrite all, or any other key to exit: ",
                      path.c_str(), what, what);
    else
        printQuestion(L"\nError: Output file %ls already exists. Press Y to overwrite it, A to "
                      L"overwrite all, or any other key to exit: ",
                      path.c_str());
    int answer = readAnswerCharacter();
    // No one there to answer (a script with no input): nothing was done, which is no success.
    if (answer == EOF) stopProcess(1);
    if (answer >= 'A' && answer <= 'Z') answer += 'a' - 'A';
    if (answer == 'y') return true;
    if (answer == 'a') {
        overwriteAll = 1;
        return true;
    }
    stopRun(declined, declined ? kStopWarning : kStopDerived);
}

namespace {
// An output that would replace the archive being read: the archive would be gone, or read
// while it is rewritten. A line start goes into the format, never through "%ls", which would show
// a newline as an escape.
constexpr const wchar_t* kIsTheArchive = L"Error: The output file %ls is the archive %ls itself\n";
} // namespace

void FileStream::protectArchive(FILE* archive, const std::wstring& path) {
    FileId id;
    if (!fileId(archive, id)) return;
    archiveId = id;
    archivePath = path;
    // Links followed, as the output of a single file is.
    FileId output;
    if (dirs.empty() && files.size() == 1 && fileId(pathOf(0), output) && output == id)
        fatalWide(kIsTheArchive, pathOf(0).c_str(), path.c_str());
}

bool FileStream::isTheArchive(const OutputEntry& entry) const {
    // Device and inode (volume and file index) together: the same inode number on another file
    // system is another file.
    return entry.reaches && archiveId && entry.id == *archiveId;
}

bool FileStream::leaveOut(uint64_t f) {
    files[f].leftOut = true;
    incomplete = true;
    return false;
}

bool FileStream::keep(uint64_t f) {
    printWide(
        (lineStart_ + std::wstring(L"Error: Output file %ls already exists and is kept\n")).c_str(),
        pathOf(f).c_str());
    return leaveOut(f);
}

bool FileStream::openOutput(uint64_t f, OutputFile& out) {
    if (sink) return true; // the bytes go to the sink; nothing is made on disk
    const std::wstring path = pathOf(f);
    std::wstring name;
    const OutputFolder* folder = outputFolders.folderOf(*this, f, name);
    if (!folder) {
        files[f].leftOut = true; // its folder was refused, and reported
        return false;
    }
    // The output typed for a single file is the user's choice: a device or FIFO there (or a link
    // to one) takes the data where it is, as pack writes there. Anything else is replaced.
    const bool typed = dirs.empty() && files.size() == 1;
    // A folder that may not be written into, or a name its file system cannot hold, concerns
    // this file alone: it is left out, and the rest goes on. Anything else ends the run.
    auto cannotMake = [&](OutputFile::Created created, const std::wstring& reason) {
        if (dirs.empty() ||
            (created != OutputFile::Created::Denied && created != OutputFile::Created::BadName))
            fatalWide(L"Error: Failed to open %ls\n%ls\n", path.c_str(), reason.c_str());
        if (created == OutputFile::Created::Denied)
            printWide((lineStart_ + std::wstring(L"Error: %ls is left out: the folder %ls cannot "
                                                 L"be written\n%ls\n"))
                          .c_str(),
                      path.c_str(), dirs[files[f].dirIndex].path.c_str(), reason.c_str());
        else
            printWide((lineStart_ + std::wstring(L"Error: %ls is left out: the file system cannot "
                                                 L"hold its name\n%ls\n"))
                          .c_str(),
                      path.c_str(), reason.c_str());
        return leaveOut(f);
    };
    // A new file is made exclusively; whatever is there instead is looked at first.
    for (int attempt = 0;; ++attempt) {
        const OutputFile::Created created = out.create(*folder, name);
        if (created == OutputFile::Created::Yes) return true;
        // The system's reason, taken before anything else is asked of it.
        const std::wstring reason =
            created == OutputFile::Created::Exists ? std::wstring() : systemErrorText();
        // A folder that may not be written into may still hold the file, to be asked about.
        const OutputEntry entry =
            created == OutputFile::Created::Exists || created == OutputFile::Created::Denied
                ? folder->inspect(name)
                : OutputEntry();
        if (created != OutputFile::Created::Exists && entry.kind == OutputKind::Missing)
            return cannotMake(created, reason);
        // Gone again before it was looked at: a new file once more.
        if (entry.kind == OutputKind::Missing && attempt < 2) continue;
        if (isTheArchive(entry)) {
            printWide((L"\n" + std::wstring(kIsTheArchive)).c_str(), path.c_str(),
                      archivePath.c_str());
            return leaveOut(f);
        }
        if (entry.kind == OutputKind::Folder && !dirs.empty()) {
            // A folder of the list that this system writes under the same name (made first, so
            // it stays), or one that was there.
            const uint64_t d = folderAt(path);
            if (d != kNoFolder)
                printWide(L"\nError: %ls is left out: the folder %ls is written under the same "
                          L"name\n",
                          storedPath(f, parents_).c_str(), storedFolderPath(d, parents_).c_str());
            else
                printWide(L"\nError: %ls is left out: a folder is in its place\n", path.c_str());
            return leaveOut(f);
        }
        // Whatever would be asked about is kept when no answer can be read.
        if (noAnswers && !overwriteAll && entry.kind != OutputKind::Folder) {
            printWide((lineStart_ + std::wstring(L"Error: Output file %ls already exists and is "
                                                 L"kept: the archive comes from %ls, "
                                                 L"which cannot answer the overwrite question "
                                                 L"(-force-overwrite replaces it)\n"))
                          .c_str(),
                      path.c_str(), answersFrom.c_str());
            return leaveOut(f);
        }
        const bool special = entry.kind != OutputKind::File && entry.kind != OutputKind::Link &&
                             entry.kind != OutputKind::Missing;
        if (typed && special) {
            // A device or FIFO takes the data where it is; a folder refuses it.
            if (entry.kind != OutputKind::Folder &&
                !askToReplace(overwriteAll, path, OutputKind::File, incomplete ? 1 : 0))
                return keep(f);
            if (!out.openInPlace(*folder, name))
                fatalWithReason(L"Error: Failed to open %ls\n", path.c_str());
            return true;
        }
        const bool link = entry.kind == OutputKind::Link;
        // The output typed for a single file is the user's choice even as a link: one that
        // leads to a device or FIFO (/dev/stdout) takes the data there, as pack does.
        if (typed && link && entry.reaches && !isRegularFile(path) && !isDirectory(path)) {
            if (!askToReplace(overwriteAll, path, OutputKind::File, incomplete ? 1 : 0))
                return keep(f);
            if (!out.openInPlace(path))
                fatalWithReason(L"Error: Failed to open %ls\n", path.c_str());
            return true;
        }
        if (!askToReplace(overwriteAll, path, entry.kind, incomplete ? 1 : 0)) return keep(f);
        const OutputFile::Created replacement = out.createReplacement(*folder, name);
        if (replacement == OutputFile::Created::Yes) return true;
        return cannotMake(replacement, systemErrorText());
    }
}

void FileStream::closeOutput() {
    if (!outputStarted) return;
    outputStarted = false;
    if (!output.isOpen()) return; // left out
    finishFile(current, output);
}

void FileStream::finishFile(uint64_t f, OutputFile& out) {
    FileEntry& file = files[f];
    const std::wstring path = pathOf(f);
    if (!out.close()) fatalWithReason(L"Error: Failed to write %ls\n", path.c_str());
    if (out.replaces() && checkCrcs && file.actualCrc != uint64_t(file.crc)) {
        out.discard();
        leaveOut(f);
        printWide(L"\nError: %ls is kept as it was: the unpacked contents fail their crc32\n",
                  path.c_str());
        return;
    }
    commitOutput(f, out);
}

bool FileStream::commitOutput(uint64_t f, OutputFile& out) {
    // Copies still to be made are read from the file made for their original, and from nothing
    // else: a later entry that replaces it (another name that lands on it here) waits until they
    // are made.
    FileId replaced;
    const auto waiting =
        !pending_.empty() && out.replacing(replaced) ? pending_.find(replaced) : pending_.end();
    if (waiting != pending_.end()) {
        const uint64_t original = waiting->second;
        pending_.erase(waiting);
        for (uint64_t c : copies.of(original))
            if (files[c].selected && !copyStarted_[c]) makeCopy(c);
        // The folders on the way are held again (Windows keeps them from being swapped for a
        // link while they are held).
        std::wstring name;
        if (!outputFolders.folderOf(*this, f, name)) {
            out.discard();
            files[f].leftOut = true; // its folder was refused, and reported
            return false;
        }
    }
    if (!out.commit()) {
        // Kept from being replaced (a file that another program holds open): the old one stays.
        const std::wstring reason = systemErrorText();
        out.discard();
        printWide((lineStart_ + std::wstring(L"Error: Failed to replace %ls\n%ls\n")).c_str(),
                  pathOf(f).c_str(), reason.c_str());
        return leaveOut(f);
    }
    if (hasCopies_ == 0) prepareCopies();
    if (hasCopies_ == 2 && files[f].duplicateOf == kNoDuplicate && !copies.of(f).empty()) {
        made_[f] = out.identity();
        pending_[out.identity()] = f;
    }
    return true;
}

void FileStream::write(const uint8_t* bytes, int32_t count, bool doWrite) {
    while (count > 0) {
        if (current >= files.size()) return;
        FileEntry& file = files[current];
        if (file.duplicateOf != kNoDuplicate) {
            if (sink && file.selected) sink->writeCopy(current); // at its place in the list
            ++current;
            continue;
        }
        // A file not selected goes by unopened and unchecked.
        if (!outputStarted && doWrite && file.selected) {
            outputStarted = true;
            openOutput(current, output);
        }
        const uint64_t left = offset < file.size ? file.size - offset : 0;
        const int32_t n = int32_t(std::min<uint64_t>(uint64_t(count), left));
        if (n > 0 && file.selected) {
            if (sink)
                sink->write(current, bytes, size_t(n));
            else if (output.isOpen() && !output.write(bytes, size_t(n)))
                fatalWithReason(L"Error: Failed to write %ls\n", pathOf(current).c_str());
            file.actualCrc = crc32Update(uint32_t(file.actualCrc), bytes, n);
        }
        offset += uint64_t(n);
        bytes += n;
        count -= n;
        if (n == 0 || offset >= file.size) {
            closeOutput();
            ++current;
            offset = 0;
        }
    }
}

void FileStream::finishOutput() {
    if (outputStarted || offset != 0) {
        // A file the stream ended inside keeps what it got.
        closeOutput();
        ++current;
        offset = 0;
    }
    for (; current < files.size(); ++current) {
        if (files[current].duplicateOf != kNoDuplicate) {
            if (sink && files[current].selected) sink->writeCopy(current);
            continue;
        }
        if (!files[current].selected) continue;
        outputStarted = openOutput(current, output);
        closeOutput();
    }
    offset = 0;
}

} // namespace qzn
