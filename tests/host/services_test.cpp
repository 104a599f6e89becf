// The TapeClass* services outside a request: memory helpers and the buffer store as a
// harness uses it directly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "host/services.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;

TEST(TapeClassCompareMemory, CountsEqualLeadingBytes)
{
    std::array<uint8_t, 8> a = {'V', 'E', 'L', 'M', ' ', ' ', ' ', ' '};
    std::array<uint8_t, 8> b = {'V', 'E', 'L', 'M', ' ', ' ', ' ', 'X'};
    EXPECT_EQ(TapeClassCompareMemory(a.data(), b.data(), 8), 7u);
    EXPECT_EQ(TapeClassCompareMemory(a.data(), b.data(), 7), 7u);
    EXPECT_EQ(TapeClassCompareMemory(a.data(), a.data(), 8), 8u);
    b[0] = 'v';
    EXPECT_EQ(TapeClassCompareMemory(a.data(), b.data(), 8), 0u);
    EXPECT_EQ(TapeClassCompareMemory(a.data(), b.data(), 0), 0u);
}

TEST(TapeClassZeroMemory, ClearsExactlyTheLength)
{
    std::array<uint8_t, 6> bytes = {1, 2, 3, 4, 5, 6};
    TapeClassZeroMemory(bytes.data() + 1, 4);
    EXPECT_THAT(bytes, ElementsAre(1, 0, 0, 0, 0, 6));
}

TEST(SrbBufferStore, BlockWithoutStoreGetsNoBuffer)
{
    SCSI_REQUEST_BLOCK srb{};
    EXPECT_EQ(TapeClassAllocateSrbBuffer(&srb, 8), FALSE);
    EXPECT_EQ(srb.DataBuffer, nullptr);
}

TEST(SrbBufferStore, HandsOutZeroedBuffersAndForgetsTheBlockWhenGone)
{
    SCSI_REQUEST_BLOCK srb{};
    {
        host::SrbBufferStore store(&srb, std::nullopt);
        ASSERT_EQ(TapeClassAllocateSrbBuffer(&srb, 12), TRUE);
        auto* first = static_cast<uint8_t*>(srb.DataBuffer);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(store.size(), 12u);
        std::fill(first, first + 12, 0x5A);
        ASSERT_EQ(TapeClassAllocateSrbBuffer(&srb, 12), TRUE);
        const auto* second = static_cast<const uint8_t*>(srb.DataBuffer);
        EXPECT_THAT(std::vector<uint8_t>(second, second + 12), Each(0));
        EXPECT_EQ(store.allocations(), 2u);
    }
    srb.DataBuffer = nullptr;
    EXPECT_EQ(TapeClassAllocateSrbBuffer(&srb, 8), FALSE);
}

TEST(SrbBufferStore, RefusesTheChosenAllocationAndAbsurdSizes)
{
    SCSI_REQUEST_BLOCK srb{};
    host::SrbBufferStore store(&srb, 2u);
    ASSERT_EQ(TapeClassAllocateSrbBuffer(&srb, 4), TRUE);
    void* const kept = srb.DataBuffer;
    EXPECT_EQ(TapeClassAllocateSrbBuffer(&srb, 4), FALSE);
    EXPECT_EQ(srb.DataBuffer, kept);
    EXPECT_EQ(TapeClassAllocateSrbBuffer(&srb, 0xFFFFFFFFu), FALSE);
    EXPECT_EQ(srb.DataBuffer, kept);
    EXPECT_EQ(TapeClassAllocateSrbBuffer(&srb, 4), TRUE);
    EXPECT_THAT(
        store.history(),
        ElementsAre(std::pair<ULONG, bool>{4, true}, std::pair<ULONG, bool>{4, false},
                    std::pair<ULONG, bool>{0xFFFFFFFFu, false}, std::pair<ULONG, bool>{4, true}));
}

}  // namespace
