// The console's promises that the end-to-end tests reach only in part: a message that ends the
// run starts a line of its own, and names cannot reorder what the terminal shows.
#include "Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace qzn {
namespace {

using testing::runCapturingStop;

TEST(ConsoleLines, StopMessageStartsALineOfItsOwn) {
    // After a progress line, which the next one overwrites, and after a question.
    for (bool progress : {true, false}) {
        SCOPED_TRACE(progress);
        auto run = runCapturingStop([&] {
            if (progress)
                printProgress("1.0/2.0 MB");
            else
                printWide(L"Press Y to overwrite it: ");
            fatalWide(L"Error: Failed to write %ls\n", L"a.qzn");
        });
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.output.find(" \nError: Failed to write a.qzn\n"), std::string::npos)
            << run.output;
        run = runCapturingStop([&] {
            printProgress("1.0/2.0 MB");
            fatalWithReason(L"Error: Failed to open %ls\n", L"a.qzn");
        });
        EXPECT_NE(run.output.find(" \nError: Failed to open a.qzn\n"), std::string::npos)
            << run.output;
    }
    // After a whole line, and when the message begins with its own line end, nothing is added.
    auto run = runCapturingStop([] {
        printProgressEnd("Done");
        fatalWide(L"Error: x\n");
    });
    EXPECT_NE(run.output.find("Done"), std::string::npos);
    EXPECT_EQ(run.output.find("\n\n"), std::string::npos) << run.output;
    run = runCapturingStop([] {
        printProgress("1.0/2.0 MB");
        fatalWide(L"\nError: x\n");
    });
    EXPECT_EQ(run.output.find("\n\n"), std::string::npos) << run.output;
}

TEST(ConsoleLines, BidirectionalControlsAreEscapedAndNothingElseAbove0xFF) {
    EXPECT_EQ(visibleText(L"a\u202Ab\u202Ec\u2066d\u2069e"), L"a\\u202Ab\\u202Ec\\u2066d\\u2069e");
    // Their neighbours, and the marks that only tell a direction, stay.
    const std::wstring kept = L"\u2029\u202F\u2065\u206A\u200E\u200F\u00E9\u65E5";
    EXPECT_EQ(visibleText(kept), kept);
    EXPECT_EQ(visibleText(visibleText(L"x\u202E")), L"x\\u202E");
}

} // namespace
} // namespace qzn
