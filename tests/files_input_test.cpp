// What the measuring pass does with inputs that are not what they seem: a file swapped for a FIFO
// after the scan is never waited for, and a file that reports no size but holds more than can be
// kept for the data pass is left out, each with a warning.
#include "Files.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace qzn {
namespace {

using testing::runCapturingStop;
using testing::TempDir;
using testing::writeFile;

#ifndef _WIN32
TEST(MeasureInput, FileSwappedForAFifoIsSkippedWithoutWaiting) {
    TempDir tmp;
    writeFile(tmp / "a", "kept");
    writeFile(tmp / "b", "swapped");
    FileList list;
    list.scan(fromUtf8(tmp.path()));
    std::filesystem::remove(tmp / "b");
    ASSERT_EQ(mkfifo((tmp / "b").c_str(), 0600), 0);
    auto run = runCapturingStop([&] { list.measure(true); });
    EXPECT_FALSE(run.stopped);
    EXPECT_NE(run.output.find("Warning: Skipping " + (tmp / "b") + " (no longer a regular file)\n"),
              std::string::npos)
        << run.output;
    EXPECT_TRUE(list.incomplete);
    ASSERT_EQ(list.files.size(), 1u);
    EXPECT_EQ(list.files[0].name, L"a");

    // The input itself: nothing is left to pack.
    FileList single;
    writeFile(tmp / "c", "swapped");
    single.scan(fromUtf8(tmp / "c"));
    std::filesystem::remove(tmp / "c");
    ASSERT_EQ(mkfifo((tmp / "c").c_str(), 0600), 0);
    run = runCapturingStop([&] { single.measure(false); });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "Error: " + (tmp / "c") + " is not a file or folder\n");
}
#endif

// /proc/self/pagemap reports no size and holds 8 bytes for every page of the address space.
TEST(MeasureInput, FileReportingNoSizeThatHoldsTooMuchIsLeftOut) {
    const std::string pagemap = "/proc/self/pagemap";
    std::error_code error;
    if (testing::kWindows || std::filesystem::file_size(pagemap, error) != 0 || error)
        GTEST_SKIP() << "no " << pagemap;
    TempDir tmp;
    writeFile(tmp / "a", "kept");
    for (bool withCrc : {true, false}) {
        SCOPED_TRACE(withCrc);
        FileList list;
        list.scan(fromUtf8(tmp.path()));
        FileEntry entry;
        entry.path = fromUtf8(pagemap);
        entry.name = L"pagemap";
        list.dirs[0].files.push_back(list.files.size());
        list.files.push_back(entry);
        auto run = runCapturingStop([&] { list.measure(withCrc); });
        EXPECT_NE(run.output.find("Warning: Skipping " + pagemap +
                                  " (it reports no size and holds more than can be kept)\n"),
                  std::string::npos)
            << run.output;
        EXPECT_TRUE(list.incomplete);
        ASSERT_EQ(list.files.size(), 1u);
        EXPECT_EQ(list.files[0].size, 4u);
        EXPECT_TRUE(list.cache.bytes.size() < 4096) << list.cache.bytes.size();
    }
}

} // namespace
} // namespace qzn
