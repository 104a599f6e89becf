// The simulated drive's three mode pages, one row each: how MODE SENSE reports the page (current,
// changeable, default values), which lengths MODE SELECT takes, and how a page sent with MODE
// SELECT is checked against what may change before the drive takes it over.
#include "sim/mode_pages.h"

#include <algorithm>

namespace sim {
namespace internal {
namespace {

constexpr uint8_t kPageSaveable = 0x80;
constexpr uint8_t kConfigPageLength = 0x0E;
constexpr uint8_t kCompressionPageLength = 0x0E;
constexpr uint8_t kPartitionPageLength = 0x0A;    // two size descriptors
constexpr uint8_t kPartitionPageShortest = 0x06;  // no size descriptor

// Device configuration page.
constexpr size_t kConfigActivePartitionByte = 3;
constexpr size_t kConfigRsmkByte = 8;
constexpr uint8_t kConfigBis = 0x40;
constexpr uint8_t kConfigRsmk = 0x20;
constexpr size_t kConfigGapByte = 10;
constexpr uint8_t kConfigEegSew = 0x18;
constexpr size_t kConfigCompressionByte = 14;  // select data compression algorithm

// Data compression page.
constexpr size_t kCompressionDceByte = 2;
constexpr uint8_t kCompressionDce = 0x80;
constexpr uint8_t kCompressionDcc = 0x40;
constexpr size_t kCompressionDdeByte = 3;
constexpr uint8_t kCompressionDde = 0x80;
constexpr size_t kCompressionAlgorithmByte = 4;
constexpr size_t kDecompressionAlgorithmByte = 8;
constexpr size_t kAlgorithmLength = 4;

// Medium partition page.
constexpr size_t kPartMaximumAdditionalByte = 2;
constexpr size_t kPartAdditionalByte = 3;
constexpr size_t kPartFlagsByte = 4;
constexpr uint8_t kPartFdp = 0x80;
constexpr uint8_t kPartSdp = 0x40;
constexpr uint8_t kPartIdp = 0x20;
constexpr uint8_t kPartPsumMask = 0x18;
constexpr unsigned kPartPsumShift = 3;
constexpr uint8_t kPartPsumMegabytes = 0x10;  // as this drive reports sizes
constexpr uint8_t kPartFlagsReserved = 0x07;
constexpr size_t kPartFormatByte = 5;
constexpr uint8_t kPartFormatRecognised = 0x03;  // the drive recognises format and partitions
constexpr size_t kPartReservedByte = 6;
constexpr size_t kPartSizeByte = 8;
constexpr size_t kPartSizeLength = 2;
constexpr uint8_t kPsumBytes = 0;
constexpr uint8_t kPsumKilobytes = 1;
constexpr uint8_t kPsumReserved = 3;

constexpr uint64_t kBytesPerMegabyte = 1000000;
constexpr uint64_t kBytesPerKilobyte = 1000;

// Bit numbers of a field pointer.
constexpr uint8_t kBit4 = 4;
constexpr uint8_t kBit6 = 6;
constexpr uint8_t kBit7 = 7;

std::vector<uint8_t> NewPage(uint8_t code, uint8_t length, bool saveable)
{
    std::vector<uint8_t> p(kPageHeaderLength + length, 0);
    p[0] = static_cast<uint8_t>((saveable ? kPageSaveable : 0) | code);
    p[1] = length;
    return p;
}

DriveSettings Reported(uint8_t pageControl, const PageContext& context)
{
    return pageControl == kPcDefault ? DriveSettings{} : context.settings;
}

std::vector<uint8_t> ConfigPage(uint8_t pageControl, const PageContext& context)
{
    std::vector<uint8_t> p = NewPage(kPageConfiguration, kConfigPageLength, true);
    if (pageControl == kPcChangeable) {
        p[kConfigRsmkByte] = kConfigRsmk;
        p[kConfigCompressionByte] = 0xFF;
        return p;
    }
    const DriveSettings settings = Reported(pageControl, context);
    p[kConfigActivePartitionByte] = static_cast<uint8_t>(context.activePartition);
    p[kConfigRsmkByte] =
        static_cast<uint8_t>(kConfigBis | (settings.reportSetmarks ? kConfigRsmk : 0));
    p[kConfigGapByte] = kConfigEegSew;
    p[kConfigCompressionByte] = settings.compression ? 1 : 0;
    return p;
}

std::vector<uint8_t> CompressionPage(uint8_t pageControl, const PageContext& context)
{
    std::vector<uint8_t> p = NewPage(kPageCompression, kCompressionPageLength, true);
    if (pageControl == kPcChangeable) {
        p[kCompressionDceByte] = kCompressionDce;
        p[kCompressionDdeByte] = kCompressionDde;
        std::fill(p.begin() + kCompressionAlgorithmByte,
                  p.begin() + kDecompressionAlgorithmByte + kAlgorithmLength, 0xFF);
        return p;
    }
    const DriveSettings settings = Reported(pageControl, context);
    p[kCompressionDceByte] =
        static_cast<uint8_t>(kCompressionDcc | (settings.compression ? kCompressionDce : 0));
    p[kCompressionDdeByte] = settings.decompression ? kCompressionDde : 0;
    PutBe32(&p[kCompressionAlgorithmByte], settings.compressionAlgorithm);
    PutBe32(&p[kDecompressionAlgorithmByte], settings.decompressionAlgorithm);
    return p;
}

std::vector<uint8_t> PartitionPage(uint8_t pageControl, const PageContext& context)
{
    std::vector<uint8_t> p = NewPage(kPagePartition, kPartitionPageLength, false);
    if (pageControl == kPcChangeable) {
        p[kPartAdditionalByte] = 0x01;
        p[kPartFlagsByte] = kPartIdp | kPartPsumMask;
        std::fill(p.begin() + kPartSizeByte, p.end(), 0xFF);
        return p;
    }
    const Medium& medium = context.medium;
    p[kPartMaximumAdditionalByte] = kMaxPartitions - 1;
    const uint32_t partitions = medium.PartitionCount();
    p[kPartAdditionalByte] = static_cast<uint8_t>(partitions - 1);
    p[kPartFlagsByte] = static_cast<uint8_t>(kPartPsumMegabytes | (partitions > 1 ? kPartIdp : 0));
    p[kPartFormatByte] = kPartFormatRecognised;
    for (uint32_t i = 0; i < partitions && i < kMaxPartitions; ++i) {
        const uint64_t megabytes = medium.PartitionCapacity(i) / kBytesPerMegabyte;
        PutBe16(&p[kPartSizeByte + kPartSizeLength * i],
                static_cast<uint32_t>(std::min<uint64_t>(megabytes, 0xFFFF)));
    }
    return p;
}

// A page as MODE SELECT meets it: where it starts in the list, so that each refusal points at
// the byte of the list that caused it.
struct SentPage {
    const uint8_t* bytes;
    size_t offset;

