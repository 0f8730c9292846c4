// The chunked firmware file of an Ethernet boot, read record by record: a header, the
// magic word AA 55 AA 55 at byte 68, eight more bytes, then records (a little-endian
// word whose bits 0 to 30 give the record's length in 32-bit words, its two header words
// included; four information bytes; the data) up to a zero word, then the entry point.
// The service sends the file as it reads it; front-ends read it to tell what it holds.
#ifndef KIVO_FW_CHUNKS_H
#define KIVO_FW_CHUNKS_H

#include <array>
#include <cstdint>
#include <cstdio>

namespace kivo::fw {

// The chunked firmware file carries this word at this offset.
inline constexpr long kChunkFileMagicOffset = 68;
inline constexpr std::array<uint8_t, 4> kChunkFileMagic = {0xAA, 0x55, 0xAA, 0x55};

// One record's header. Its size data bytes follow in the file.
struct ChunkRecord {
    std::array<uint8_t, 4> info{};  // what the loader is told before the data
    uint32_t size = 0;
};

enum class ChunkStatus {
    kRecord,      // a record's header was read; its data is next in the file
    kEnd,         // the zero word: the entry point is next in the file
    kBadMagic,    // no magic word where it belongs: no chunked file
    kUnreadable,  // the file ends early, or a length makes no sense
};

// Reads the records of a chunked file from its current owner's FILE, which keeps its
// position between the calls: after kRecord, the caller reads the record's data (or
// skips it with SkipData) before asking for the next record. Every length read is a
// claim; none is trusted beyond what the file holds.
class ChunkReader {
   public:
    explicit ChunkReader(FILE* file) : file_(file) {}
    // Checks the magic word and goes to the first record: kRecord when the records
    // follow.
    ChunkStatus Start();
    // The next record's header into record, or the end of the records.
    ChunkStatus Next(ChunkRecord& record);
    // Passes over the data of the record just read; false when the file ends before it.
    bool SkipData(const ChunkRecord& record);
    // After kEnd: the four bytes of the entry point.
    bool EntryPoint(std::array<uint8_t, 4>& entryPoint);

   private:
    bool Read(uint8_t* out, size_t n);
    FILE* file_;
};

}  // namespace kivo::fw

#endif
