// How the driver reads the tape requests beyond their SCSI form: the immediate flag and the
// numbering of partitions, shared by every command source.
#pragma once

#include "platform/tapeclass.h"

// Tape requests count partitions from 1, the drive from 0.
inline constexpr ULONG kPartitionNumberBase = 1;

// CurrentPartition when the tape is not partitioned or no partition is known to be selected;
// as a requested partition, "stay where the tape is".
inline constexpr ULONG kNoPartition = 0;

// Only bit 0 of a request's Immediate byte asks for an early return.
inline constexpr BOOLEAN kRequestImmediateBit = 0x01;

inline bool LocalImmediateRequested(BOOLEAN immediate)
{
    return (immediate & kRequestImmediateBit) != 0;
}
