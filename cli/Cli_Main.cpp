// The front end: banner, flags, mode letter, compression level and dispatch to the library.
#include "Cli.h"

#include "Platform.h"

#include <climits>
#include <cstring>
#include <memory>

namespace qzn {

namespace {

// The settings the flags give, as the library takes them.
struct Flags {
    qzn_options options{};
    std::vector<std::string> excludes; // UTF-8, for options.excludes
    Flags() { qzn_options_init(&options); }
};

void printUsage(const std::wstring& program) {
    // As UTF-8 bytes rather than through "%ls", which the C locale cannot convert beyond ASCII:
    // the name then prints exactly as it was passed, only its control characters made visible.
    const std::string utf8 = toUtf8(visibleText(program));
    const char* name = utf8.c_str();
    printNarrow("Usage:\n"
                "Pack: %s [flags] c archive [input file/folder]\n"
                "List contents: %s l archive\n"
                "Test contents: %s t archive\n"
                "Unpack: %s [flags] d archive [output file/folder]\n"
                "\n"
                "Options:\n"
                "c[1-6] = compress [optional level, default: 2]\n"
                "d = decompress\n"
                "Flags:\n"
                "-window:bits = Window size in bits, default 23 (8 MB)\n"
                "-hash:bits = Hash size in bits, default 13\n"
                "-table:bits = Context table size in bits, default 12\n"
                "-force-overwrite = Overwrite files without asking or warning\n"
                "-skip-crc = Skip calculating crc32 for input files\n"
                "-filter:channels:N = Filter with N channels\n"
                "-threads:N = Number of threads, default: all cores\n"
                "-exclude:pattern = Leave out matching files and folders when packing\n"
                "Pack to standard output: %s [flags] c - [input file/folder]\n"
                "List from standard input: %s l -\n"
                "Test from standard input: %s t -\n"
                "Unpack from standard input: %s [flags] d - [output file/folder]\n"
                "Unpack the files to standard output: %s [flags] d archive -\n"
                "Test some files: %s t archive name...\n"
                "Unpack some files: %s [flags] d archive output name...\n",
                name, name, name, name, name, name, name, name, name, name, name);
}

// The argument as UTF-16 code units, each cut to its low 8 bits (no code-page conversion).
std::string lowBytes(const std::wstring& argument) {
    std::string bytes;
    for (wchar_t ch : argument) {
        uint32_t cp = static_cast<uint32_t>(ch);
        if (cp > 0xFFFF) {
            cp -= 0x10000;
            bytes.push_back(static_cast<char>((0xD800 + (cp >> 10)) & 0xFF));
            bytes.push_back(static_cast<char>((0xDC00 + (cp & 0x3FF)) & 0xFF));
        } else {
            bytes.push_back(static_cast<char>(cp & 0xFF));
        }
    }
    return bytes;
}

// The first UTF-16 code unit of a code point, as the mode letter is taken from it.
uint32_t firstCodeUnit(wchar_t ch) {
    uint32_t cp = static_cast<uint32_t>(ch);
    return cp > 0xFFFF ? 0xD800 + ((cp - 0x10000) >> 10) : cp;
}

// `flag` is the argument's low bytes, `argument` the argument itself: a pattern keeps its full
// text.
void applyFlag(Flags& flags, const std::string& flag, const std::wstring& argument) {
    qzn_options& options = flags.options;
    auto matches = [&](const char* prefix) {
        return flag.compare(0, std::strlen(prefix), prefix) == 0;
    };
    auto value = [&](const char* prefix) {
        return parseFlagValue(flag.substr(std::strlen(prefix)));
    };
    if (matches("-window:")) options.window_bits = value("-window:");
    if (matches("-table:")) options.table_bits = value("-table:");
    if (matches("-hash:")) options.hash_bits = value("-hash:");
    if (matches("-force-overwrite")) options.force_overwrite = 1;
    if (matches("-skip-crc")) options.skip_crc = 1;
    if (matches("-filter:channels:")) options.channels = value("-filter:channels:");
    // One thread at least: 0 would mean every core.
    if (matches("-threads:")) options.threads = std::max(value("-threads:"), 1);
    if (matches("-exclude:"))
        flags.excludes.push_back(toUtf8(argument.substr(std::strlen("-exclude:"))));
}

// A list of names for the library: UTF-8, ending in a null pointer; nullptr for none.
struct NameList {
    std::vector<std::string> texts;
    std::vector<const char*> pointers;
    explicit NameList(const std::vector<std::wstring>& names) {
        for (const std::wstring& name : names) texts.push_back(toUtf8(name));
        for (const std::string& text : texts) pointers.push_back(text.c_str());
        pointers.push_back(nullptr);
    }
    const char* const* get() const { return texts.empty() ? nullptr : pointers.data(); }
};

struct ArchiveCloser {
    void operator()(qzn_archive* archive) const { qzn_close(archive); }
};
using ArchiveHandle = std::unique_ptr<qzn_archive, ArchiveCloser>;

// Opens the archive at `path`, or standard input for "-"; the status of a failed open goes to
// `status`.
ArchiveHandle openArchive(const std::wstring& path, qzn_options& options, qzn_status& status) {
    qzn_archive* archive = nullptr;
    if (isStandardStreamArgument(path)) {
        // The archive takes standard input: no one can answer a question there.
        options.stream_name = "standard input";
        options.overwrite = nullptr;
        status = qzn_open_callback(readStandardInputBytes, nullptr, &options, &archive);
    } else {
        status = qzn_open_path(toUtf8(path).c_str(), &options, &archive);
    }
    return ArchiveHandle(archive);
}

// Reads what is left of an archive on standard input and drops it: a pack still writing into the
// pipe would otherwise be cut off and fail.
void drainStandardInput() {
    std::vector<uint8_t> rest(size_t(1) << 16);
    while (readStandardInput(rest.data(), rest.size()) > 0) {
    }
}

} // namespace

int32_t parseFlagValue(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > int64_t(INT32_MAX) + 1) magnitude = int64_t(INT32_MAX) + 1; // saturate
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}

