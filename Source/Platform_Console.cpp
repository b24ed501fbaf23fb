// The console, the same on every platform: text formatted with the control characters of names
// made visible, messages and stops with a message, progress lines cut and padded by code points,
// and the answer read back. The bytes reach the console through writeOutput, which each platform
// provides: standard output, or standard error for a run whose standard output carries data.
#include "Platform.h"
#include "Platform_Internal.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>
#include <iterator>
#include <type_traits>

namespace qzn {

namespace {
std::atomic<bool> consoleToError{false};

FILE* consoleFile() {
    return consoleToError.load(std::memory_order_relaxed) ? stderr : stdout;
}

std::string vformatNarrow(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return {};
    if (size_t(n) < sizeof small) return std::string(small, size_t(n));
    std::string text(size_t(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(size_t(n));
    return text;
}

// vswprintf reports truncation as -1 in some C libraries and as the full length in others: grow
// the buffer until the text fits either way.
std::wstring vformatWide(const wchar_t* format, va_list args) {
    std::wstring text(256, L'\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vswprintf(text.data(), text.size(), format, copy);
        va_end(copy);
        if (n >= 0 && size_t(n) < text.size()) {
            text.resize(size_t(n));
            return text;
        }
        if (text.size() >= (size_t(1) << 24)) return {};
        text.resize(n >= 0 ? size_t(n) + 1 : text.size() * 4);
    }
}

// Bidirectional embeddings, overrides and isolates: a name holding one could show its characters
// in another order than they have ("txt.exe" shown as "exe.txt").
bool isBidiControl(uint32_t code) {
    return (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

// The byte a control character stands for (C0, DEL, C1, or on POSIX an undecodable byte
// 0x80-0x9F kept from a name); the code point itself, above 0xFF, of a bidirectional control;
// -1 for any other character.
int controlByte(wchar_t c) {
    const uint32_t code = uint32_t(c);
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return int(code);
    if (isBidiControl(code)) return int(code);
    if (code < 0xDC80 || code > 0xDC9F) return -1;
    return isControlByteStandIn(c) ? int(code - 0xDC00) : -1;
}

void appendVisible(std::wstring& out, const wchar_t* text, size_t size) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    for (const wchar_t* end = text + size; text != end; ++text) {
        const int byte = controlByte(*text);
        if (byte < 0)
            out += *text;
        else if (byte > 0xFF)
            out += {L'\\',
                    L'u',
                    kHex[byte >> 12],
                    kHex[(byte >> 8) & 15],
                    kHex[(byte >> 4) & 15],
                    kHex[byte & 15]};
        else
            out += {L'\\', L'x', kHex[byte >> 4], kHex[byte & 15]};
    }
}

// One conversion directive copied from a format ("%", flags, width, precision), to which
// the length and the conversion are added; longer ones than any format here holds are cut.
struct Conversion {
    wchar_t text[32] = {L'%'};
    size_t size = 1;
    void add(wchar_t c) {
        if (size + 1 < std::size(text)) text[size++] = c;
        text[size] = 0;
    }
    void add(const wchar_t* more) {
        while (*more != 0) add(*more++);
    }
};

// Appends one value formatted by `conversion`, in a buffer on the stack when it fits.
template <class Value>
void appendFormatted(std::wstring& out, const Conversion& conversion, Value value) {
    wchar_t small[128];
    const int n = std::swprintf(small, std::size(small), conversion.text, value);
    if (n >= 0 && size_t(n) < std::size(small))
        out.append(small, size_t(n));
    else
        out += formatWide(conversion.text, value);
}

// Length modifiers of two letters, packed as walkFormat reads them.
constexpr uint32_t kHh = 'h' << 8 | 'h', kLl = 'l' << 8 | 'l';

// Walks a wide format: `literal`(text, size) for each run of the format's own text, and
// `argument`(directive, value) for each conversion with its argument, taken by the type the format
// gives it. Integers come as intmax_t or uintmax_t with the directive rewritten to match, floating
// values as double or long double, strings as const wchar_t* or const char* and "%c" or "%lc"
// as a wchar_t, each with a directive of flags, width and precision only.
template <class Literal, class Argument>
void walkFormat(const wchar_t* format, va_list args, Literal literal, Argument argument) {
    for (const wchar_t* p = format; *p != 0;) {
        const wchar_t* text = p;
        while (*p != 0 && *p != L'%') ++p;
        if (p != text) literal(text, size_t(p - text));
        if (*p == 0) break;
        ++p;
        Conversion directive;
        while (*p == L'-' || *p == L'+' || *p == L' ' || *p == L'#' || *p == L'0')
            directive.add(*p++);
        for (int part = 0; part < 2; ++part) { // width, then precision; "*" from the arguments
            if (part == 1 && *p != L'.') break;
            if (part == 1) directive.add(*p++);
            if (*p == L'*') {
                directive.add(std::to_wstring(va_arg(args, int)).c_str());
                ++p;
            }
            while (*p >= L'0' && *p <= L'9') directive.add(*p++);
        }
        // The length modifier, as one or two of its letters packed into a number.
        const wchar_t* lengthStart = p;
        uint32_t size = 0;
        while (p - lengthStart < 2 &&
               (*p == L'h' || *p == L'l' || *p == L'j' || *p == L'z' || *p == L't' || *p == L'L'))
            size = size << 8 | uint32_t(*p++);
        const wchar_t conversion = *p;
        if (conversion == 0) break;
        ++p;
        switch (conversion) {
        case L'%':
            literal(L"%", 1);
            break;
        case L'd':
        case L'i': {
            intmax_t value = size == 'j'                  ? va_arg(args, intmax_t)
                             : size == 'z' || size == 't' ? intmax_t(va_arg(args, ptrdiff_t))
                             : size == kLl                ? intmax_t(va_arg(args, long long))
                             : size == 'l'                ? intmax_t(va_arg(args, long))
                                                          : intmax_t(va_arg(args, int));
            if (size == 'h') value = short(value);
            if (size == kHh) value = static_cast<signed char>(value);
            directive.add(L'j');
            directive.add(conversion);
            argument(directive, value);
            break;
        }
        case L'u':
        case L'o':
        case L'x':
        case L'X': {
            uintmax_t value = size == 'j'   ? va_arg(args, uintmax_t)
                              : size == 'z' ? uintmax_t(va_arg(args, size_t))
                              : size == 't' ? uintmax_t(va_arg(args, ptrdiff_t))
                              : size == kLl ? uintmax_t(va_arg(args, unsigned long long))
                              : size == 'l' ? uintmax_t(va_arg(args, unsigned long))
                                            : uintmax_t(va_arg(args, unsigned));
            if (size == 'h') value = static_cast<unsigned short>(value);
            if (size == kHh) value = static_cast<unsigned char>(value);
            directive.add(L'j');
            directive.add(conversion);
            argument(directive, value);
            break;
        }
        case L'c': {
            // A wint_t narrower than int (Windows) arrives promoted.
            using WideCharacter = decltype(+wint_t());
            argument(directive,
                     wchar_t(size == 'l' ? va_arg(args, WideCharacter) : va_arg(args, int)));
            break;
        }
        case L's':
            if (size == 'l') {
                const wchar_t* value = va_arg(args, const wchar_t*);
                argument(directive, value ? value : L"(null)");
            } else {
                const char* value = va_arg(args, const char*);
                argument(directive, value ? value : "(null)");
            }
            break;
        case L'f':
        case L'F':
        case L'e':
        case L'E':
        case L'g':
        case L'G':
        case L'a':
        case L'A':
            if (size == 'L') directive.add(L'L');
            directive.add(conversion);
            if (size == 'L')
                argument(directive, va_arg(args, long double));
            else
                argument(directive, va_arg(args, double));
            break;
        case L'p':
            directive.add(L'p');
            argument(directive, va_arg(args, void*));
            break;
        default: // not a conversion this program uses: shown as written
            literal(directive.text, directive.size);
            literal(lengthStart, size_t(p - 1 - lengthStart));
            literal(&conversion, 1);
            break;
        }
    }
}

template <class T>
constexpr bool kIsText = std::is_same_v<T, const wchar_t*> || std::is_same_v<T, const char*> ||
                         std::is_same_v<T, wchar_t>;

// Like vformatWide, but every string that reaches the text through "%ls", "%s" or "%lc" is made
// visible first, and only those: the format's own line ends and tabs stay. Text without control
// characters, by far the most usual, is formatted in one call as before; "%s" always takes the
// long way, which reads it as UTF-8 on every platform.
std::wstring vformatVisible(const wchar_t* format, va_list args) {
    bool plain = true;
    va_list copy;
    va_copy(copy, args);
    walkFormat(
        format, copy, [](const wchar_t*, size_t) {},
        [&](const Conversion&, auto value) {
            using T = decltype(value);
            if constexpr (std::is_same_v<T, const wchar_t*>) {
                for (const wchar_t* c = value; *c != 0 && plain; ++c) plain = controlByte(*c) < 0;
            } else if constexpr (std::is_same_v<T, wchar_t>) {
                plain = plain && controlByte(value) < 0;
            } else if constexpr (std::is_same_v<T, const char*>) {
                plain = false;
            }
        });
    va_end(copy);
    if (plain) return vformatWide(format, args);

    std::wstring out;
    walkFormat(
        format, args, [&](const wchar_t* text, size_t size) { out.append(text, size); },
        [&](Conversion& directive, auto value) {
            using T = decltype(value);
            if constexpr (kIsText<T>) {
                std::wstring text;
                if constexpr (std::is_same_v<T, wchar_t>) {
                    appendVisible(text, &value, 1);
                } else if constexpr (std::is_same_v<T, const wchar_t*>) {
                    appendVisible(text, value, std::wcslen(value));
                } else {
                    const std::wstring wide = fromUtf8(value);
                    appendVisible(text, wide.data(), wide.size());
                }
                directive.add(L"ls");
                appendFormatted(out, directive, text.c_str());
            } else {
                appendFormatted(out, directive, value);
            }
        });
    return out;
}

bool isHighSurrogate(wchar_t c) {
    return uint32_t(c) >= 0xD800 && uint32_t(c) <= 0xDBFF;
}
bool isLowSurrogate(wchar_t c) {
    return uint32_t(c) >= 0xDC00 && uint32_t(c) <= 0xDFFF;
}

// Code units of the code point starting at text[i]: 2 for a surrogate pair, else 1.
size_t codePointUnits(const std::wstring& text, size_t i) {
    return isHighSurrogate(text[i]) && i + 1 < text.size() && isLowSurrogate(text[i + 1]) ? 2 : 1;
}

// Whether the last text printed left its line open: a progress line ("\r%-79s") or a question.
std::atomic<bool> lineOpen{false};

void writeConsole(const std::string& bytes) {
    if (bytes.empty()) return;
    writeOutput(bytes.data(), bytes.size());
    lineOpen.store(bytes.back() != '\n', std::memory_order_relaxed);
}

// Text of a run goes to the run; outside one, to the console.
void writeText(const std::string& bytes, TextKind kind = TextKind::Line) {
    if (bytes.empty()) return;
    if (RunHooks* run = currentRun())
        run->text(kind, bytes);
    else
        writeConsole(bytes);
}

// A message that ends the run starts a line of its own, not the end of a progress line.
std::string ownLine(const std::wstring& text) {
    std::string bytes = toUtf8(text);
    if (lineOpen.load(std::memory_order_relaxed) && (bytes.empty() || bytes.front() != '\n'))
        bytes.insert(bytes.begin(), '\n');
    return bytes;
}
} // namespace

void sendConsoleToStandardError() {
    std::fflush(stdout);
    consoleToError = true;
}

bool consoleOnStandardError() {
    return consoleToError.load(std::memory_order_relaxed);
}

std::wstring visibleText(const std::wstring& text) {
    size_t clean = 0;
    while (clean < text.size() && controlByte(text[clean]) < 0) ++clean;
    if (clean == text.size()) return text;
    std::wstring visible = text.substr(0, clean);
    appendVisible(visible, text.data() + clean, text.size() - clean);
    return visible;
}

void printNarrow(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformatNarrow(format, args);
    va_end(args);
    writeText(text);
}

std::string formatNarrow(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformatNarrow(format, args);
    va_end(args);
    return text;
}

void printWide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = vformatVisible(format, args);
    va_end(args);
    writeText(toUtf8(text));
}

std::wstring formatWide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = vformatWide(format, args);
    va_end(args);
    return text;
}

void printQuestion(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = toUtf8(vformatVisible(format, args));
    va_end(args);
    writeText(text);
    if (outputIsInteractive()) return;
    // Standard output goes to a file or a pipe: the one waiting for the answer sees the question
    // on standard error, which stays on the terminal. Out after what was printed before it.
    std::fflush(stdout);
    writeErrorOutput(text.data(), text.size());
    std::fflush(stderr);
}

// The message of a stop: the run's console starts it on a line of its own.
[[noreturn]] static void stopWithMessage(const std::wstring& text) {
    if (currentRun())
        writeText(toUtf8(text), TextKind::Error);
    else
        writeConsole(ownLine(text));
    stopRun(1, kStopDerived, text);
}

[[noreturn]] void fatalWide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = vformatVisible(format, args);
    va_end(args);
    stopWithMessage(text);
}

void printWithReason(const wchar_t* format, ...) {
    const std::wstring reason = systemErrorText();
    va_list args;
    va_start(args, format);
    std::wstring text = vformatVisible(format, args);
    va_end(args);
    writeText(toUtf8(text + reason + L"\n"));
}

[[noreturn]] void fatalWithReason(const wchar_t* format, ...) {
    const std::wstring reason = systemErrorText();
    va_list args;
    va_start(args, format);
    std::wstring text = vformatVisible(format, args);
    va_end(args);
    stopWithMessage(text + reason + L"\n");
}

[[noreturn]] void stopWithReason(const wchar_t* format, ...) {
    const std::wstring reason = systemErrorText();
    va_list args;
    va_start(args, format);
    std::wstring text = vformatVisible(format, args);
    va_end(args);
    text += reason + L"\n";
    writeText(toUtf8(text));
    stopRun(1, kStopDerived, text);
}

void printRunText(TextKind kind, const std::string& utf8) {
    if (kind == TextKind::Error) {
        writeConsole(ownLine(fromUtf8(utf8)));
        return;
    }
    writeConsole(utf8);
    if (kind == TextKind::Progress && outputIsInteractive()) std::fflush(consoleFile());
}

// A progress line is pushed out at once only where someone watches it; into a file or a pipe
// it goes with the buffered output, so that it costs no system call of its own.
static void flushProgress() {
    if (outputIsInteractive()) std::fflush(consoleFile());
}

void printProgress(const std::string& text) {
    writeText(formatNarrow("\r%-79s", text.substr(0, 79).c_str()), TextKind::Progress);
    if (!currentRun()) flushProgress();
}

void printProgressEnd(const std::string& text) {
    printNarrow("\r%-79s\n", text.substr(0, 79).c_str());
}

size_t codePointCount(const std::wstring& text) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); i += codePointUnits(text, i)) ++count;
    return count;
}

std::wstring codePointPrefix(const std::wstring& text, size_t limit) {
    size_t i = 0;
    for (size_t count = 0; i < text.size() && count < limit; ++count) i += codePointUnits(text, i);
    return text.substr(0, i);
}

// Padding counts characters, not bytes, so it is done on the wide text before conversion.
static std::string progressLine(const std::wstring& text) {
    std::wstring line = codePointPrefix(visibleText(text), 159);
    size_t count = codePointCount(line);
    if (count < 79) line.append(79 - count, L' ');
    std::string bytes(1, '\r');
    bytes += toUtf8(line);
    return bytes;
}

void printProgressWide(const std::wstring& text) {
    writeText(progressLine(text), TextKind::Progress);
    if (!currentRun()) flushProgress();
}

void printProgressEndWide(const std::wstring& text) {
    writeText(progressLine(text) + "\n");
}

int readAnswerCharacter() {
    std::fflush(consoleFile());
    int c = std::getchar();
    if (c == EOF) return EOF;
    // Discard the rest of the typed line so that it cannot answer a later question.
    int rest = c;
    while (rest != '\n' && rest != EOF) rest = std::getchar();
    return c;
}

} // namespace qzn
