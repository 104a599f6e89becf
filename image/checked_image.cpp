// The numbers of a checked image that the checks and the tool share: the hex form of the
// findings, and where the optional header's checksum lies and what the file sums to.
#include "image/checked_image.h"
#include "image/pecheck.h"

namespace pecheck {

std::string Hex(uint32_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const unsigned nibble = (value >> shift) & 0xF;
        if (nibble != 0 || started || shift == 0) {
            text.push_back(digits[nibble]);
            started = true;
        }
    }
    return text;
}

bool ChecksumOffset(const std::vector<uint8_t>& file, size_t& offset)
{
    Image image(file);
    try {
        image.ReadHeaders();
    } catch (const Malformed&) {
        return false;
    }
    offset = image.checksumOffset;
    return true;
}

uint32_t ImageChecksum(const std::vector<uint8_t>& file, size_t checksumOffset)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        // The field itself counts as zero; a missing odd last byte as well.
        const auto byte = [&](size_t at) -> uint32_t {
            const bool inField = at >= checksumOffset && at - checksumOffset < 4;
            return at < file.size() && !inField ? file[at] : 0;
        };
        const uint32_t low = byte(i);
        const uint32_t high = byte(i + 1);
        sum += low | (high << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + file.size());
}

}  // namespace pecheck