int qznMain(const std::vector<std::wstring>& arguments) {
    const std::wstring program = arguments.empty() ? std::wstring(L"QZN") : arguments[0];

    // The flags and the mode are read before anything is printed: a run whose standard output
    // carries the archive or file contents prints all its lines, the banner too, to standard
    // error.
    Flags flags;
    size_t n = arguments.size();
    size_t cursor = 1;
    while (n >= 2 && !arguments[cursor].empty() && arguments[cursor][0] == L'-') {
        applyFlag(flags, lowBytes(arguments[cursor]), arguments[cursor]);
        ++cursor;
        --n;
    }

    uint32_t letter = 0;
    if (n >= 2 && !arguments[cursor].empty()) {
        letter = firstCodeUnit(arguments[cursor][0]);
        if (letter >= 'A' && letter <= 'Z') letter += 'a' - 'A';
    }
    // "c - input" writes the archive there, "d archive - [names]" the files' contents.
    if ((letter == 'c' && n == 4 && isStandardStreamArgument(arguments[cursor + 1])) ||
        (letter == 'd' && n >= 4 && isStandardStreamArgument(arguments[cursor + 2])))
        sendConsoleToStandardError();

    printNarrow("QZN\n64-bit version, supports archives >4 GB\nNov 20, 2014\n\n");

    // Every line of the library's runs goes to the console as it would have been printed here.
    CliRun run;
    qzn_options& options = flags.options;
    std::vector<const char*> excludes;
    for (const std::string& pattern : flags.excludes) excludes.push_back(pattern.c_str());
    excludes.push_back(nullptr);
    if (!flags.excludes.empty()) options.excludes = excludes.data();
    options.text = printText;
    options.overwrite = askOverwrite;
    options.user = &run;

    // What follows the paths of d and t: names of the files to take.
    auto namesFrom = [&](size_t first) {
        return std::vector<std::wstring>(arguments.begin() + std::ptrdiff_t(first),
                                         arguments.end());
    };
    if ((letter == 'c' && n == 4) || (letter == 'd' && n >= 4)) {
        const std::wstring& archivePath = arguments[cursor + 1];
        const std::wstring& otherPath = arguments[cursor + 2];
        if (letter == 'd') {
            qzn_status status = QZN_OK;
            ArchiveHandle archive = openArchive(archivePath, options, status);
            if (!archive) return exitStatus(status, run, false);
            const NameList names(namesFrom(cursor + 3));
            if (!isStandardStreamArgument(otherPath))
                return exitStatus(qzn_unpack(archive.get(), toUtf8(otherPath).c_str(), names.get()),
                                  run, false);
            const qzn_data_callbacks contents{writeContents, &run};
            return exitStatus(qzn_extract(archive.get(), names.get(), &contents), run, true);
        }
        const std::wstring& mode = arguments[cursor];
        options.level = 2;
        if (mode.size() >= 2) {
            wchar_t digit = mode[1];
            if (digit < L'1' || digit > L'6') {
                printWide(L"Unrecognized compression mode: %lc\n", digit);
                return 1;
            }
            options.level = int(digit - L'0');
        }
        qzn_options_clamp(&options);
        printWide(L"Window size: %d KB\n", 1 << (options.window_bits - 10));
        printWide(L"Context table size: %d bits\n", options.table_bits);
        printWide(L"Hash size: %d bits\n", options.hash_bits);
        const std::string input = toUtf8(otherPath);
        if (!isStandardStreamArgument(archivePath))
            return exitStatus(
                qzn_pack_to_path(input.c_str(), toUtf8(archivePath).c_str(), &options), run, false);
        // Refused before anything is read: archive bytes would garble the terminal.
        if (standardOutputIsTerminal()) {
            printText(&run, QZN_TEXT_ERROR, "Error: The archive would be written to a terminal\n");
            return 1;
        }
        options.stream_name = "standard output";
        return exitStatus(
            qzn_pack_to_callback(input.c_str(), writeStandardOutputBytes, &run, &options), run,
            false);
    }
    if (letter == 't' && n >= 3) {
        qzn_status status = QZN_OK;
        ArchiveHandle archive = openArchive(arguments[cursor + 1], options, status);
        if (!archive) return exitStatus(status, run, false);
        const NameList names(namesFrom(cursor + 2));
        return exitStatus(qzn_test(archive.get(), names.get()), run, false);
    }
    if (letter == 'l' && n >= 3) {
        qzn_status status = QZN_OK;
        ArchiveHandle archive = openArchive(arguments[cursor + 1], options, status);
        if (!archive) return exitStatus(status, run, false);
        printList(archive.get());
        archive.reset();
        if (isStandardStreamArgument(arguments[cursor + 1])) drainStandardInput();
        return 0;
    }
    printUsage(program);
    return 1;
}

} // namespace qzn
