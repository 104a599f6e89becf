// The tape's position in tape files and blocks, counted by the tool from what it asks the drive
// to do and from what the drive answers (the residue of a command that stopped early), as a
// Unix tape driver counts it for `mt status`: the drive itself only knows block addresses.
#pragma once

#include <cstdint>
#include <optional>

#include "host/readwrite.h"
#include "host/sense.h"
#include "platform/tapeclass.h"
#include "store/cartridge_db.h"

namespace tools {

using host::SenseFacts;

class FileCounter {
public:
    explicit FileCounter(const store::FilePosition& start = {}) : now_(start) {}
    const store::FilePosition& now() const { return now_; }

    // A positioning request carried out (or stopped early: `status`, `sense`).
    void Positioned(const TAPE_SET_POSITION& request, TAPE_STATUS status, const SenseFacts& sense);
    void MarksWritten(const TAPE_WRITE_MARKS& request, TAPE_STATUS status, const SenseFacts& sense);
    void Transferred(bool write, uint32_t blockSize, const host::TransferResult& result,
                     const SenseFacts& sense);
    // The drive said the tape stands at logical block `address` of its partition.
    void Observed(int64_t address);
    void Loaded() { now_ = store::FilePosition{0, 0, false}; }  // a load winds to the beginning
    void Erased() { now_.atEndOfData = true; }                  // nothing lies after the tape
    void Lost() { now_ = store::FilePosition{}; }

private:
    void Blocks(int64_t n);
    void Files(int64_t n);

    store::FilePosition now_;
};

}  // namespace tools
