// Writes frames to a capture file in the classic pcap format (Ethernet link type), so
// that an exchange can be opened in Wireshark or tshark. Thread-safe: ports on several
// threads may share one writer.
#ifndef KIVO_PCAP_H
#define KIVO_PCAP_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace kivo::l2 {

class PcapWriter {
   public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates (or truncates) the file and writes the file header; false on failure.
    bool Open(const std::string& path);
    bool isOpen() const { return file_ != nullptr; }
    // Appends one frame with the current wall-clock time (capture files carry real
    // times; nothing waits on them).
    void Write(const uint8_t* frame, size_t length);

   private:
    std::mutex mutex_;
    FILE* file_ = nullptr;
};

}  // namespace kivo::l2

#endif
