// What a user gets from an install: the manual page renders cleanly and documents every flag that
// the real binary's usage text names, and `cmake --install` into a fresh prefix gives a working
// program with its page, README and LICENSE.
#ifndef _WIN32
#include "main_e2e.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>

using namespace qzn_e2e;

namespace {

struct Captured {
    int status = -1;
    std::string out;
};

// Runs a shell command line; captures standard output (standard error only when the line says).
Captured shell(const std::string& command) {
    Captured result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string quoted(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool haveGroff() {
    return shell("command -v groff >/dev/null 2>&1").status == 0;
}

// The page as plain text: no bold or underline, no hyphenation, lines long enough that a flag's
// entry never wraps inside a word.
std::string renderPlain(const std::string& page) {
    return shell("groff -man -Tutf8 -rHY=0 -rLL=300n -P-cbou " + quoted(page) + " 2>/dev/null").out;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t indentOf(const std::string& line) {
    return line.find_first_not_of(' ');
}

// The rendered entry of a tagged paragraph whose tag line is exactly `tag`: the tag line and the
// lines indented deeper than it. Empty when the page has no such tag.
std::string entryFor(const std::vector<std::string>& lines, const std::string& tag) {
    for (size_t i = 0; i < lines.size(); ++i) {
        const size_t indent = indentOf(lines[i]);
        if (indent == std::string::npos || lines[i].substr(indent) != tag) continue;
        std::string entry = lines[i];
        for (size_t j = i + 1; j < lines.size(); ++j) {
            const size_t inner = indentOf(lines[j]);
            if (inner != std::string::npos && inner <= indent) break;
            entry += " " + lines[j];
        }
        return entry;
    }
    return "";
}

struct UsageFlag {
    std::string name;         // "-window:bits"
    std::string defaultValue; // "23", "all cores", or empty when the line names none
};

// The flags of the usage text: every line after "Flags:" reads "<flag> = <meaning>".
std::vector<UsageFlag> usageFlags(const std::string& usage) {
    std::vector<UsageFlag> flags;
    const size_t start = usage.find("\nFlags:\n");
    if (start == std::string::npos) return flags;
    const std::regex defaultPattern("default:? ([^(,]*[^(, ])");
    for (const std::string& line : linesOf(usage.substr(start + 8))) {
        const size_t equals = line.find(" = ");
        if (line.empty() || line[0] != '-' || equals == std::string::npos) continue;
        UsageFlag flag{line.substr(0, equals), ""};
        std::smatch match;
        if (std::regex_search(line, match, defaultPattern)) flag.defaultValue = match[1];
        flags.push_back(flag);
    }
    return flags;
}

TEST(ManualPage, RendersWithoutAWarningAndHasEverySection) {
    if (!haveGroff()) FAIL() << "groff is needed for this test: apt-get install groff-base";
    Sandbox box;
    const std::string errors = (box.root / "groff-errors").string();
    const Captured render =
        shell("groff -man -Tutf8 -ww " + quoted(QZN_MANUAL_PAGE) + " 2>" + quoted(errors));
    EXPECT_EQ(render.status, 0);
    EXPECT_EQ(readFile(errors), "") << "groff warnings";

    const std::vector<std::string> lines = linesOf(renderPlain(QZN_MANUAL_PAGE));
    ASSERT_GT(lines.size(), 100u);
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "MODES", "OPTIONS",
                                "EXIT STATUS", "EXAMPLES", "FILES", "ENVIRONMENT", "NOTES"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), section), lines.end()) << section;
    // The footer carries the version the packages are built with.
    EXPECT_NE(lines.back().find("QZN " QZN_VERSION), std::string::npos) << lines.back();
    EXPECT_EQ(lines.front().rfind("QZN(1)", 0), 0u) << lines.front();
}

TEST(ManualPage, DocumentsEveryFlagOfTheUsageTextWithItsDefault) {
    if (!haveGroff()) FAIL() << "groff is needed for this test: apt-get install groff-base";
    Sandbox box;
    const RunResult usage = box.run({});
    ASSERT_EQ(usage.status, 1);
    const std::vector<UsageFlag> flags = usageFlags(usage.out);
    ASSERT_GE(flags.size(), 6u) << usage.out;

    const std::vector<std::string> lines = linesOf(renderPlain(QZN_MANUAL_PAGE));
    for (const UsageFlag& flag : flags) {
        const std::string entry = entryFor(lines, flag.name);
        EXPECT_NE(entry, "") << "no entry for " << flag.name;
        if (!flag.defaultValue.empty()) {
            EXPECT_NE(entry.find("default " + flag.defaultValue), std::string::npos)
                << flag.name << " should say \"default " << flag.defaultValue << "\": " << entry;
        }
    }
    // The modes of the usage text, as tags of the MODES section.
    for (const char* mode : {"c[1–6] archive input", "d archive output", "l archive", "t archive"})
        EXPECT_NE(entryFor(lines, mode), "") << mode;
}

// `cmake --install` of this build into `prefix`.
Captured installInto(const fs::path& prefix) {
    return shell(quoted(QZN_CMAKE_COMMAND) + " --install " + quoted(QZN_BUILD_DIR) + " --prefix " +
                 quoted(prefix) + " 2>&1");
}

TEST(Install, FreshPrefixGetsAWorkingProgramItsPageReadmeAndLicense) {
    Sandbox box;
    const fs::path prefix = box.root / "prefix";
    const Captured install = installInto(prefix);
    ASSERT_EQ(install.status, 0) << install.out;

    const fs::path program = prefix / "bin/qzn";
    const fs::path page = prefix / "share/man/man1/qzn.1";
    ASSERT_TRUE(fs::exists(program));
    EXPECT_EQ(readFile(page), readFile(QZN_MANUAL_PAGE));
    EXPECT_EQ(readFile(prefix / "share/doc/qzn/README.md"),
              readFile(fs::path(QZN_SOURCE_DIR) / "README.md"));
    const std::string license = readFile(prefix / "share/doc/qzn/LICENSE");
    EXPECT_NE(license.find("MIT License"), std::string::npos);
    EXPECT_NE(license.find("Copyright (c) 2026 The QZN authors"), std::string::npos);

    // The installed copy packs, tests and unpacks a small tree on its own.
    box.put("in/a.txt", textBytes(50000, 1));
    box.put("in/sub/b.bin", randomBytes(3000, 2));
    box.put("in/sub/empty", "");
    const std::string run = "cd " + quoted(box.work) + " && " + quoted(program) + " ";
    const Captured pack = shell(run + "c3 in.qzn in 2>&1");
    ASSERT_EQ(pack.status, 0) << pack.out;
    const Captured test = shell(run + "t in.qzn 2>&1");
    EXPECT_EQ(test.status, 0) << test.out;
    EXPECT_NE(test.out.find("All crc32 match"), std::string::npos) << test.out;
    const Captured unpack = shell(run + "d in.qzn out 2>&1");
    ASSERT_EQ(unpack.status, 0) << unpack.out;
    EXPECT_EQ(snapshot(box.at("out")), snapshot(box.at("in")));

    // `man -l` shows the installed page, where man is installed at all.
    if (shell("command -v man >/dev/null 2>&1").status == 0) {
        const Captured man = shell("MANPAGER=cat MANWIDTH=80 man -l " + quoted(page) + " 2>&1");
        EXPECT_EQ(man.status, 0) << man.out;
        EXPECT_NE(man.out.find("compressed archive"), std::string::npos) << man.out;
    }
}

// What a developer gets from an install: the header, both libraries, a qzn.pc that names the
// prefix installed to, and the CMake package; a C program built with the flags pkg-config gives
// runs against the installed shared library.
TEST(Install, FreshPrefixGetsTheHeaderLibrariesPkgConfigAndCMakePackage) {
    Sandbox box;
    const fs::path prefix = box.root / "prefix";
    const Captured install = installInto(prefix);
    ASSERT_EQ(install.status, 0) << install.out;

    EXPECT_EQ(readFile(prefix / "include/qzn.h"),
              readFile(fs::path(QZN_SOURCE_DIR) / "include/qzn.h"));
    EXPECT_TRUE(fs::is_regular_file(prefix / "lib/libqzn.a"));
    EXPECT_TRUE(fs::is_regular_file(prefix / "lib/libqzn.so." QZN_VERSION));
    ASSERT_TRUE(fs::is_symlink(prefix / "lib/libqzn.so.1"));
    EXPECT_EQ(fs::read_symlink(prefix / "lib/libqzn.so.1"), "libqzn.so." QZN_VERSION);
    EXPECT_EQ(fs::read_symlink(prefix / "lib/libqzn.so"), "libqzn.so.1");
    for (const char* file : {"qznConfig.cmake", "qznConfigVersion.cmake", "qznTargets.cmake"})
        EXPECT_TRUE(fs::is_regular_file(prefix / "lib/cmake/qzn" / file)) << file;
    const std::string pc = readFile(prefix / "lib/pkgconfig/qzn.pc");
    EXPECT_NE(pc.find("prefix=" + prefix.string() + "\n"), std::string::npos) << pc;
    EXPECT_NE(pc.find("\nVersion: " QZN_VERSION "\n"), std::string::npos) << pc;

#ifdef QZN_SANITIZED_LIBRARY
    GTEST_SKIP() << "a plain C program cannot load a library built with the sanitizers";
#endif
    if (shell("command -v pkg-config >/dev/null 2>&1 && command -v cc >/dev/null 2>&1").status != 0)
        GTEST_SKIP() << "pkg-config or cc is missing: apt-get install pkgconf gcc";
    const std::string env = "PKG_CONFIG_PATH=" + quoted((prefix / "lib/pkgconfig").string()) + " ";
    const Captured flags = shell(env + "pkg-config --cflags --libs qzn 2>&1");
    ASSERT_EQ(flags.status, 0) << flags.out;
    EXPECT_EQ(flags.out, "-I" + (prefix / "include").string() + " -L" + (prefix / "lib").string() +
                             " -lqzn \n");
    const std::string program = (box.root / "list").string();
    const Captured build = shell("cc -std=c99 -Wall -Wextra -Werror -o " + quoted(program) + " " +
                                 quoted(std::string(QZN_SOURCE_DIR) + "/examples/list.c") + " " +
                                 flags.out.substr(0, flags.out.size() - 1) + " 2>&1");
    ASSERT_EQ(build.status, 0) << build.out;
    box.put("in/a.txt", textBytes(5000, 1));
    ASSERT_EQ(box.run({"c", "in.qzn", "in"}).status, 0);
    const Captured list = shell("cd " + quoted(box.work) +
                                " && LD_LIBRARY_PATH=" + quoted((prefix / "lib").string()) + " " +
                                quoted(program) + " in.qzn 2>&1");
    EXPECT_EQ(list.status, 0) << list.out;
    const std::string crc = hexUpper(crc32(textBytes(5000, 1)));
    EXPECT_EQ(list.out, "/\t-\t-\na.txt\t5000\t" + std::string(8 - crc.size(), '0') + crc + "\n");
}

// The README for Windows users has Windows line ends, the usage text the program prints under
// its Windows name, every status a Windows run can end with, and nothing of Linux's.
TEST(WindowsReadme, HasCrlfLinesTheUsageTextAndWindowsStatuses) {
    const std::string readme = readFile(fs::path(QZN_SOURCE_DIR) / "doc/README-windows.txt");
    ASSERT_FALSE(readme.empty());
    for (size_t at = readme.find('\n'); at != std::string::npos; at = readme.find('\n', at + 1))
        ASSERT_TRUE(at > 0 && readme[at - 1] == '\r') << "a bare line feed at byte " << at;
    Sandbox box;
    const RunResult usage = box.runAs("qzn.exe", {});
    const size_t start = usage.out.find("Usage:\n");
    ASSERT_NE(start, std::string::npos) << usage.out;
    for (const std::string& line : linesOf(usage.out.substr(start)))
        EXPECT_NE(readme.find("\r\n" + (line.empty() ? "" : "    " + line) + "\r\n"),
                  std::string::npos)
            << line;
    for (const char* status : {"\r\n  0 ", "\r\n  1 ", "\r\n  3 ", "\r\n  130 ", "\r\n  143 ",
                               "\r\n  129 ", "closed output pipe", "-force-overwrite d"})
        EXPECT_NE(readme.find(status), std::string::npos) << status;
    for (const char* linux : {"apt-get", "man -l", "SIGPIPE", "141", "/usr/", "sudo"})
        EXPECT_EQ(readme.find(linux), std::string::npos) << linux;
}

// The Windows zip, made from the Windows build beside the qzn.exe that QZN_WINDOWS_BINARY names
// (CI sets it), holds the program, LICENSE and the README for Windows users as README.txt, and
// for programs of one's own the DLL beside the program, the header and the import library.
TEST(WindowsReadme, WindowsZipHoldsItAsReadmeTxt) {
    const char* windowsBinary = std::getenv("QZN_WINDOWS_BINARY");
    if (!windowsBinary || !*windowsBinary) GTEST_SKIP() << "QZN_WINDOWS_BINARY is not set";
    const fs::path build = fs::path(windowsBinary).parent_path();
    Sandbox box;
    const fs::path cpack = fs::path(QZN_CMAKE_COMMAND).parent_path() / "cpack";
    const Captured made = shell("cd " + quoted(build) + " && " + quoted(cpack) + " -G ZIP -B " +
                                quoted(box.root) + " 2>&1");
    ASSERT_EQ(made.status, 0) << made.out;
    fs::path zip;
    for (const auto& entry : fs::directory_iterator(box.root))
        if (entry.path().extension() == ".zip") zip = entry.path();
    ASSERT_FALSE(zip.empty()) << made.out;
    const Captured listed =
        shell("cd " + quoted(box.work) + " && " + quoted(QZN_CMAKE_COMMAND) + " -E tar xf " +
              quoted(zip) + " 2>&1 && find . -type f | LC_ALL=C sort");
    ASSERT_EQ(listed.status, 0) << listed.out;
    const std::string top = "./" + zip.stem().string() + "/";
    EXPECT_EQ(listed.out, top + "LICENSE\n" + top + "README.txt\n" + top + "include/qzn.h\n" + top +
                              "lib/libqzn.dll.a\n" + top + "qzn.dll\n" + top + "qzn.exe\n");
    const fs::path unpacked = box.work / zip.stem();
    EXPECT_EQ(readFile(unpacked / "README.txt"),
              readFile(fs::path(QZN_SOURCE_DIR) / "doc/README-windows.txt"));
    EXPECT_EQ(readFile(unpacked / "include/qzn.h"),
              readFile(fs::path(QZN_SOURCE_DIR) / "include/qzn.h"));
    // The DLL is the one the import library names, and the program does not need it.
    EXPECT_NE(readFile(unpacked / "lib/libqzn.dll.a").find("qzn.dll"), std::string::npos);
    EXPECT_EQ(readFile(unpacked / "qzn.exe").find("qzn.dll"), std::string::npos);
}

} // namespace
#else
#include <gtest/gtest.h>

TEST(ManualPage, NotPartOfTheWindowsBuild) {
    GTEST_SKIP() << "no manual page or install tree";
}
#endif
