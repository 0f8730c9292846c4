// Reading the records of a chunked firmware file.
#include "fw_chunks.h"

#include "byte_io.h"

namespace kivo::fw {
namespace {

// Between the magic word and the first record.
constexpr long kChunkFileRecordsGap = 8;

}  // namespace

bool ChunkReader::Read(uint8_t* out, size_t n) {
    return std::fread(out, 1, n, file_) == n;
}

ChunkStatus ChunkReader::Start() {
    if (std::fseek(file_, kChunkFileMagicOffset, SEEK_SET) != 0) return ChunkStatus::kUnreadable;
    std::array<uint8_t, 4> word{};
    if (!Read(word.data(), word.size()) || word != kChunkFileMagic) return ChunkStatus::kBadMagic;
    if (std::fseek(file_, kChunkFileRecordsGap, SEEK_CUR) != 0) return ChunkStatus::kUnreadable;
    return ChunkStatus::kRecord;
}

ChunkStatus ChunkReader::Next(ChunkRecord& record) {
    std::array<uint8_t, 4> word{};
    if (!Read(word.data(), word.size())) return ChunkStatus::kUnreadable;
    const uint32_t info = loadLe32(word.data());
    if (info == 0) return ChunkStatus::kEnd;
    // Bits 0..30: the record's length in 32-bit words, its two header words included.
    // Computed in 64 bits: a count below 2 would wrap to about 4 GiB.
    const uint64_t words = info & 0x7FFFFFFFu;
    if (words < 2) return ChunkStatus::kUnreadable;
    const uint64_t size = (words - 2) * 4;
    if (size > UINT32_MAX) return ChunkStatus::kUnreadable;
    if (!Read(record.info.data(), record.info.size())) return ChunkStatus::kUnreadable;
    record.size = static_cast<uint32_t>(size);
    return ChunkStatus::kRecord;
}

bool ChunkReader::SkipData(const ChunkRecord& record) {
    // A seek past the end succeeds; the claim is checked against where the file ends.
    const long here = std::ftell(file_);
    if (here < 0 || std::fseek(file_, 0, SEEK_END) != 0) return false;
    const long end = std::ftell(file_);
    if (end < 0 || static_cast<uint64_t>(end - here) < record.size) return false;
    return std::fseek(file_, here + static_cast<long>(record.size), SEEK_SET) == 0;
}

bool ChunkReader::EntryPoint(std::array<uint8_t, 4>& entryPoint) {
    return Read(entryPoint.data(), entryPoint.size());
}

}  // namespace kivo::fw
