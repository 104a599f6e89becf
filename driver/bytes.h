// Multi-byte fields on the wire: big-endian, assembled and split byte by byte, so the
// host build and the i386 image agree whatever their own byte order and alignment.
#pragma once

#include "platform/tapeclass.h"

inline void PutBe16(UCHAR* p, ULONG v)
{
    p[0] = static_cast<UCHAR>(v >> 8);
    p[1] = static_cast<UCHAR>(v);
}

inline void PutBe24(UCHAR* p, ULONG v)
{
    p[0] = static_cast<UCHAR>(v >> 16);
    p[1] = static_cast<UCHAR>(v >> 8);
    p[2] = static_cast<UCHAR>(v);
}

inline void PutBe32(UCHAR* p, ULONG v)
{
    p[0] = static_cast<UCHAR>(v >> 24);
    p[1] = static_cast<UCHAR>(v >> 16);
    p[2] = static_cast<UCHAR>(v >> 8);
    p[3] = static_cast<UCHAR>(v);
}

inline ULONG GetBe16(const UCHAR* p)
{
    return (ULONG(p[0]) << 8) | ULONG(p[1]);
}

inline ULONG GetBe24(const UCHAR* p)
{
    return (ULONG(p[0]) << 16) | (ULONG(p[1]) << 8) | ULONG(p[2]);
}

inline ULONG GetBe32(const UCHAR* p)
{
    // Widen first: a UCHAR promotes to int, and 0x80 << 24 overflows it.
    return (ULONG(p[0]) << 24) | (ULONG(p[1]) << 16) | (ULONG(p[2]) << 8) | ULONG(p[3]);
}
