// Multi-byte fields of SCSI commands, answers and sense as the class-driver stand-in reads and
// writes them: big-endian, assembled and split byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

inline void PutBe24(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}

inline void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    PutBe24(p + 1, v);
}

inline uint32_t GetBe24(const uint8_t* p)
{
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | uint32_t{p[2]};
}

inline uint32_t GetBe32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | GetBe24(p + 1);
}

// A 24-bit two's-complement field, as SPACE carries its count.
inline int32_t GetSignedBe24(const uint8_t* p)
{
    const uint32_t raw = GetBe24(p);
    return (raw & 0x800000u) != 0 ? static_cast<int32_t>(raw) - 0x1000000
                                  : static_cast<int32_t>(raw);
}

}  // namespace host
