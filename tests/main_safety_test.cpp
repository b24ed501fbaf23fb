// Nothing lost, nothing destroyed: an archive never overwrites or stores its own input, a failed
// or interrupted run leaves what was there before, and no run that ends with status 0 left less
// than it should. All through the real binary.
#include "main_e2e.h"

using namespace qzn_e2e;

namespace {

TEST(Safety, ArchiveThatIsTheInputIsRefused) {
    Sandbox box;
    const std::string text = textBytes(5000, 1);
    box.put("f.txt", text);
    fs::create_hard_link(box.at("f.txt"), box.at("hard.txt"));
    fs::create_symlink("f.txt", box.at("soft.txt"));
    // The same file under other spellings and names.
    for (const char* archive : {"f.txt", "./f.txt", "hard.txt", "soft.txt"}) {
        SCOPED_TRACE(archive);
        RunResult r = box.run({"-force-overwrite", "c2", archive, "f.txt"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find(std::string("Error: The archive ") + archive + " is the input file"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(readFile(box.at("f.txt")), text);
    }
    EXPECT_TRUE(fs::is_symlink(box.at("soft.txt")));
}

TEST(Safety, ArchiveInsideItsInputIsLeftOut) {
    Sandbox box;
    box.put("in/a.txt", textBytes(30000, 2));
    box.put("in/sub/b.txt", textBytes(20000, 3));
    const auto original = snapshot(box.at("in"));

    // New archive, then the same archive replaced: neither is stored, each with a warning.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        RunResult r = box.run({"-force-overwrite", "c", "in/sub/self.qzn", "in"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("Warning: Skipping in/sub/self.qzn"), std::string::npos) << r.out;
        r = box.run({"l", "in/sub/self.qzn"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("\tb.txt ("), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\tself.qzn ("), std::string::npos) << r.out;

        fs::remove_all(box.at("out"));
        r = box.run({"d", "in/sub/self.qzn", "out"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(snapshot(box.at("out")), original);
    }
}

} // namespace
