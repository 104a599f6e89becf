// The class driver's own read and write path: the miniclass has no routine for data, so the
// class driver builds READ(6) and WRITE(6) itself, sends them through the device's target and
// turns a failure into a tape status with the sense translation and the miniclass's TapeError;
// a read counts only the bytes the drive vouches for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "host/classdriver.h"
#include "host/transcript.h"
#include "platform/tapeclass.h"

namespace host {

// Most bytes one READ or WRITE carries; a longer write is split into several commands.
inline constexpr size_t kMaxTransferBytes = size_t{64} * 1024;
// Most data bytes of one command kept in a transcript; the rest is left out of it.
inline constexpr size_t kTranscriptDataLimit = 64;

struct TransferResult {
    TAPE_STATUS status = TAPE_STATUS_SUCCESS;
    size_t bytes = 0;  // data bytes that the drive took, or delivered and vouched for
};

// A READ's two accounts of what arrived. The transport's count is not the drive's: tgt sends a
// whole transfer of zeros with the CHECK CONDITION that reports end of data. The drive vouches
// with GOOD for all that moved, and with CHECK CONDITION only through a valid residue (the
// transfer less the residue, in blocks or bytes); without one it says nothing, and nothing of
// that READ counts as data: `bytes` is then 0.
struct ReadResult : TransferResult {
    size_t moved = 0;                // the transport's count
    std::optional<size_t> reported;  // the drive's count; at most the transfer
};

// Writes `length` bytes at the tape's position. With blockSize 0 they become one
// variable-length block (at most 0xFFFFFF bytes); otherwise `length` must be a whole number of
// blocks of blockSize, sent as fixed-block WRITE(6) commands of at most kMaxTransferBytes
// (at least one block each). Anything else is refused with TAPE_STATUS_INVALID_PARAMETER and
// nothing is sent. Stops at the first failed command; `bytes` counts what the drive recorded.
// The transcript, when given, is begun afresh as "WriteBlocks".
TransferResult WriteBlocks(Device& device, const uint8_t* data, size_t length, uint32_t blockSize,
                           Transcript* transcript = nullptr);

// One READ(6) into `buffer`. With blockSize 0 it reads one variable-length block of at most
// `capacity` bytes (SILI set, so a shorter block is no error; a longer one fails with the
// drive's INVALID_BLOCK_LENGTH, the room filled with its head); otherwise it asks for
// capacity / blockSize fixed blocks. A filemark ends the read with
// TAPE_STATUS_FILEMARK_DETECTED (a reported setmark with SETMARK_DETECTED, end of data with
// NO_DATA_DETECTED), `bytes` holding what the drive vouches came before it.
// The transcript, when given, is begun afresh as "ReadBlocks".
ReadResult ReadBlocks(Device& device, uint8_t* buffer, size_t capacity, uint32_t blockSize,
                      Transcript* transcript = nullptr);

// The block length the drive reads and writes fixed blocks in (0: variable-length blocks), from
// the block descriptor of MODE SENSE(6); nothing when the drive does not answer with one. A
// fixed READ that ends well vouches for its count in the drive's blocks, whatever length the
// caller had in mind (tgt answers GOOD with a whole transfer of zeros while its length is 0).
std::optional<uint32_t> DriveBlockLength(Device& device, Transcript* transcript = nullptr);

}  // namespace host
