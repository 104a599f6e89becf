// The simulated drive's mode pages: the device configuration page (0x10), the data compression
// page (0x0F) and the medium partition page (0x11), each built for MODE SENSE and checked
// against its changeable mask, then taken over, for MODE SELECT. Only the drive's own sources
// include this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/drive_internal.h"

namespace sim {
namespace internal {

constexpr size_t kModeHeaderLength = 4;
constexpr size_t kBlockDescriptorLength = 8;
constexpr size_t kPageHeaderLength = 2;  // page code and page length
constexpr uint8_t kPageCodeMask = 0x3F;
constexpr uint8_t kPageCompression = 0x0F;
constexpr uint8_t kPageConfiguration = 0x10;
constexpr uint8_t kPagePartition = 0x11;
constexpr uint8_t kPageAll = 0x3F;
constexpr uint8_t kPageCodeBit = 5;  // field pointer bit of a page code nobody knows

constexpr uint8_t kPcCurrent = 0;
constexpr uint8_t kPcChangeable = 1;
constexpr uint8_t kPcDefault = 2;

// What the pages report: the drive's settings, where the tape stands and the medium in it.
struct PageContext {
    const DriveSettings& settings;
    uint32_t activePartition;
    const Medium& medium;
    bool compressionPage;  // false when the drive is built without page 0x0F
};

// What a MODE SELECT asks the drive to become. Nothing is applied until the whole list passed.
struct SelectPlan {
    DriveSettings settings;
    bool repartition = false;
    std::vector<uint64_t> partitionSizes;  // bytes of each partition when repartitioning
};

// Whether MODE SENSE and MODE SELECT know the page.
bool PageKnown(uint8_t code, const PageContext& context);
// The whole page, page code and length included, as MODE SENSE answers it with `pageControl`.
std::vector<uint8_t> BuildPage(uint8_t code, uint8_t pageControl, const PageContext& context);
// Checks one page of a MODE SELECT parameter list and records what it asks for in `plan`.
// `bytes` holds the page, at least 2 + bytes[1] of them; `offset` is where it starts in the list,
// so that a refusal points at the byte of the list.
std::optional<Sense> SelectPage(const uint8_t* bytes, size_t offset, const PageContext& context,
                                SelectPlan& plan);

}  // namespace internal
}  // namespace sim
