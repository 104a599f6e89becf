// How one READ of `velmtape read` goes on or ends the read, decided from the driver's final
// status and the drive's own count of the bytes, never a transport's: the same answer gives the
// same bytes, exit status and words on the simulated drive and on any device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "host/readwrite.h"
#include "tools/commands.h"

namespace tools {

enum class ReadNext {
    More,     // write the bytes and read on
    Stop,     // write the bytes; the read has ended well at a mark or end of data (exit 0)
    Longer,   // a variable block longer than the room: read it again with more room
    Measure,  // a fixed read passed a block of another length: say how long it is (exit 2)
    Fail,     // write the bytes; the read fails (exit 2)
};

struct ReadVerdict {
    ReadNext next = ReadNext::Fail;
    size_t bytes = 0;                // this READ's data: what the drive vouched for
    std::string stoppedAt;           // Stop: "filemark", "setmark", "end of data"
    std::optional<Failure> failure;  // Fail
    std::string note;                // bytes a transport counted that were not written, in words
};

// `asked`: the bytes the READ asked for; `before`: the bytes the read had written before it.
ReadVerdict JudgeRead(const host::ReadResult& result, uint32_t blockSize, size_t asked,
                      uint64_t before);

// "read failed after N bytes", the words every failure of a read begins with.
std::string ReadFailedAfter(uint64_t bytes);

}  // namespace tools
