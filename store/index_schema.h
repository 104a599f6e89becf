// What the index of a cartridge folder must look like, shared by the code that makes it,
// checks it and reads it: the schema, the checksum of a block, and the bounds of one row.
#pragma once

#include <cstddef>
#include <cstdint>

namespace store {

class Statement;
struct DriveState;

// The exact schema: an index holding anything else (tables, views, triggers, indexes) is
// refused before any other query.
extern const char* const kIndexSchema;

// A block's checksum as the index keeps it (XXH3, 64 bits).
uint64_t BlockSum(const uint8_t* block, uint32_t length);

// One row of the extent table as read, before it is believed.
struct RunRow {
    int64_t addr = 0;
    int64_t kind = 0;
    int64_t count = 0;
    int64_t length = 0;
    int64_t rank = 0;
    int64_t offset = 0;
    size_t sumsBytes = 0;
};

// What no tape of this size could hold in such a row (in the words of a refusal), or null.
// `withPlace` checks the rank, offset and checksums too (rows read without them leave it off).
const char* RunProblem(const RunRow& row, uint64_t endOfData, uint64_t dataEnd, bool withPlace);

// The drive's row, as both the index and the old one-file store keep it, selected in the
// order of kDriveColumns: its settings and position into `state`, or false when a value
// is out of range (`state` is then unchanged).
inline constexpr const char* kDriveColumns =
    "partition, position, block_length, report_setmarks, compression, decompression, "
    "compression_algorithm, decompression_algorithm, ejected, removal_prevented";
bool DriveFromRow(const Statement& row, DriveState& state);

}  // namespace store
