// The host side's big-endian fields: each width written and read back byte for byte, and the
// 24-bit signed count of SPACE at its limits.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "bytes/big_endian.h"
#include "host/scsi.h"

namespace {

TEST(BigEndian, EachWidthWritesAndReadsItsBytesMostSignificantFirst)
{
    const struct {
        int width;
        uint64_t value;
        std::vector<uint8_t> bytes;
    } rows[] = {
        {2, 0x1234, {0x12, 0x34}},
        {2, 0xFFFF, {0xFF, 0xFF}},
        {3, 0x123456, {0x12, 0x34, 0x56}},
        {3, 0x800001, {0x80, 0x00, 0x01}},
        {4, 0x89ABCDEF, {0x89, 0xAB, 0xCD, 0xEF}},
        {8, 0x0123456789ABCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}},
        {8, UINT64_MAX, std::vector<uint8_t>(8, 0xFF)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        // One guard byte on each side: nothing outside the field is written.
        std::vector<uint8_t> buffer(row.bytes.size() + 2, 0xA5);
        uint8_t* field = buffer.data() + 1;
        uint64_t back = 0;
        switch (row.width) {
        case 2:
            bytes::PutBe16(field, static_cast<uint32_t>(row.value));
            back = bytes::GetBe16(field);
            break;
        case 3:
            bytes::PutBe24(field, static_cast<uint32_t>(row.value));
            back = bytes::GetBe24(field);
            break;
        case 4:
            bytes::PutBe32(field, static_cast<uint32_t>(row.value));
            back = bytes::GetBe32(field);
            break;
        default:
            bytes::PutBe64(field, row.value);
            back = bytes::GetBe64(field);
            break;
        }
        EXPECT_EQ(std::vector<uint8_t>(field, field + row.bytes.size()), row.bytes);
        EXPECT_EQ(back, row.value);
        EXPECT_EQ(buffer.front(), 0xA5);
        EXPECT_EQ(buffer.back(), 0xA5);
    }
}

TEST(BigEndian, SignedTwentyFourBitCountsAtTheirLimits)
{
    const struct {
        uint8_t bytes[3];
        int32_t count;
    } rows[] = {
        {{0x00, 0x00, 0x00}, 0},        {{0x00, 0x00, 0x01}, 1},  {{0x7F, 0xFF, 0xFF}, 8388607},
        {{0x80, 0x00, 0x00}, -8388608}, {{0xFF, 0xFF, 0xFE}, -2}, {{0xFF, 0xFF, 0xFF}, -1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(bytes::GetSignedBe24(row.bytes), row.count) << row.count;
    }
}

// A six-byte command's 24-bit field as the host builds it and the drive reads it: a negative
// SPACE count (backward) survives the trip, and nothing spills out of bytes 2 to 4.
TEST(BigEndian, ASixByteCommandCarriesASignedCountInBytesTwoToFour)
{
    for (const int32_t count : {-8388608, -3, -1, 0, 1, 8388607}) {
        const host::Cdb6 cdb =
            host::MakeCdb6(host::kOpSpace, 0x01, static_cast<uint32_t>(count) & 0xFFFFFF);
        EXPECT_EQ(cdb[0], host::kOpSpace);
        EXPECT_EQ(cdb[1], 0x01);
        EXPECT_EQ(bytes::GetSignedBe24(&cdb[2]), count);
        EXPECT_EQ(cdb[5], 0x00) << count;
    }
}

}  // namespace
