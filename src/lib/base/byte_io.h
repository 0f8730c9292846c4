// Bounds-checked reading and writing of bytes and integers (little- and big-endian).
//
// Every parser reads through a ByteReader: a read that would pass the end of the
// received bytes fails (returns false and leaves the output untouched) and marks the
// reader as failed, so a sequence of reads can be checked once at the end.
#ifndef KIVO_BYTE_IO_H
#define KIVO_BYTE_IO_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace kivo {

// Unchecked primitives on a pointer the caller has already bounds-checked.
inline uint16_t loadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint16_t loadBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t loadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint32_t loadBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline uint64_t loadLe64(const uint8_t* p) {
    return static_cast<uint64_t>(loadLe32(p)) | (static_cast<uint64_t>(loadLe32(p + 4)) << 32);
}
inline uint64_t loadBe64(const uint8_t* p) {
    return (static_cast<uint64_t>(loadBe32(p)) << 32) | static_cast<uint64_t>(loadBe32(p + 4));
}
inline void storeLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void storeBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void storeLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void storeBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}
inline void storeLe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void storeBe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (7 - i)));
}

class ByteReader {
   public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}
    explicit ByteReader(std::span<const uint8_t> s) : ByteReader(s.data(), s.size()) {}

    size_t size() const { return size_; }
    size_t pos() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }
    bool ok() const { return ok_; }
    const uint8_t* current() const { return data_ + pos_; }

    // True when n more bytes can be read.
    bool has(size_t n) const { return ok_ && n <= remaining(); }

    bool skip(size_t n) {
        if (!need(n)) return false;
        pos_ += n;
        return true;
    }
    bool seek(size_t absolute) {
        if (!ok_ || absolute > size_) return fail();
        pos_ = absolute;
        return true;
    }
    bool u8(uint8_t& v) {
        return get(v, 1, [](const uint8_t* p) { return p[0]; });
    }
    bool le16(uint16_t& v) { return get(v, 2, loadLe16); }
    bool be16(uint16_t& v) { return get(v, 2, loadBe16); }
    bool le32(uint32_t& v) { return get(v, 4, loadLe32); }
    bool be32(uint32_t& v) { return get(v, 4, loadBe32); }
    bool le64(uint64_t& v) { return get(v, 8, loadLe64); }
    bool be64(uint64_t& v) { return get(v, 8, loadBe64); }

    // Copies n bytes out.
    bool bytes(void* out, size_t n) {
        if (!need(n)) return false;
        if (n) std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return true;
    }
    // Hands out a view of the next n bytes without copying.
    bool view(std::span<const uint8_t>& out, size_t n) {
        if (!need(n)) return false;
        out = std::span<const uint8_t>(data_ + pos_, n);
        pos_ += n;
        return true;
    }

   private:
    bool fail() {
        ok_ = false;
        return false;
    }
    bool need(size_t n) { return has(n) ? true : fail(); }
    template <typename T, typename F>
    bool get(T& v, size_t n, F load) {
        if (!need(n)) return false;
        v = static_cast<T>(load(data_ + pos_));
        pos_ += n;
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

class ByteWriter {
   public:
    ByteWriter(uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}
    explicit ByteWriter(std::span<uint8_t> s) : ByteWriter(s.data(), s.size()) {}

    size_t size() const { return size_; }
    size_t pos() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }
    bool ok() const { return ok_; }
    uint8_t* current() { return data_ + pos_; }
    bool has(size_t n) const { return ok_ && n <= remaining(); }

    bool skip(size_t n) {
        if (!need(n)) return false;
        pos_ += n;
        return true;
    }
    bool seek(size_t absolute) {
        if (!ok_ || absolute > size_) return fail();
        pos_ = absolute;
        return true;
    }
    bool u8(uint8_t v) {
        if (!need(1)) return false;
        data_[pos_++] = v;
        return true;
    }
    bool le16(uint16_t v) { return put(v, 2, storeLe16); }
    bool be16(uint16_t v) { return put(v, 2, storeBe16); }
    bool le32(uint32_t v) { return put(v, 4, storeLe32); }
    bool be32(uint32_t v) { return put(v, 4, storeBe32); }
    bool le64(uint64_t v) { return put(v, 8, storeLe64); }
    bool be64(uint64_t v) { return put(v, 8, storeBe64); }
    bool bytes(const void* in, size_t n) {
        if (!need(n)) return false;
        if (n) std::memcpy(data_ + pos_, in, n);
        pos_ += n;
        return true;
    }
    bool fill(uint8_t v, size_t n) {
        if (!need(n)) return false;
        if (n) std::memset(data_ + pos_, v, n);
        pos_ += n;
        return true;
    }

   private:
    bool fail() {
        ok_ = false;
        return false;
    }
    bool need(size_t n) { return has(n) ? true : fail(); }
    template <typename T, typename F>
    bool put(T v, size_t n, F store) {
        if (!need(n)) return false;
        store(data_ + pos_, v);
        pos_ += n;
        return true;
    }

    uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace kivo

#endif
