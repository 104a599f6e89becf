// What the drive knows of the tape in it: the layout (tape size, density, write-protect tab,
// partitions and their sizes) and the recorded objects by logical address. sim::Drive reaches
// the tape only through this interface, so a tape may live in memory (MemoryMedium, standard
// library only) or in a cartridge database (store/), and every answer of the drive stays the
// same whichever holds it.
//
// Addresses count blocks and marks alike from the beginning of a partition; EndOfData(p) is
// the address just past the last object. Writing is tape-like: TruncateAt(p, a) removes
// everything from a to the end of the partition, and Append* add at end of data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/drive_types.h"

namespace sim {

// One object as the drive meets it when moving over it: its kind and, for a block, its size.
struct ObjectInfo {
    ObjectKind kind = ObjectKind::Block;
    uint32_t length = 0;  // bytes of a block; 0 for marks
};

// Where a search for marks ended.
struct MarkSearch {
    std::optional<uint64_t> address;  // the mark sought, when there are that many
    uint64_t passed = 0;              // marks of the kind passed (`count` when found)
};

class Medium {
public:
    virtual ~Medium() = default;

    // Layout.
    virtual uint64_t CapacityBytes() const = 0;  // the whole tape
    virtual uint8_t DensityCode() const = 0;
    virtual bool WriteProtected() const = 0;
    virtual void SetWriteProtected(bool writeProtected) = 0;
    virtual uint32_t PartitionCount() const = 0;
    virtual uint64_t PartitionCapacity(uint32_t partition) const = 0;
    // Lays the tape out anew with partitions of these sizes (one or two, together no larger
    // than the tape): everything recorded is lost.
    virtual void Format(const std::vector<uint64_t>& partitionSizes) = 0;

    // Contents of a partition. Every address given must be below EndOfData unless said.
    virtual uint64_t EndOfData(uint32_t partition) const = 0;
    virtual uint64_t UsedBytes(uint32_t partition) const = 0;  // data bytes recorded
    virtual ObjectInfo At(uint32_t partition, uint64_t address) const = 0;
    // Copies the bytes of the block at `address` (At() gives its length) into `out`; false
    // when they cannot be read back as they were recorded (a medium that checks its blocks
    // found this one damaged), and then `out` holds nothing of it.
    [[nodiscard]] virtual bool ReadBlock(uint32_t partition, uint64_t address,
                                         uint8_t* out) const = 0;
    // Copies consecutive blocks of exactly `length` bytes from `address` on, at most `count`
    // of them, into `out`; returns how many it copied (0 when the object at `address` is a
    // mark, a block of another length, a damaged block, or end of data).
    virtual uint64_t ReadBlocks(uint32_t partition, uint64_t address, uint32_t length,
                                uint64_t count, uint8_t* out) const = 0;

    // The `count`-th mark of `kind` (count >= 1) at or after `from` going forward, or before
    // `from` going back; `from` may be EndOfData. O(log n) in both implementations.
    virtual MarkSearch FindMark(uint32_t partition, uint64_t from, bool forward, ObjectKind kind,
                                uint64_t count) const = 0;
    // Marks of `kind` in [from, to).
    virtual uint64_t CountMarks(uint32_t partition, uint64_t from, uint64_t to,
                                ObjectKind kind) const = 0;
    // The nearest window of `run` (>= 1) consecutive marks of `kind`, nothing else between
    // them: going forward, the first such window at or after `from`, given by its first
    // address; going back, the last one that ends at or before `from`, given by its first
    // address as well. Nothing when there is none. Visits each mark of the kind on the way
    // once; a medium that keeps runs of marks together may do better.
    virtual std::optional<uint64_t> FindMarkRun(uint32_t partition, uint64_t from, bool forward,
                                                ObjectKind kind, uint64_t run) const;

    // Writing. `address` may be EndOfData (then nothing is removed).
    virtual void TruncateAt(uint32_t partition, uint64_t address) = 0;
    // `count` blocks of `length` bytes each, laid end to end in `data`, recorded at end of
    // data as one run (one WRITE command of fixed blocks, or one variable block).
    virtual void AppendBlocks(uint32_t partition, const uint8_t* data, uint32_t length,
                              uint64_t count) = 0;
    virtual void AppendMarks(uint32_t partition, ObjectKind kind, uint64_t count) = 0;
};

// The tape held in memory, as a Cartridge describes it (its position and settings aside,
// which belong to the drive). Marks are indexed per kind, so searches cost O(log n).
class MemoryMedium : public Medium {
public:
    // `cartridge` must have no Problem().
    explicit MemoryMedium(const Cartridge& cartridge);

    // The tape as a Cartridge value (position 0, default settings).
    Cartridge ToCartridge() const;

    uint64_t CapacityBytes() const override { return capacityBytes_; }
    uint8_t DensityCode() const override { return densityCode_; }
    bool WriteProtected() const override { return writeProtected_; }
    void SetWriteProtected(bool writeProtected) override { writeProtected_ = writeProtected; }
    uint32_t PartitionCount() const override { return static_cast<uint32_t>(parts_.size()); }
    uint64_t PartitionCapacity(uint32_t partition) const override;
    void Format(const std::vector<uint64_t>& partitionSizes) override;

    uint64_t EndOfData(uint32_t partition) const override;
    uint64_t UsedBytes(uint32_t partition) const override;
    ObjectInfo At(uint32_t partition, uint64_t address) const override;
    bool ReadBlock(uint32_t partition, uint64_t address, uint8_t* out) const override;
    uint64_t ReadBlocks(uint32_t partition, uint64_t address, uint32_t length, uint64_t count,
                        uint8_t* out) const override;
    MarkSearch FindMark(uint32_t partition, uint64_t from, bool forward, ObjectKind kind,
                        uint64_t count) const override;
    uint64_t CountMarks(uint32_t partition, uint64_t from, uint64_t to,
                        ObjectKind kind) const override;

    void TruncateAt(uint32_t partition, uint64_t address) override;
    void AppendBlocks(uint32_t partition, const uint8_t* data, uint32_t length,
                      uint64_t count) override;
    void AppendMarks(uint32_t partition, ObjectKind kind, uint64_t count) override;

private:
    struct Part {
        uint64_t capacityBytes = 0;
        uint64_t usedBytes = 0;
        std::vector<TapeObject> objects;
        std::vector<uint64_t> filemarks;  // addresses, ascending
        std::vector<uint64_t> setmarks;
    };
    const std::vector<uint64_t>& MarksOf(const Part& part, ObjectKind kind) const;
    void Push(Part& part, TapeObject object);

    uint64_t capacityBytes_;
    uint8_t densityCode_;
    bool writeProtected_;
    std::vector<Part> parts_;
};

// Every object of a medium, read through the interface, as a Cartridge (position 0, default
// settings). For tests and small tapes: it holds the whole tape in memory.
Cartridge ReadWholeTape(const Medium& medium);

}  // namespace sim
