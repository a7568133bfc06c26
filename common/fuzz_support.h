// What the fuzz targets share: a check that stops the run so that libFuzzer keeps the input,
// and a reader that takes fixed-width fields from the front of an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Not assert: the fuzz build defines NDEBUG like every optimized build.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Takes little-endian fields from the front of an input; past its end every field reads 0, so
// a short input still describes a complete case.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t remaining() const { return size_; }
    const uint8_t* rest() const { return data_; }

    uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
    uint64_t U64() { return Take(8); }

    // Up to count bytes (fewer at the end of the input); returns how many were taken.
    size_t Bytes(uint8_t* out, size_t count) {
        const size_t taken = count < size_ ? count : size_;
        if (taken != 0) {
            std::memcpy(out, data_, taken);
        }
        data_ += taken;
        size_ -= taken;
        return taken;
    }

private:
    uint64_t Take(size_t width) {
        uint64_t value = 0;
        for (size_t i = 0; i < width && size_ != 0; ++i, ++data_, --size_) {
            value |= static_cast<uint64_t>(*data_) << (8 * i);
        }
        return value;
    }

    const uint8_t* data_;
    size_t size_;
};