    size_t length() const { return bytes[1]; }
    Sense Field(size_t byte, std::optional<uint8_t> bit = std::nullopt) const
    {
        return Sense::ListField(static_cast<uint16_t>(offset + byte), bit);
    }
};

std::optional<Sense> TakeConfig(const SentPage& page, const PageContext& context, SelectPlan& plan)
{
    const uint8_t selector = page.bytes[kConfigCompressionByte];
    if (selector > 1) {
        return page.Field(kConfigCompressionByte);
    }
    plan.settings.reportSetmarks = page.bytes[kConfigRsmkByte] & kConfigRsmk;
    // The selector only counts when it changes: DCE on the compression page may have set it.
    if (selector != (context.settings.compression ? 1 : 0)) {
        plan.settings.compression = selector == 1;
    }
    return std::nullopt;
}

std::optional<Sense> TakeCompression(const SentPage& page, const PageContext& /*context*/,
                                     SelectPlan& plan)
{
    const uint32_t compression = GetBe32(&page.bytes[kCompressionAlgorithmByte]);
    const uint32_t decompression = GetBe32(&page.bytes[kDecompressionAlgorithmByte]);
    if (compression != 0 && compression != kCompressionDclz) {
        return page.Field(kCompressionAlgorithmByte);
    }
    if (decompression != 0 && decompression != kCompressionDclz) {
        return page.Field(kDecompressionAlgorithmByte);
    }
    plan.settings.compression = page.bytes[kCompressionDceByte] & kCompressionDce;
    plan.settings.decompression = page.bytes[kCompressionDdeByte] & kCompressionDde;
    plan.settings.compressionAlgorithm = compression;
    plan.settings.decompressionAlgorithm = decompression;
    return std::nullopt;
}

// The partition page's flags and counts, refused with the bit at fault before the mask check
// would name only the byte.
std::optional<Sense> RefusePartitionFlags(const SentPage& page)
{
    if (page.bytes[kPartAdditionalByte] > kMaxPartitions - 1) {
        return page.Field(kPartAdditionalByte);
    }
    const uint8_t flags = page.bytes[kPartFlagsByte];
    if (flags & kPartFdp) {
        return page.Field(kPartFlagsByte, kBit7);  // no fixed partitions
    }
    if (flags & kPartSdp) {
        return page.Field(kPartFlagsByte, kBit6);  // no select partitions
    }
    if (flags & kPartFlagsReserved) {
        return page.Field(kPartFlagsByte);
    }
    if (((flags & kPartPsumMask) >> kPartPsumShift) == kPsumReserved) {
        return page.Field(kPartFlagsByte, kBit4);
    }
    if (page.bytes[kPartReservedByte] != 0 || page.bytes[kPartReservedByte + 1] != 0) {
        return page.Field(kPartReservedByte);
    }
    return std::nullopt;
}

std::optional<Sense> TakePartition(const SentPage& page, const PageContext& context,
                                   SelectPlan& plan)
{
    const Medium& medium = context.medium;
    const uint8_t additional = page.bytes[kPartAdditionalByte];
    const uint8_t flags = page.bytes[kPartFlagsByte];
    if (!(flags & kPartIdp)) {
        // Without IDP nothing is laid out anew; the page may only restate the layout.
        if (additional + 1u != medium.PartitionCount()) {
            return page.Field(kPartAdditionalByte);
        }
        return std::nullopt;
    }
    const uint8_t psum = (flags & kPartPsumMask) >> kPartPsumShift;
    const uint64_t unit = psum == kPsumBytes       ? 1
                          : psum == kPsumKilobytes ? kBytesPerKilobyte
                                                   : kBytesPerMegabyte;
    const size_t descriptors = (page.length() - kPartitionPageShortest) / kPartSizeLength;
    plan.partitionSizes.clear();
    if (additional == 0) {
        plan.partitionSizes.push_back(medium.CapacityBytes());
    } else {
        if (descriptors == 0) {
            return page.Field(1);  // the first partition needs a size
        }
        const uint64_t first = GetBe16(&page.bytes[kPartSizeByte]) * unit;
        if (first == 0 || first >= medium.CapacityBytes()) {
            return page.Field(kPartSizeByte);
        }
        uint64_t second = medium.CapacityBytes() - first;
        const size_t secondByte = kPartSizeByte + kPartSizeLength;
        if (descriptors > 1 && GetBe16(&page.bytes[secondByte]) != 0) {
            const uint64_t asked = GetBe16(&page.bytes[secondByte]) * unit;
            if (asked > second) {
                return page.Field(secondByte);
            }
            second = asked;
        }
        plan.partitionSizes = {first, second};
    }
    plan.repartition = true;
    return std::nullopt;
}

// Bits of a page byte the drive does not compare with its own: the active partition means
// nothing without CAP, which this drive lacks.
uint8_t ConfigOverlooked(size_t byte, uint8_t /*sent*/)
{
    return byte == kConfigActivePartitionByte ? 0xFF : 0;
}

// The maximum number of additional partitions is the drive's to report; an initiator that
// builds the page afresh leaves it zero, which says nothing and is let pass.
uint8_t PartitionOverlooked(size_t byte, uint8_t sent)
{
    return byte == kPartMaximumAdditionalByte && sent == 0 ? 0xFF : 0;
}

struct PageRow {
    uint8_t code;
    uint8_t shortest;  // page lengths MODE SELECT takes (even, within these)
    uint8_t longest;
    std::vector<uint8_t> (*build)(uint8_t pageControl, const PageContext& context);
    std::optional<Sense> (*refuse)(const SentPage& page);  // checks with a bit, before the mask
    uint8_t (*overlooked)(size_t byte, uint8_t sent);
    std::optional<Sense> (*take)(const SentPage& page, const PageContext& context,
                                 SelectPlan& plan);
};

constexpr PageRow kPages[] = {
    {kPageCompression, kCompressionPageLength, kCompressionPageLength, CompressionPage, nullptr,
     nullptr, TakeCompression},
    {kPageConfiguration, kConfigPageLength, kConfigPageLength, ConfigPage, nullptr,
     ConfigOverlooked, TakeConfig},
    {kPagePartition, kPartitionPageShortest, kPartitionPageLength, PartitionPage,
     RefusePartitionFlags, PartitionOverlooked, TakePartition},
};

const PageRow* RowFor(uint8_t code, const PageContext& context)
{
    if (code == kPageCompression && !context.compressionPage) {
        return nullptr;
    }
    for (const PageRow& row : kPages) {
        if (row.code == code) {
            return &row;
        }
    }
    return nullptr;
}

// A field the drive owns, sent other than the drive reports it: the first such byte.
std::optional<size_t> ChangedFixedField(const PageRow& row, const SentPage& page,
                                        const PageContext& context)
{
    const std::vector<uint8_t> current = row.build(kPcCurrent, context);
    const std::vector<uint8_t> changeable = row.build(kPcChangeable, context);
    const size_t end = std::min(kPageHeaderLength + page.length(), current.size());
    for (size_t i = kPageHeaderLength; i < end; ++i) {
        const uint8_t sent = page.bytes[i];
        const uint8_t overlooked = row.overlooked ? row.overlooked(i, sent) : 0;
        if ((sent ^ current[i]) & ~changeable[i] & ~overlooked) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace

bool PageKnown(uint8_t code, const PageContext& context)
{
    return RowFor(code, context) != nullptr;
}

std::vector<uint8_t> BuildPage(uint8_t code, uint8_t pageControl, const PageContext& context)
{
    const PageRow* row = RowFor(code, context);
    return row ? row->build(pageControl, context) : std::vector<uint8_t>{};
}

std::optional<Sense> SelectPage(const uint8_t* bytes, size_t offset, const PageContext& context,
                                SelectPlan& plan)
{
    const SentPage page{bytes, offset};
    const uint8_t code = bytes[0] & kPageCodeMask;  // PS is reserved here
    const PageRow* row = RowFor(code, context);
    if (!row) {
        return page.Field(0, kPageCodeBit);
    }
    if (page.length() < row->shortest || page.length() > row->longest || page.length() % 2 != 0) {
        return page.Field(1);
    }
    if (row->refuse) {
        if (auto refused = row->refuse(page)) {
            return refused;
        }
    }
    if (const auto changed = ChangedFixedField(*row, page, context)) {
        return page.Field(*changed);
    }
    return row->take(page, context, plan);
}

}  // namespace internal
}  // namespace sim
