// Rate-limited log lines: a flood of one message costs a few lines a second, and the
// count of what was left out is reported before the next line written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log.h"

namespace {

struct Captured {
    std::vector<std::pair<kivo::LogStream, std::string>> lines;
    Captured() {
        kivo::LogSinkSet(
            [this](kivo::LogStream s, std::string_view t) { lines.emplace_back(s, std::string(t)); });
    }
    ~Captured() { kivo::LogSinkSet(nullptr); }
};

}  // namespace

TEST(LogLimited, BurstPerWindowThenTheCountOfWhatWasLeftOut) {
    uint64_t leftOut = 99;
    const uint64_t t0 = 1000000;
    for (unsigned i = 0; i < kivo::kLogLimitBurst; ++i) {
        EXPECT_TRUE(kivo::LogLimitPass("test key", t0 + i, leftOut));
        EXPECT_EQ(leftOut, 0u);
    }
    for (int i = 0; i < 1000; ++i) EXPECT_FALSE(kivo::LogLimitPass("test key", t0 + 500, leftOut));
    // Another key has its own budget.
    EXPECT_TRUE(kivo::LogLimitPass("other key", t0 + 500, leftOut));
    // Still inside the window; then the next window opens with the count.
    EXPECT_FALSE(kivo::LogLimitPass("test key", t0 + kivo::kLogLimitWindowMs - 1, leftOut));
    EXPECT_TRUE(kivo::LogLimitPass("test key", t0 + kivo::kLogLimitWindowMs, leftOut));
    EXPECT_EQ(leftOut, 1001u);
    EXPECT_TRUE(kivo::LogLimitPass("test key", t0 + kivo::kLogLimitWindowMs + 1, leftOut));
    EXPECT_EQ(leftOut, 0u);
}

TEST(LogLimited, WritesTheMessageTextUnchangedOnItsStream) {
    Captured c;
    for (int i = 0; i < 100; ++i)
        kivo::LogLimited("flood key", kivo::LogStream::kErr, "Warning: frame %d discarded.\n", i);
    ASSERT_EQ(c.lines.size(), kivo::kLogLimitBurst);
    EXPECT_EQ(c.lines[0].first, kivo::LogStream::kErr);
    EXPECT_EQ(c.lines[0].second, "Warning: frame 0 discarded.\n");
    EXPECT_EQ(c.lines.back().second,
              "Warning: frame " + std::to_string(kivo::kLogLimitBurst - 1) + " discarded.\n");
}
