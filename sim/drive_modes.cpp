// The simulated drive's MODE SENSE and MODE SELECT: the mode parameter header and block
// descriptor both ways, and the steps of a MODE SELECT (command, header, block descriptor,
// pages, then taking it all over at once). The pages themselves are in sim/mode_pages.cpp.
#include "sim/mode_pages.h"

namespace sim {
namespace {

constexpr uint8_t kSenseDbd = 0x08;
constexpr uint8_t kSenseReserved = 0x17;
constexpr unsigned kPageControlShift = 6;  // saved values are the current ones
constexpr uint8_t kSelectPf = 0x10;
constexpr uint8_t kSelectReserved = 0x0E;
constexpr uint8_t kPfBit = 4;

constexpr size_t kHeaderMediumTypeByte = 1;
constexpr size_t kHeaderDeviceSpecificByte = 2;
constexpr size_t kHeaderDescriptorLengthByte = 3;
constexpr uint8_t kDeviceSpecificWp = 0x80;
constexpr uint8_t kBufferedModeMask = 0x70;
constexpr uint8_t kBufferedMode1 = 0x10;
constexpr uint8_t kSpeedMask = 0x0F;

constexpr size_t kDescriptorDensityByte = 0;
constexpr size_t kDescriptorBlocksByte = 1;
constexpr size_t kDescriptorReservedByte = 4;
constexpr size_t kDescriptorBlockLengthByte = 5;
constexpr uint8_t kDensityKeep = 0x7F;
constexpr uint8_t kDensityDefault = 0x00;
constexpr uint32_t kEveryBlockLengthBit = 0xFFFFFF;

std::vector<uint8_t> ModeParameters(uint8_t pageControl, bool blockDescriptor,
                                    const std::vector<uint8_t>& pageCodes,
                                    const PageContext& context)
{
    std::vector<uint8_t> answer(kModeHeaderLength, 0);
    if (pageControl != kPcChangeable) {
        answer[kHeaderDeviceSpecificByte] = static_cast<uint8_t>(
            (context.medium.WriteProtected() ? kDeviceSpecificWp : 0) | kBufferedMode1);
    }
    if (blockDescriptor) {
        answer[kHeaderDescriptorLengthByte] = kBlockDescriptorLength;
        std::vector<uint8_t> bd(kBlockDescriptorLength, 0);
        if (pageControl == kPcChangeable) {
            PutBe24(&bd[kDescriptorBlockLengthByte], kEveryBlockLengthBit);
        } else {
            bd[kDescriptorDensityByte] = context.medium.DensityCode();
            PutBe24(&bd[kDescriptorBlockLengthByte],
                    pageControl == kPcDefault ? kDefaultBlockLength : context.settings.blockLength);
        }
        answer.insert(answer.end(), bd.begin(), bd.end());
    }
    for (const uint8_t code : pageCodes) {
        const std::vector<uint8_t> page = BuildPage(code, pageControl, context);
        answer.insert(answer.end(), page.begin(), page.end());
    }
    answer[0] = static_cast<uint8_t>(answer.size() - 1);
    return answer;
}

// The mode parameter header of a MODE SELECT: the mode data length (byte 0) is reserved here
// and the WP bit is the drive's to report. `pagesAt` becomes where the block descriptor ends.
std::optional<Sense> SelectHeader(const uint8_t* list, size_t length, size_t& pagesAt)
{
    if (length < kModeHeaderLength) {
        return Sense::ListLength();
    }
    if (list[kHeaderMediumTypeByte] != 0) {
        return Sense::ListField(kHeaderMediumTypeByte);
    }
    const uint8_t deviceSpecific = list[kHeaderDeviceSpecificByte];
    if ((deviceSpecific & kBufferedModeMask) > kBufferedMode1 || (deviceSpecific & kSpeedMask)) {
        return Sense::ListField(kHeaderDeviceSpecificByte);
    }
    const size_t bdLength = list[kHeaderDescriptorLengthByte];
    if (bdLength != 0 && bdLength != kBlockDescriptorLength) {
        return Sense::ListField(kHeaderDescriptorLengthByte);
    }
    if (kModeHeaderLength + bdLength > length) {
        return Sense::ListLength();
    }
    pagesAt = kModeHeaderLength + bdLength;
    return std::nullopt;
}

// The block descriptor: the density may only be kept, the block length is the initiator's.
std::optional<Sense> SelectBlockDescriptor(const uint8_t* bd, const PageContext& context,
                                           SelectPlan& plan)
{
    const auto at = [](size_t byte) { return static_cast<uint16_t>(kModeHeaderLength + byte); };
    const uint8_t density = bd[kDescriptorDensityByte];
    if (density != kDensityDefault && density != kDensityKeep &&
        density != context.medium.DensityCode()) {
        return Sense::ListField(at(kDescriptorDensityByte));
    }
    if (GetBe24(&bd[kDescriptorBlocksByte]) != 0) {
        return Sense::ListField(at(kDescriptorBlocksByte));
    }
    if (bd[kDescriptorReservedByte] != 0) {
        return Sense::ListField(at(kDescriptorReservedByte));
    }
    plan.settings.blockLength = GetBe24(&bd[kDescriptorBlockLengthByte]);
    return std::nullopt;
}

// The pages after the block descriptor, each whole within the list.
std::optional<Sense> SelectPages(bool pf, const uint8_t* list, size_t length, size_t offset,
                                 const PageContext& context, SelectPlan& plan)
{
    while (offset < length) {
        if (!pf) {
            // Pages not in the page format of SCSI-2 are not understood.
            return Sense::CdbField(1, kPfBit);
        }
        if (offset + kPageHeaderLength > length ||
            offset + kPageHeaderLength + list[offset + 1] > length) {
            return Sense::ListLength();
        }
        if (auto refused = SelectPage(list + offset, offset, context, plan)) {
            return refused;
        }
        offset += kPageHeaderLength + list[offset + 1];
    }
    return std::nullopt;
}

}  // namespace

PageContext Drive::Pages() const
{
    return PageContext{settings_, partition_, *medium_, !options_.refuseCompressionPage};
}

Result Drive::ModeSense(const Call& call)
{
    const bool dbd = call.cdb[1] & kSenseDbd;
    const uint8_t pageControl = call.cdb[2] >> kPageControlShift;
    const uint8_t page = call.cdb[2] & kPageCodeMask;
    if (call.cdb[1] & kSenseReserved || call.cdb[3] != 0) {
        return Check(Sense::CdbField(call.cdb[3] != 0 ? 3 : 1));
    }
    const PageContext context = Pages();
    std::vector<uint8_t> codes;
    if (page == kPageAll) {
        for (const uint8_t code : {kPageCompression, kPageConfiguration, kPagePartition}) {
            if (PageKnown(code, context)) {
                codes.push_back(code);
            }
        }
    } else if (PageKnown(page, context)) {
        codes = {page};
    } else {
        return Check(Sense::CdbField(2, kPageCodeBit));
    }
    const std::vector<uint8_t> answer = ModeParameters(pageControl, !dbd, codes, context);
    size_t allocation = call.cdb[4];
    const size_t full = std::min(allocation, answer.size());
    allocation = full > options_.modeSenseShortBy ? full - options_.modeSenseShortBy : 0;
    return call.Send(answer, allocation);
}

Result Drive::ModeSelect(const Call& call)
{
    if (call.cdb[1] & kSelectReserved) {
        return Check(Sense::CdbField(1));
    }
    const bool pf = call.cdb[1] & kSelectPf;
    const size_t length = call.cdb[4];
    if (length == 0) {
        return Result{};
    }
    if (call.direction != Direction::Out || call.data == nullptr || call.dataLength != length) {
        return Check(Sense::DataPhase());
    }
    const uint8_t* list = call.data;
    const PageContext context = Pages();
    SelectPlan plan;
    plan.settings = settings_;
    size_t pagesAt = 0;
    if (auto refused = SelectHeader(list, length, pagesAt)) {
        return Check(*refused);
    }
    if (pagesAt > kModeHeaderLength) {
        if (auto refused = SelectBlockDescriptor(list + kModeHeaderLength, context, plan)) {
            return Check(*refused);
        }
    }
    if (auto refused = SelectPages(pf, list, length, pagesAt, context, plan)) {
        return Check(*refused);
    }
    return CommitSelect(plan);
}

// The whole list passed: the drive takes it over at once, or not at all.
Result Drive::CommitSelect(const SelectPlan& plan)
{
    if (plan.repartition && medium_->WriteProtected()) {
        return Check(kWriteProtected);
    }
    settings_ = plan.settings;
    if (plan.repartition) {
        // Laying the tape out anew formats it: everything recorded is gone.
        medium_->Format(plan.partitionSizes);
        partition_ = 0;
        position_ = 0;
        positionKnown_ = true;
    }
    return Result{};
}

}  // namespace sim
