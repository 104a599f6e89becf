// The simulated drive's mode pages and capacity log page: MODE SENSE, MODE SELECT (settings
// and partitioning) and LOG SENSE.
#include "sim/drive_internal.h"

namespace sim {

Result Drive::LogSense(const Call& call)
{
    if (call.cdb[1] & 0x03) {
        return Check(Sense::CdbField(1));  // no saving, no parameter change tracking
    }
    const uint8_t page = call.cdb[2] & kPageCodeMask;
    const uint32_t pointer = GetBe16(&call.cdb[5]);
    const uint32_t allocation = GetBe16(&call.cdb[7]);
    std::vector<uint8_t> answer;
    if (page == kLogPageSupported) {
        if (pointer != 0) {
            return Check(Sense::CdbField(5));
        }
        answer = {kLogPageSupported, 0x00, 0x00, 0x02, kLogPageSupported, kLogPageCapacity};
        return call.Send(answer, allocation);
    }
    if (page != kLogPageCapacity) {
        return Check(Sense::CdbField(2));
    }
    if (pointer > kCapacityParameters) {
        return Check(Sense::CdbField(5));
    }
    uint64_t values[kCapacityParameters] = {};
    for (uint32_t p = 0; p < medium_->PartitionCount() && p < kMaxPartitions; ++p) {
        values[p] = Remaining(p) / kLogUnitBytes;
        values[p + 2] = medium_->PartitionCapacity(p) / kLogUnitBytes;
    }
    answer.assign(4, 0);
    answer[0] = kLogPageCapacity;
    for (uint32_t code = 1; code <= kCapacityParameters; ++code) {
        if (code < pointer) {
            continue;
        }
        const size_t at = answer.size();
        answer.resize(at + 8, 0);
        PutBe16(&answer[at], code);
        answer[at + 3] = 4;
        PutBe32(&answer[at + 4],
                static_cast<uint32_t>(std::min<uint64_t>(values[code - 1], 0xFFFFFFFF)));
    }
    PutBe16(&answer[2], static_cast<uint32_t>(answer.size() - 4));
    return call.Send(answer, allocation);
}

std::vector<uint8_t> Drive::ConfigPage(uint8_t pageControl) const
{
    std::vector<uint8_t> p(2 + kConfigPageLength, 0);
    p[0] = kPageSaveable | kPageConfiguration;
    p[1] = kConfigPageLength;
    if (pageControl == kPcChangeable) {
        p[8] = 0x20;   // RSmk
        p[14] = 0xFF;  // select data compression algorithm
        return p;
    }
    const DriveSettings settings = pageControl == kPcDefault ? DriveSettings{} : settings_;
    p[3] = static_cast<uint8_t>(partition_);                        // active partition
    p[8] = static_cast<uint8_t>(0x40 | (settings.reportSetmarks ? 0x20 : 0));  // BIS, RSmk
    p[10] = 0x18;                                                              // EEG, SEW
    p[14] = settings.compression ? 1 : 0;
    return p;
}

std::vector<uint8_t> Drive::CompressionPage(uint8_t pageControl) const
{
    std::vector<uint8_t> p(2 + kCompressionPageLength, 0);
    p[0] = kPageSaveable | kPageCompression;
    p[1] = kCompressionPageLength;
    if (pageControl == kPcChangeable) {
        p[2] = 0x80;  // DCE
        p[3] = 0x80;  // DDE
        std::fill(p.begin() + 4, p.begin() + 12, 0xFF);
        return p;
    }
    const DriveSettings settings = pageControl == kPcDefault ? DriveSettings{} : settings_;
    p[2] = static_cast<uint8_t>(0x40 | (settings.compression ? 0x80 : 0));  // DCC, DCE
    p[3] = settings.decompression ? 0x80 : 0;
    PutBe32(&p[4], settings.compressionAlgorithm);
    PutBe32(&p[8], settings.decompressionAlgorithm);
    return p;
}

std::vector<uint8_t> Drive::PartitionPage(uint8_t pageControl) const
{
    std::vector<uint8_t> p(2 + kPartitionPageLength, 0);
    p[0] = kPagePartition;
    p[1] = kPartitionPageLength;
    if (pageControl == kPcChangeable) {
        p[3] = 0x01;
        p[4] = 0x38;  // IDP, PSUM
        std::fill(p.begin() + 8, p.end(), 0xFF);
        return p;
    }
    p[2] = kMaxPartitions - 1;
    const uint32_t partitions = medium_->PartitionCount();
    p[3] = static_cast<uint8_t>(partitions - 1);
    p[4] = static_cast<uint8_t>(0x10 | (partitions > 1 ? 0x20 : 0));
    p[5] = 0x03;  // the drive recognises format and partitions
    for (uint32_t i = 0; i < partitions && i < kMaxPartitions; ++i) {
        const uint64_t megabytes = medium_->PartitionCapacity(i) / kBytesPerMegabyte;
        PutBe16(&p[8 + 2 * i], static_cast<uint32_t>(std::min<uint64_t>(megabytes, 0xFFFF)));
    }
    return p;
}

std::vector<uint8_t> Drive::ModeHeaderAndPages(uint8_t pageControl, bool blockDescriptor,
                                               const std::vector<uint8_t>& pageCodes) const
{
    std::vector<uint8_t> answer(kModeHeaderLength, 0);
    if (pageControl != kPcChangeable) {
        answer[2] = static_cast<uint8_t>((medium_->WriteProtected() ? kDeviceSpecificWp : 0) |
                                         kBufferedMode1);
    }
    if (blockDescriptor) {
        answer[3] = kBlockDescriptorLength;
        std::vector<uint8_t> bd(kBlockDescriptorLength, 0);
        if (pageControl == kPcChangeable) {
            PutBe24(&bd[5], 0xFFFFFF);
        } else {
            bd[0] = medium_->DensityCode();
            PutBe24(&bd[5],
                    pageControl == kPcDefault ? kDefaultBlockLength : settings_.blockLength);
        }
        answer.insert(answer.end(), bd.begin(), bd.end());
    }
    for (const uint8_t code : pageCodes) {
        std::vector<uint8_t> page;
        switch (code) {
        case kPageCompression:
            page = CompressionPage(pageControl);
            break;
        case kPageConfiguration:
            page = ConfigPage(pageControl);
            break;
        default:
            page = PartitionPage(pageControl);
            break;
        }
        answer.insert(answer.end(), page.begin(), page.end());
    }
    answer[0] = static_cast<uint8_t>(answer.size() - 1);
    return answer;
}

Result Drive::ModeSense(const Call& call)
{
    const bool dbd = call.cdb[1] & 0x08;
    const uint8_t pageControl = call.cdb[2] >> 6;  // saved values are the current ones
    const uint8_t page = call.cdb[2] & kPageCodeMask;
    if (call.cdb[1] & 0x17 || call.cdb[3] != 0) {
        return Check(Sense::CdbField(call.cdb[3] != 0 ? 3 : 1));
    }
    std::vector<uint8_t> codes;
    switch (page) {
    case kPageCompression:
        if (options_.refuseCompressionPage) {
            return Check(Sense::CdbField(2, 5));
        }
        codes = {kPageCompression};
        break;
    case kPageConfiguration:
    case kPagePartition:
        codes = {page};
        break;
    case kPageAll:
        if (!options_.refuseCompressionPage) {
            codes.push_back(kPageCompression);
        }
        codes.push_back(kPageConfiguration);
        codes.push_back(kPagePartition);
        break;
    default:
        return Check(Sense::CdbField(2, 5));
    }
    const std::vector<uint8_t> answer = ModeHeaderAndPages(pageControl, !dbd, codes);
    size_t allocation = call.cdb[4];
    const size_t full = std::min(allocation, answer.size());
    allocation = full > options_.modeSenseShortBy ? full - options_.modeSenseShortBy : 0;
    return call.Send(answer, allocation);
}

Result Drive::ModeSelect(const Call& call)
{
    const bool pf = call.cdb[1] & 0x10;
    if (call.cdb[1] & 0x0E) {
        return Check(Sense::CdbField(1));
    }
    const size_t length = call.cdb[4];
    if (length == 0) {
        return Result{};
    }
    if (call.direction != Direction::Out || call.data == nullptr || call.dataLength != length) {
        return Check(Sense::DataPhase());
    }
    const uint8_t* list = call.data;
    if (length < kModeHeaderLength) {
        return Check(Sense::ListLength());
    }
    // The mode data length (byte 0) is reserved here and the WP bit is the drive's to report.
    if (list[1] != 0) {
        return Check(Sense::ListField(1));
    }
    if ((list[2] & 0x70) > kBufferedMode1 || (list[2] & 0x0F) != 0) {
        return Check(Sense::ListField(2));
    }
    const size_t bdLength = list[3];
    if (bdLength != 0 && bdLength != kBlockDescriptorLength) {
        return Check(Sense::ListField(3));
    }
    if (kModeHeaderLength + bdLength > length) {
        return Check(Sense::ListLength());
    }

    DriveSettings settings = settings_;
    if (bdLength != 0) {
        const uint8_t* bd = list + kModeHeaderLength;
        const uint16_t at = kModeHeaderLength;
        if (bd[0] != 0 && bd[0] != kDensityKeep && bd[0] != medium_->DensityCode()) {
            return Check(Sense::ListField(at));
        }
        if (GetBe24(&bd[1]) != 0) {
            return Check(Sense::ListField(at + 1));
        }
        if (bd[4] != 0) {
            return Check(Sense::ListField(at + 4));
        }
        settings.blockLength = GetBe24(&bd[5]);
    }

    bool repartition = false;
    std::vector<uint64_t> newSizes;
    size_t offset = kModeHeaderLength + bdLength;
    while (offset < length) {
        if (!pf) {
            // Pages not in the page format of SCSI-2 are not understood.
            return Check(Sense::CdbField(1, 4));
        }
        if (offset + 2 > length || offset + 2 + list[offset + 1] > length) {
            return Check(Sense::ListLength());
        }
        const uint8_t* page = list + offset;
        const uint8_t code = page[0] & kPageCodeMask;  // PS is reserved here
        const size_t pageLength = page[1];
        const auto at = [offset](size_t i) { return static_cast<uint16_t>(offset + i); };
        if (code == kPageConfiguration || code == kPageCompression) {
            if (code == kPageCompression && options_.refuseCompressionPage) {
                return Check(Sense::ListField(at(0), 5));
            }
            const size_t expectLength =
                code == kPageConfiguration ? kConfigPageLength : kCompressionPageLength;
            if (pageLength != expectLength) {
                return Check(Sense::ListField(at(1)));
            }
            const std::vector<uint8_t> current =
                code == kPageConfiguration ? ConfigPage(kPcCurrent) : CompressionPage(kPcCurrent);
            const std::vector<uint8_t> changeable = code == kPageConfiguration
                                                        ? ConfigPage(kPcChangeable)
                                                        : CompressionPage(kPcChangeable);
            for (size_t i = 2; i < current.size(); ++i) {
                // The active partition only counts with CAP, which this drive lacks.
                const uint8_t ignored = code == kPageConfiguration && i == 3 ? 0xFF : 0;
                if ((page[i] ^ current[i]) & ~changeable[i] & ~ignored) {
                    return Check(Sense::ListField(at(i)));
                }
            }
            if (code == kPageConfiguration) {
                settings.reportSetmarks = page[8] & 0x20;
                if (page[14] > 1) {
                    return Check(Sense::ListField(at(14)));
                }
                if (page[14] != current[14]) {
                    settings.compression = page[14] == 1;
                }
            } else {
                const uint32_t compression = GetBe32(&page[4]);
                const uint32_t decompression = GetBe32(&page[8]);
                if (compression != 0 && compression != kCompressionDclz) {
                    return Check(Sense::ListField(at(4)));
                }
                if (decompression != 0 && decompression != kCompressionDclz) {
                    return Check(Sense::ListField(at(8)));
                }
                settings.compression = page[2] & 0x80;
                settings.decompression = page[3] & 0x80;
                settings.compressionAlgorithm = compression;
                settings.decompressionAlgorithm = decompression;
            }
        } else if (code == kPagePartition) {
            // Maximum additional partitions and medium format recognition are the drive's
            // to report and are not looked at.
            if (pageLength < 6 || pageLength > kPartitionPageLength || pageLength % 2 != 0) {
                return Check(Sense::ListField(at(1)));
            }
            const size_t descriptors = (pageLength - 6) / 2;
            const uint8_t additional = page[3];
            if (additional > kMaxPartitions - 1) {
                return Check(Sense::ListField(at(3)));
            }
            const uint8_t flags = page[4];
            if (flags & 0x80) {
                return Check(Sense::ListField(at(4), 7));  // no fixed partitions
            }
            if (flags & 0x40) {
                return Check(Sense::ListField(at(4), 6));  // no select partitions
            }
            if (flags & 0x07) {
                return Check(Sense::ListField(at(4)));
            }
            const uint8_t psum = (flags >> 3) & 0x03;
            if (psum == 3) {
                return Check(Sense::ListField(at(4), 4));
            }
            if (page[6] != 0 || page[7] != 0) {
                return Check(Sense::ListField(at(6)));
            }
            if (!(flags & 0x20)) {
                // Without IDP nothing is laid out anew; the page may only restate the layout.
                if (additional + 1u != medium_->PartitionCount()) {
                    return Check(Sense::ListField(at(3)));
                }
                offset += 2 + pageLength;
                continue;
            }
            const uint64_t unit = psum == 0 ? 1 : psum == 1 ? kBytesPerKilobyte : kBytesPerMegabyte;
            newSizes.clear();
            if (additional == 0) {
                newSizes.push_back(medium_->CapacityBytes());
            } else {
                if (descriptors == 0) {
                    return Check(Sense::ListField(at(1)));  // the first partition needs a size
                }
                const uint64_t first = GetBe16(&page[8]) * unit;
                if (first == 0 || first >= medium_->CapacityBytes()) {
                    return Check(Sense::ListField(at(8)));
                }
                uint64_t second = medium_->CapacityBytes() - first;
                if (descriptors > 1 && GetBe16(&page[10]) != 0) {
                    const uint64_t asked = GetBe16(&page[10]) * unit;
                    if (asked > second) {
                        return Check(Sense::ListField(at(10)));
                    }
                    second = asked;
                }
                newSizes = {first, second};
            }
            repartition = true;
        } else {
            return Check(Sense::ListField(at(0), 5));
        }
        offset += 2 + pageLength;
    }

    if (repartition && medium_->WriteProtected()) {
        return Check(Sense::Make(kKeyDataProtect, 0x27, 0x00));
    }
    settings_ = settings;
    if (repartition) {
        // Laying the tape out anew formats it: everything recorded is gone.
        medium_->Format(newSizes);
        partition_ = 0;
        position_ = 0;
        positionKnown_ = true;
    }
    return Result{};
}

}  // namespace sim
