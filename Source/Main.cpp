// The front end: banner, flags, mode letter, compression level and dispatch to one driver.
#include "Main.h"

#include "Main_Header.h"
#include "Platform.h"

#include <climits>
#include <cstring>
#include <thread>

namespace qzn {

namespace {

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
void applyFlag(Archiver& archiver, const std::string& flag, const std::wstring& argument) {
    auto matches = [&](const char* prefix) {
        return flag.compare(0, std::strlen(prefix), prefix) == 0;
    };
    auto value = [&](const char* prefix) {
        return parseFlagValue(flag.substr(std::strlen(prefix)));
    };
    if (matches("-window:")) archiver.windowBits = value("-window:");
    if (matches("-table:")) archiver.tableBits = value("-table:");
    if (matches("-hash:")) archiver.hashBits = value("-hash:");
    if (matches("-force-overwrite")) archiver.forceOverwrite = true;
    if (matches("-skip-crc")) archiver.skipCrc = true;
    if (matches("-filter:channels:")) archiver.channels = value("-filter:channels:");
    if (matches("-threads:")) archiver.threads = value("-threads:");
    if (matches("-exclude:"))
        archiver.excludes.push_back(argument.substr(std::strlen("-exclude:")));
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

int32_t hardwareThreads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n > unsigned(kMaxThreads) ? kMaxThreads : int32_t(n);
}

int qznMain(const std::vector<std::wstring>& arguments) {
    const std::wstring program = arguments.empty() ? std::wstring(L"QZN") : arguments[0];

    // The flags and the mode are read before anything is printed: a run whose standard output
    // carries the archive or file contents prints all its lines, the banner too, to standard
    // error.
    Archiver archiver;
    size_t n = arguments.size();
    size_t cursor = 1;
    while (n >= 2 && !arguments[cursor].empty() && arguments[cursor][0] == L'-') {
        applyFlag(archiver, lowBytes(arguments[cursor]), arguments[cursor]);
        ++cursor;
        --n;
    }

    uint32_t letter = 0;
    if (n >= 2 && !arguments[cursor].empty()) {
        letter = firstCodeUnit(arguments[cursor][0]);
        if (letter >= 'A' && letter <= 'Z') letter += 'a' - 'A';
    }
    // "c - input" writes the archive there, "d archive - [names]" the files' contents.
    if ((letter == 'c' && n == 4 && isStandardStream(arguments[cursor + 1])) ||
        (letter == 'd' && n >= 4 && isStandardStream(arguments[cursor + 2])))
        sendConsoleToStandardError();

    printNarrow("QZN\n64-bit version, supports archives >4 GB\nNov 20, 2014\n\n");

    // What follows the paths of d and t: names of the files to take.
    auto namesFrom = [&](size_t first) {
        return std::vector<std::wstring>(arguments.begin() + std::ptrdiff_t(first),
                                         arguments.end());
    };
    if ((letter == 'c' && n == 4) || (letter == 'd' && n >= 4)) {
        const std::wstring& archivePath = arguments[cursor + 1];
        const std::wstring& otherPath = arguments[cursor + 2];
        if (letter == 'd') {
            unpack(archiver, archivePath, otherPath, namesFrom(cursor + 3));
            return 0;
        }
        const std::wstring& mode = arguments[cursor];
        LevelSettings level = levelSettings(kDefaultLevel);
        if (mode.size() >= 2) {
            wchar_t digit = mode[1];
            if (digit < L'0' + kLowestLevel || digit > L'0' + kHighestLevel) {
                printWide(L"Unrecognized compression mode: %lc\n", digit);
                return 1;
            }
            level = levelSettings(digit - L'0');
        }
        archiver.chainLimit = level.chainLimit;
        archiver.lookaheadLimit = level.lookaheadLimit;
        archiver.parseMode = level.parseMode;
        clampPackParameters(archiver);
        printWide(L"Window size: %d KB\n", 1 << (archiver.windowBits - 10));
        printWide(L"Context table size: %d bits\n", archiver.tableBits);
        printWide(L"Hash size: %d bits\n", archiver.hashBits);
        pack(archiver, otherPath, archivePath);
        return 0;
    }
    if (letter == 't' && n >= 3) {
        test(archiver, arguments[cursor + 1], namesFrom(cursor + 2));
        return 0;
    }
    if (letter == 'l' && n >= 3) {
        list(arguments[cursor + 1]);
        return 0;
    }
    printUsage(program);
    return 1;
}

} // namespace qzn
