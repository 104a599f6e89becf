// The values the simulated drive and its media share: the tape's objects, a cartridge as a
// value (what a cartridge file holds), and the drive's mode settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// A DDS-2 cartridge holds 2,048,000,000 bytes: 2048 megabytes of 10^6 bytes as the
// medium partition page counts them, and 2,000,000 units of 1024 bytes as the capacity
// log page counts them, both exact.
inline constexpr uint64_t kDefaultCapacityBytes = 2048000000;
inline constexpr uint8_t kDensityDds2 = 0x24;
inline constexpr uint32_t kDefaultBlockLength = 512;
inline constexpr uint32_t kMaximumBlockLength = 0xFFFFFF;
inline constexpr uint32_t kMaxPartitions = 2;  // one, or two initiator-defined
inline constexpr uint32_t kCompressionDclz = 0x20;

enum class ObjectKind : uint8_t { Block = 0, Filemark = 1, Setmark = 2 };

// One recorded object: a data block with its bytes, or a mark.
struct TapeObject {
    ObjectKind kind = ObjectKind::Block;
    std::vector<uint8_t> data;  // empty for marks

    static TapeObject Block(std::vector<uint8_t> bytes)
    {
        return {ObjectKind::Block, std::move(bytes)};
    }
    static TapeObject Filemark() { return {ObjectKind::Filemark, {}}; }
    static TapeObject Setmark() { return {ObjectKind::Setmark, {}}; }
};

// One partition: what lies between its beginning and end of data. A logical block
// address is an index into `objects`; address objects.size() is end of data.
struct Partition {
    uint64_t capacityBytes = kDefaultCapacityBytes;
    std::vector<TapeObject> objects;
};

// The drive's mode settings. They live in the drive, but a saved cartridge carries them so
// that one tool invocation continues where the last one left off.
struct DriveSettings {
    uint32_t blockLength = kDefaultBlockLength;  // 0: variable-length blocks
    bool reportSetmarks = false;                 // RSmk
    bool compression = true;                     // DCE
    bool decompression = true;                   // DDE
    uint32_t compressionAlgorithm = kCompressionDclz;
    uint32_t decompressionAlgorithm = kCompressionDclz;

    bool operator==(const DriveSettings& other) const;
};

struct Cartridge {
    uint64_t capacityBytes = kDefaultCapacityBytes;  // the whole tape
    uint8_t densityCode = kDensityDds2;
    bool writeProtected = false;
    std::vector<Partition> partitions{Partition{}};  // one, or two initiator-defined
    uint32_t partition = 0;                          // where the tape stands: partition,
    uint64_t position = 0;                           // and logical address in it
    DriveSettings settings;                          // as the drive had them when saved

    // A blank, unpartitioned tape of the given size.
    static Cartridge Blank(uint64_t capacityBytes = kDefaultCapacityBytes);
    // Why no drive could hold this cartridge (no partition or more than two, partitions
    // larger than the tape, a position beyond end of data, a block longer than the drive
    // takes); nothing when it is sound.
    std::optional<std::string> Problem() const;
    bool operator==(const Cartridge& other) const;
};

// What every cartridge keeps to, checked by whoever reads one (the drive handed a cartridge,
// the old one-file format's decoder, the store opening its index) in one place and one set of
// words. The partitions are added one at a time, so a reader can check them as they arrive.
class CartridgeLimits {
public:
    explicit CartridgeLimits(uint64_t capacityBytes) : capacityBytes_(capacityBytes) {}

    static std::optional<std::string> PartitionCount(uint64_t count);
    static std::optional<std::string> BlockLength(uint64_t length);  // the drive's set length
    // The next partition's size, checked against what the tape has left.
    std::optional<std::string> AddPartition(uint64_t capacityBytes);
    // Where the tape stands, in a cartridge of `partitions` with `endOfData` objects recorded
    // in the partition it stands in (0 when there is no such partition).
    static std::optional<std::string> Position(uint32_t partition, uint64_t partitions,
                                               uint64_t position, uint64_t endOfData);

private:
    uint64_t capacityBytes_;
    uint64_t total_ = 0;
};

}  // namespace sim
