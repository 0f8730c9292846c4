#include "pcap.h"

#include <sys/time.h>

#include "byte_io.h"

namespace kivo::l2 {

namespace {
constexpr uint32_t kMagic = 0xA1B2C3D4;  // microsecond timestamps
constexpr uint32_t kLinkTypeEthernet = 1;
constexpr uint32_t kSnapLength = 65535;
}  // namespace

PcapWriter::~PcapWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

bool PcapWriter::Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) std::fclose(file_);
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) return false;
    uint8_t header[24];
    ByteWriter w(header, sizeof(header));
    w.le32(kMagic);
    w.le16(2);  // version 2.4
    w.le16(4);
    w.le32(0);  // GMT offset
    w.le32(0);  // timestamp accuracy
    w.le32(kSnapLength);
    w.le32(kLinkTypeEthernet);
    if (std::fwrite(header, 1, sizeof(header), file_) != sizeof(header) || std::fflush(file_) != 0) {
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

void PcapWriter::Write(const uint8_t* frame, size_t length) {
    if (frame == nullptr) return;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    const uint32_t kept = length > kSnapLength ? kSnapLength : static_cast<uint32_t>(length);
    uint8_t record[16];
    ByteWriter w(record, sizeof(record));
    w.le32(static_cast<uint32_t>(tv.tv_sec));
    w.le32(static_cast<uint32_t>(tv.tv_usec));
    w.le32(kept);
    w.le32(static_cast<uint32_t>(length));
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == nullptr) return;
    std::fwrite(record, 1, sizeof(record), file_);
    std::fwrite(frame, 1, kept, file_);
    // Flushed per frame: a capture must be readable while the simulator still runs, and
    // complete when it is killed.
    std::fflush(file_);
}

}  // namespace kivo::l2
