// MODE SELECT against each page's changeable mask: a field the drive owns, sent other than the
// drive reports it, is refused 5/26/00 with a pointer to its byte and changes nothing; the
// fields the changeable page offers are taken.
#include <gtest/gtest.h>

#include "tests/sim/sim_bench.h"

namespace {

constexpr size_t kHeader = 4;  // mode parameter header; pages are read with DBD

// The page as MODE SENSE reports it (PC 00b or 01b), ready to be sent back: mode data length 0.
std::vector<uint8_t> Page(Bench& b, uint8_t code, uint8_t pageControl = 0)
{
    std::vector<uint8_t> list;
    b.In({0x1A, 0x08, uint8_t(pageControl << 6 | code), 0, 255, 0}, 255, list);
    list[0] = 0;
    return list;
}

sim::Result Select(Bench& b, const std::vector<uint8_t>& list)
{
    return b.Out({0x15, 0x10, 0, 0, uint8_t(list.size()), 0}, list);
}

// Bits the drive lets through although they are not changeable: the active partition (no CAP)
// and a maximum additional partitions of zero, as an initiator building the page afresh sends.
bool Overlooked(uint8_t code, size_t pageByte, uint8_t sent)
{
    return (code == 0x10 && pageByte == 3) || (code == 0x11 && pageByte == 2 && sent == 0);
}

// The byte a refusal points at: the first of the field; the partition page's two reserved
// bytes 6 and 7 are one field.
size_t FieldStart(uint8_t code, size_t listByte)
{
    return code == 0x11 && listByte == kHeader + 7 ? kHeader + 6 : listByte;
}

class ChangeableMask : public ::testing::TestWithParam<uint8_t> {};

TEST_P(ChangeableMask, EveryFixedBitChangedIsRefusedAtItsByte)
{
    const uint8_t code = GetParam();
    Bench probe;
    const std::vector<uint8_t> current = Page(probe, code);
    const std::vector<uint8_t> changeable = Page(probe, code, 1);
    ASSERT_EQ(current.size(), changeable.size());
    int refused = 0;
    for (size_t i = kHeader + 2; i < current.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            const uint8_t mask = uint8_t(1 << bit);
            std::vector<uint8_t> list = current;
            list[i] ^= mask;
            if ((changeable[i] & mask) || Overlooked(code, i - kHeader, list[i])) {
                continue;
            }
            Bench b;
            b.WriteFixed(1);
            const auto before = b.drive.CurrentCartridge();
            const auto r = Select(b, list);
            ASSERT_EQ(r.status, 2) << "byte " << i << " bit " << bit;
            EXPECT_EQ(Key(r), 5);
            EXPECT_EQ(Asc(r), 0x26);
            EXPECT_EQ(r.sense[15] & 0xC0, 0x80) << "a parameter list field";
            EXPECT_EQ((r.sense[16] << 8) | r.sense[17], int(FieldStart(code, i)))
                << "byte " << i << " bit " << bit;
            EXPECT_TRUE(*b.drive.CurrentCartridge() == *before);
            ++refused;
        }
    }
    EXPECT_GT(refused, 0);
}

INSTANTIATE_TEST_SUITE_P(Pages, ChangeableMask, ::testing::Values(0x0F, 0x10, 0x11));

struct TakenRow {
    const char* name;
    uint8_t code;
    size_t pageByte;
    uint8_t value;
};
class ChangeableField : public ::testing::TestWithParam<TakenRow> {};

TEST_P(ChangeableField, IsTakenOrLetThrough)
{
    const TakenRow& row = GetParam();
    Bench b;
    std::vector<uint8_t> list = Page(b, row.code);
    list[kHeader + row.pageByte] = row.value;
    EXPECT_EQ(Select(b, list).status, 0) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ChangeableField,
    ::testing::Values(TakenRow{"RSmk", 0x10, 8, 0x60},
                      TakenRow{"compression selector", 0x10, 14, 0},
                      TakenRow{"active partition without CAP", 0x10, 3, 1},
                      TakenRow{"DCE off", 0x0F, 2, 0x40}, TakenRow{"DDE off", 0x0F, 3, 0},
                      TakenRow{"no compression algorithm", 0x0F, 7, 0},
                      TakenRow{"maximum additional partitions left zero", 0x11, 2, 0},
                      TakenRow{"maximum additional partitions as reported", 0x11, 2, 1},
                      TakenRow{"PSUM in kilobytes, no IDP", 0x11, 4, 0x08}));

TEST(ChangeableField, PartitionSizesWithIdpLayTheTapeOut)
{
    Bench b;
    std::vector<uint8_t> list = Page(b, 0x11);
    list[kHeader + 3] = 1;     // one additional partition
    list[kHeader + 4] = 0x30;  // IDP, sizes in megabytes
    list[kHeader + 8] = 0x01;  // 300 MB
    list[kHeader + 9] = 0x2C;
    ASSERT_EQ(Select(b, list).status, 0);
    ASSERT_EQ(b.drive.medium()->PartitionCount(), 2u);
    EXPECT_EQ(b.drive.medium()->PartitionCapacity(0), 300000000u);
}

}  // namespace
