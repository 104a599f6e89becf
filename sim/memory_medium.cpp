// The tape in memory: the objects of each partition in order, with the addresses of its
// filemarks and setmarks kept sorted beside them so that SPACE over marks is a binary search.
// Standard library only.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "sim/medium.h"

namespace sim {

MemoryMedium::MemoryMedium(const Cartridge& cartridge)
    : capacityBytes_(cartridge.capacityBytes),
      densityCode_(cartridge.densityCode),
      writeProtected_(cartridge.writeProtected)
{
    for (const Partition& partition : cartridge.partitions) {
        Part part;
        part.capacityBytes = partition.capacityBytes;
        part.objects.reserve(partition.objects.size());
        for (const TapeObject& object : partition.objects) {
            Push(part, object);
        }
        parts_.push_back(std::move(part));
    }
}

Cartridge MemoryMedium::ToCartridge() const
{
    Cartridge cartridge;
    cartridge.capacityBytes = capacityBytes_;
    cartridge.densityCode = densityCode_;
    cartridge.writeProtected = writeProtected_;
    cartridge.partitions.clear();
    for (const Part& part : parts_) {
        cartridge.partitions.push_back(Partition{part.capacityBytes, part.objects});
    }
    return cartridge;
}

void MemoryMedium::Push(Part& part, TapeObject object)
{
    const uint64_t address = part.objects.size();
    switch (object.kind) {
    case ObjectKind::Filemark:
        part.filemarks.push_back(address);
        break;
    case ObjectKind::Setmark:
        part.setmarks.push_back(address);
        break;
    case ObjectKind::Block:
        part.usedBytes += object.data.size();
        break;
    }
    part.objects.push_back(std::move(object));
}

const std::vector<uint64_t>& MemoryMedium::MarksOf(const Part& part, ObjectKind kind) const
{
    return kind == ObjectKind::Setmark ? part.setmarks : part.filemarks;
}

uint64_t MemoryMedium::PartitionCapacity(uint32_t partition) const
{
    return parts_.at(partition).capacityBytes;
}

void MemoryMedium::Format(const std::vector<uint64_t>& partitionSizes)
{
    parts_.clear();
    for (const uint64_t size : partitionSizes) {
        Part part;
        part.capacityBytes = size;
        parts_.push_back(std::move(part));
    }
}

uint64_t MemoryMedium::EndOfData(uint32_t partition) const
{
    return parts_.at(partition).objects.size();
}

uint64_t MemoryMedium::UsedBytes(uint32_t partition) const
{
    return parts_.at(partition).usedBytes;
}

ObjectInfo MemoryMedium::At(uint32_t partition, uint64_t address) const
{
    const TapeObject& object = parts_.at(partition).objects.at(address);
    return {object.kind, static_cast<uint32_t>(object.data.size())};
}

bool MemoryMedium::ReadBlock(uint32_t partition, uint64_t address, uint8_t* out) const
{
    const std::vector<uint8_t>& data = parts_.at(partition).objects.at(address).data;
    if (!data.empty()) {
        std::memcpy(out, data.data(), data.size());
    }
    return true;
}

uint64_t MemoryMedium::ReadBlocks(uint32_t partition, uint64_t address, uint32_t length,
                                  uint64_t count, uint8_t* out) const
{
    const std::vector<TapeObject>& objects = parts_.at(partition).objects;
    uint64_t done = 0;
    while (done < count && address + done < objects.size()) {
        const TapeObject& object = objects[address + done];
        if (object.kind != ObjectKind::Block || object.data.size() != length) {
            break;
        }
        if (length > 0) {
            std::memcpy(out + done * length, object.data.data(), length);
        }
        ++done;
    }
    return done;
}

MarkSearch MemoryMedium::FindMark(uint32_t partition, uint64_t from, bool forward, ObjectKind kind,
                                  uint64_t count) const
{
    const std::vector<uint64_t>& marks = MarksOf(parts_.at(partition), kind);
    // Marks before `from`: the index of the first one at or after it.
    const auto split =
        static_cast<uint64_t>(std::lower_bound(marks.begin(), marks.end(), from) - marks.begin());
    MarkSearch search;
    if (forward) {
        const uint64_t available = marks.size() - split;
        if (count <= available) {
            search.address = marks[split + count - 1];
            search.passed = count;
        } else {
            search.passed = available;
        }
        return search;
    }
    if (count <= split) {
        search.address = marks[split - count];
        search.passed = count;
    } else {
        search.passed = split;
    }
    return search;
}

uint64_t MemoryMedium::CountMarks(uint32_t partition, uint64_t from, uint64_t to,
                                  ObjectKind kind) const
{
    if (to <= from) {
        return 0;
    }
    const std::vector<uint64_t>& marks = MarksOf(parts_.at(partition), kind);
    return static_cast<uint64_t>(std::lower_bound(marks.begin(), marks.end(), to) -
                                 std::lower_bound(marks.begin(), marks.end(), from));
}

void MemoryMedium::TruncateAt(uint32_t partition, uint64_t address)
{
    Part& part = parts_.at(partition);
    if (address >= part.objects.size()) {
        return;
    }
    for (uint64_t i = address; i < part.objects.size(); ++i) {
        part.usedBytes -= part.objects[i].data.size();
    }
    part.objects.resize(address);
    for (std::vector<uint64_t>* marks : {&part.filemarks, &part.setmarks}) {
        marks->erase(std::lower_bound(marks->begin(), marks->end(), address), marks->end());
    }
}

void MemoryMedium::AppendBlocks(uint32_t partition, const uint8_t* data, uint32_t length,
                                uint64_t count)
{
    Part& part = parts_.at(partition);
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* from = data + i * length;
        Push(part, TapeObject::Block({from, from + length}));
    }
}

void MemoryMedium::AppendMarks(uint32_t partition, ObjectKind kind, uint64_t count)
{
    Part& part = parts_.at(partition);
    for (uint64_t i = 0; i < count; ++i) {
        Push(part, {kind, {}});
    }
}

Cartridge ReadWholeTape(const Medium& medium)
{
    Cartridge cartridge;
    cartridge.capacityBytes = medium.CapacityBytes();
    cartridge.densityCode = medium.DensityCode();
    cartridge.writeProtected = medium.WriteProtected();
    cartridge.partitions.clear();
    for (uint32_t p = 0; p < medium.PartitionCount(); ++p) {
        Partition partition{medium.PartitionCapacity(p), {}};
        const uint64_t end = medium.EndOfData(p);
        for (uint64_t address = 0; address < end; ++address) {
            const ObjectInfo info = medium.At(p, address);
            TapeObject object{info.kind, std::vector<uint8_t>(info.length)};
            if (info.kind == ObjectKind::Block && info.length > 0 &&
                !medium.ReadBlock(p, address, object.data.data())) {
                throw std::runtime_error("block " + std::to_string(address) + " of partition " +
                                         std::to_string(p) + " cannot be read");
            }
            partition.objects.push_back(std::move(object));
        }
        cartridge.partitions.push_back(std::move(partition));
    }
    return cartridge;
}

}  // namespace sim
