// Multi-byte fields as SCSI commands, answers and sense carry them, and as the cartridge store
// keeps its sums: big-endian, assembled and split byte by byte. One header for the simulated
// drive, the store, the class-driver stand-in, the tool and the benchmarks; the driver keeps
// driver/bytes.h, which obeys the kernel's rules.
#pragma once

#include <cstdint>

namespace bytes {

inline uint32_t GetBe16(const uint8_t* p)
{
    return (uint32_t{p[0]} << 8) | uint32_t{p[1]};
}

inline uint32_t GetBe24(const uint8_t* p)
{
    return (uint32_t{p[0]} << 16) | GetBe16(p + 1);
}

inline uint32_t GetBe32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | GetBe24(p + 1);
}

inline uint64_t GetBe64(const uint8_t* p)
{
    return (uint64_t{GetBe32(p)} << 32) | GetBe32(p + 4);
}

// A 24-bit two's-complement field, as SPACE carries its count.
inline int32_t GetSignedBe24(const uint8_t* p)
{
    const uint32_t raw = GetBe24(p);
    return (raw & 0x800000u) != 0 ? static_cast<int32_t>(raw) - 0x1000000
                                  : static_cast<int32_t>(raw);
}

inline void PutBe16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void PutBe24(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 16);
    PutBe16(p + 1, v);
}

inline void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    PutBe24(p + 1, v);
}

inline void PutBe64(uint8_t* p, uint64_t v)
{
    PutBe32(p, static_cast<uint32_t>(v >> 32));
    PutBe32(p + 4, static_cast<uint32_t>(v));
}

}  // namespace bytes
