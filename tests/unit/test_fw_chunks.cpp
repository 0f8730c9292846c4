// The chunked firmware file reader on whole and on damaged files: every length in the
// file is a claim, and a file that breaks one must end the walk, never run past its end.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "fw_chunks.h"

using kivo::fw::ChunkReader;
using kivo::fw::ChunkRecord;
using kivo::fw::ChunkStatus;

namespace {

// A file image: 68 header bytes, the magic word, 8 bytes, then what the test appends.
struct Image {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(68, 0x11);
    Image() {
        bytes.insert(bytes.end(), {0xAA, 0x55, 0xAA, 0x55});
        bytes.insert(bytes.end(), 8, 0x22);
    }
    Image& Word(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    // A record of n data bytes: its length word, four information bytes, the data.
    Image& Record(uint32_t n, uint8_t fill) {
        Word(n / 4 + 2).Word(0x04030201u * fill);
        bytes.insert(bytes.end(), n, fill);
        return *this;
    }
};

struct Opened {
    std::vector<uint8_t> bytes;
    std::unique_ptr<FILE, int (*)(FILE*)> file;
    explicit Opened(const Image& image)
        : bytes(image.bytes), file(fmemopen(bytes.data(), bytes.size(), "rb"), &std::fclose) {}
};

}  // namespace

TEST(FwChunks, WalksRecordsAndLeavesEachRecordsDataToTheCaller) {
    Opened f(Image().Record(8, 1).Record(4, 2).Word(0).Word(0xCAFEF00Du));
    ChunkReader reader(f.file.get());
    ASSERT_EQ(reader.Start(), ChunkStatus::kRecord);
    ChunkRecord record;
    ASSERT_EQ(reader.Next(record), ChunkStatus::kRecord);
    EXPECT_EQ(record.size, 8u);
    EXPECT_EQ(record.info, (std::array<uint8_t, 4>{1, 2, 3, 4}));
    uint8_t data[8] = {};
    ASSERT_EQ(std::fread(data, 1, 8, f.file.get()), 8u);  // the caller reads the data itself
    EXPECT_EQ(data[7], 1);
    ASSERT_EQ(reader.Next(record), ChunkStatus::kRecord);
    EXPECT_EQ(record.size, 4u);
    ASSERT_TRUE(reader.SkipData(record));
    ASSERT_EQ(reader.Next(record), ChunkStatus::kEnd);
    std::array<uint8_t, 4> entry{};
    ASSERT_TRUE(reader.EntryPoint(entry));
    EXPECT_EQ(entry, (std::array<uint8_t, 4>{0x0D, 0xF0, 0xFE, 0xCA}));
    // The top bit of the length word is no part of the length.
    Opened flagged(Image().Word(0x80000003u).Word(0));
    ChunkReader second(flagged.file.get());
    ASSERT_EQ(second.Start(), ChunkStatus::kRecord);
    ASSERT_EQ(second.Next(record), ChunkStatus::kRecord);
    EXPECT_EQ(record.size, 4u);
}

TEST(FwChunks, RefusesAFileWithoutTheMagicWordOrTooShortToHoldIt) {
    Image wrong;
    wrong.bytes[69] = 0x00;
    Opened bad(wrong);
    EXPECT_EQ(ChunkReader(bad.file.get()).Start(), ChunkStatus::kBadMagic);
    Image shortImage;
    shortImage.bytes.resize(70);
    Opened cut(shortImage);
    EXPECT_EQ(ChunkReader(cut.file.get()).Start(), ChunkStatus::kBadMagic);
}

TEST(FwChunks, EndsTheWalkWhereALengthClaimsMoreThanTheFileHolds) {
    ChunkRecord record;
    // A length word below the two header words would wrap to about 4 GiB.
    for (uint32_t words : {0x00000001u, 0x80000001u}) {
        Opened f(Image().Word(words).Word(0).Word(0));
        ChunkReader reader(f.file.get());
        ASSERT_EQ(reader.Start(), ChunkStatus::kRecord);
        EXPECT_EQ(reader.Next(record), ChunkStatus::kUnreadable) << words;
    }
    // A record cut inside its information bytes.
    Image cutInfo;
    cutInfo.Word(4).bytes.push_back(0x01);
    Opened header(cutInfo);
    ChunkReader headerReader(header.file.get());
    ASSERT_EQ(headerReader.Start(), ChunkStatus::kRecord);
    EXPECT_EQ(headerReader.Next(record), ChunkStatus::kUnreadable);
    // Data claimed past the end of the file: 400 bytes announced, 8 there.
    Image cutData;
    cutData.Word(102).Word(0);
    cutData.bytes.insert(cutData.bytes.end(), 8, 0x33);
    Opened data(cutData);
    ChunkReader dataReader(data.file.get());
    ASSERT_EQ(dataReader.Start(), ChunkStatus::kRecord);
    ASSERT_EQ(dataReader.Next(record), ChunkStatus::kRecord);
    EXPECT_EQ(record.size, 400u);
    EXPECT_FALSE(dataReader.SkipData(record));
    // Records that stop without the zero word, and a zero word without an entry point.
    Opened open(Image().Record(4, 5));
    ChunkReader openReader(open.file.get());
    ASSERT_EQ(openReader.Start(), ChunkStatus::kRecord);
    ASSERT_EQ(openReader.Next(record), ChunkStatus::kRecord);
    ASSERT_TRUE(openReader.SkipData(record));
    EXPECT_EQ(openReader.Next(record), ChunkStatus::kUnreadable);
    Image cutEntry;
    cutEntry.Word(0).bytes.insert(cutEntry.bytes.end(), {0x01, 0x02});
    Opened noEntry(cutEntry);
    ChunkReader entryReader(noEntry.file.get());
    ASSERT_EQ(entryReader.Start(), ChunkStatus::kRecord);
    ASSERT_EQ(entryReader.Next(record), ChunkStatus::kEnd);
    std::array<uint8_t, 4> entry{};
    EXPECT_FALSE(entryReader.EntryPoint(entry));
}
