// Files beyond 4 GiB: sizes, positions and totals must be 64-bit all the way through.
// Slow (several minutes, 4 GiB of scratch disk): runs only with QZN_SLOW_TESTS=1.
#include "main_e2e.h"

#include <fstream>

using namespace qzn_e2e;

namespace {

constexpr uint64_t kSize = (uint64_t(1) << 32) + 7;

// Sparse input: zeros with a few marks, including around the 4 GiB line.
void makeSparse(const fs::path& path) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(f.good());
    auto mark = [&](uint64_t at, const std::string& text) {
        ASSERT_TRUE(f.seekp(std::streamoff(at)).good());
        ASSERT_TRUE(f.write(text.data(), std::streamsize(text.size())).good());
    };
    mark(0, "start");
    mark(uint64_t(1) << 31, randomBytes(4096, 1));
    mark((uint64_t(1) << 32) - 3, "across");
    mark(kSize - 1, "!");
    f.close();
    ASSERT_FALSE(f.fail());
}

bool sameContents(const fs::path& a, const fs::path& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> p(1 << 20), q(1 << 20);
    while (x && y) {
        x.read(p.data(), std::streamsize(p.size()));
        y.read(q.data(), std::streamsize(q.size()));
        if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin()))
            return false;
    }
    return x.eof() && y.eof();
}

TEST(Large, FileBeyondFourGigabytes) {
    const char* slow = std::getenv("QZN_SLOW_TESTS");
    if (!slow || std::string(slow) != "1") GTEST_SKIP() << "set QZN_SLOW_TESTS=1 to run";
    Sandbox box;
    makeSparse(box.at("big"));
    ASSERT_EQ(fs::file_size(box.at("big")), kSize);

    RunResult r = box.run({"c1", "a.qzn", "big"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(std::to_string(kSize) + " -> "), std::string::npos) << r.out;

    r = box.run({"l", "a.qzn"});
    EXPECT_NE(r.out.find("(4194305 KB, crc32: "), std::string::npos) << r.out;

    r = box.run({"t", "a.qzn"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("All crc32 match\n"), std::string::npos);

    r = box.run({"d", "a.qzn", "big.out"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(" -> " + std::to_string(kSize) + " in "), std::string::npos) << r.out;
    ASSERT_EQ(fs::file_size(box.at("big.out")), kSize);
    EXPECT_TRUE(sameContents(box.at("big"), box.at("big.out")));
}

} // namespace
