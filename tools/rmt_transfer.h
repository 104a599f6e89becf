// What one READ or WRITE did, told in Linux st's terms: the bytes that reached the reader or
// the tape, and why it stopped. This is the one place the remote tape server reads the
// drive's sense (filemark, end of medium, incorrect length, residue) for data transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "host/readwrite.h"
#include "tools/file_count.h"

namespace tools::rmt {

struct ReadDone {
    enum class Stop {
        None,         // the whole block (variable) or every block asked for (fixed)
        Mark,         // a filemark or a reported setmark, after `bytes`
        EndOfData,    // the end of recorded data, after `bytes`
        LongBlock,    // variable: the block is longer than the room; the tape is past it
        OtherLength,  // fixed: a block of another length, after `bytes`; the tape is past it
        Failed,       // anything else, after `bytes`
    };
    size_t bytes = 0;
    Stop stop = Stop::None;
    std::optional<uint64_t> blockLength;  // LongBlock: the block's length, when the drive said
    std::string detail;                   // Failed: what went wrong beyond the status
};

// One READ of `capacity` bytes (blockSize 0: one variable block) that ended with `result`
// and, when it failed, this sense.
ReadDone InterpretRead(const host::TransferResult& result, const SenseFacts& sense,
                       uint32_t blockSize, size_t capacity);

struct WriteDone {
    enum class Stop {
        None,          // everything was written
        EarlyWarning,  // written, and the tape is near its end
        Full,          // the end of the medium: `bytes` were written, the rest was not
        Failed,        // anything else; `bytes` reached the tape
    };
    size_t bytes = 0;
    Stop stop = Stop::None;
};

// One write of `length` bytes (blockSize 0: one variable block) that ended with `result`.
WriteDone InterpretWrite(const host::TransferResult& result, const SenseFacts& sense,
                         uint32_t blockSize, size_t length);

}  // namespace tools::rmt
