// Sense translation as a table: fixed-format sense in, the class driver's status out, and
// the sense it must not trust.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "host/sense.h"
#include "host/transcript.h"

namespace {

std::vector<uint8_t> Fixed(uint8_t byte2, uint8_t asc, uint8_t ascq)
{
    return {0x70, 0x00, byte2, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq, 0, 0, 0, 0};
}

struct SenseRow {
    const char* name;
    std::vector<uint8_t> sense;
    TAPE_STATUS expected;
};
class TranslateSense : public ::testing::TestWithParam<SenseRow> {};

TEST_P(TranslateSense, GivesTheStatus)
{
    const SenseRow& row = GetParam();
    EXPECT_EQ(host::TranslateSense(row.sense.data(), row.sense.size()), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fixed, TranslateSense,
    ::testing::Values(
        SenseRow{"NotReadyNoMedium", Fixed(0x02, 0x3A, 0x00), TAPE_STATUS_NO_MEDIA},
        SenseRow{"NotReadyNoMediumTrayOpen", Fixed(0x02, 0x3A, 0x02), TAPE_STATUS_NO_MEDIA},
        SenseRow{"NotReadyBecoming", Fixed(0x02, 0x04, 0x01), TAPE_STATUS_DEVICE_NOT_READY},
        SenseRow{"UnitAttentionReset", Fixed(0x06, 0x29, 0x00), TAPE_STATUS_BUS_RESET},
        SenseRow{"UnitAttentionMediumChanged", Fixed(0x06, 0x28, 0x00), TAPE_STATUS_MEDIA_CHANGED},
        SenseRow{"UnitAttentionMediumRemoved", Fixed(0x06, 0x3A, 0x00), TAPE_STATUS_BUS_RESET},
        SenseRow{"UnitAttentionModeChanged", Fixed(0x06, 0x2A, 0x01), TAPE_STATUS_BUS_RESET},
        SenseRow{"IllegalRequest", Fixed(0x05, 0x24, 0x00), TAPE_STATUS_INVALID_DEVICE_REQUEST},
        SenseRow{"DataProtect", Fixed(0x07, 0x27, 0x00), TAPE_STATUS_MEDIA_WRITE_PROTECTED},
        SenseRow{"BlankCheckEndOfData", Fixed(0x08, 0x00, 0x05), TAPE_STATUS_NO_DATA_DETECTED},
        SenseRow{"MediumError", Fixed(0x03, 0x11, 0x00), TAPE_STATUS_DEVICE_DATA_ERROR},
        SenseRow{"HardwareError", Fixed(0x04, 0x44, 0x00), TAPE_STATUS_IO_DEVICE_ERROR},
        SenseRow{"AbortedCommand", Fixed(0x0B, 0x47, 0x00), TAPE_STATUS_IO_DEVICE_ERROR},
        SenseRow{"VolumeOverflow", Fixed(0x4D, 0x00, 0x02), TAPE_STATUS_EOM_OVERFLOW},
        SenseRow{"Filemark", Fixed(0x80, 0x00, 0x01), TAPE_STATUS_FILEMARK_DETECTED},
        SenseRow{"Setmark", Fixed(0x80, 0x00, 0x03), TAPE_STATUS_SETMARK_DETECTED},
        SenseRow{"EndOfMedium", Fixed(0x40, 0x00, 0x02), TAPE_STATUS_END_OF_MEDIA},
        SenseRow{"BeginningOfMedium", Fixed(0x40, 0x00, 0x04), TAPE_STATUS_BEGINNING_OF_MEDIA},
        SenseRow{"IncorrectLength", Fixed(0x20, 0x00, 0x00), TAPE_STATUS_INVALID_BLOCK_LENGTH},
        SenseRow{"FilemarkBeforeIli", Fixed(0xA0, 0x00, 0x01), TAPE_STATUS_FILEMARK_DETECTED},
        SenseRow{"RecoveredFilemark", Fixed(0x81, 0x00, 0x01), TAPE_STATUS_FILEMARK_DETECTED},
        SenseRow{"RecoveredError", Fixed(0x01, 0x5D, 0x00), TAPE_STATUS_SUCCESS},
        SenseRow{"NoSenseWithoutBits", Fixed(0x00, 0x00, 0x00), TAPE_STATUS_IO_DEVICE_ERROR},
        // The key decides over the mark bits for every key but NO SENSE and RECOVERED ERROR.
        SenseRow{"MediumErrorWithFilemark", Fixed(0x83, 0x11, 0x00), TAPE_STATUS_DEVICE_DATA_ERROR},
        SenseRow{"BlankCheckWithEom", Fixed(0x48, 0x00, 0x05), TAPE_STATUS_NO_DATA_DETECTED},
        SenseRow{"Deferred",
                 {0x71, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0, 0, 0, 0, 0},
                 TAPE_STATUS_NO_MEDIA},
        SenseRow{"ValidBitSet",
                 {0xF0, 0, 0x80, 0, 0, 0, 1, 10, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0},
                 TAPE_STATUS_FILEMARK_DETECTED},
        SenseRow{"VendorKey", Fixed(0x09, 0x00, 0x00), TAPE_STATUS_IO_DEVICE_ERROR}),
    [](const ::testing::TestParamInfo<SenseRow>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Untrusted, TranslateSense,
    ::testing::Values(
        SenseRow{"Empty", {}, TAPE_STATUS_IO_DEVICE_ERROR},
        SenseRow{"TwoBytes", {0x70, 0x00}, TAPE_STATUS_IO_DEVICE_ERROR},
        SenseRow{"ClaimsMoreThanArrived",
                 {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0},
                 TAPE_STATUS_IO_DEVICE_ERROR},
        SenseRow{
            "DescriptorFormat", {0x72, 0x02, 0x3A, 0x00, 0, 0, 0, 0}, TAPE_STATUS_IO_DEVICE_ERROR},
        SenseRow{"UnknownResponseCode",
                 {0x00, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0, 0, 0, 0, 0},
                 TAPE_STATUS_IO_DEVICE_ERROR},
        // Short but honest: key only, no ASC delivered, so no ASC-specific row applies.
        SenseRow{"KeyOnly", {0x70, 0x00, 0x02}, TAPE_STATUS_DEVICE_NOT_READY},
        SenseRow{"NoAscDelivered",
                 {0x70, 0, 0x02, 0, 0, 0, 0, 4, 0, 0, 0, 0},
                 TAPE_STATUS_DEVICE_NOT_READY},
        SenseRow{"LongerThanClaimed",
                 {0x70, 0, 0x02, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x3A, 0x00, 0, 0, 0, 0},
                 TAPE_STATUS_NO_MEDIA}),
    [](const ::testing::TestParamInfo<SenseRow>& info) { return info.param.name; });

// What the tool learns of the command that ended a request: the last sense of a failed
// request, read once, and nothing of a request that succeeded whatever its steps met.
struct FinalRow {
    const char* name;
    TAPE_STATUS final;
    std::vector<std::vector<uint8_t>> senses;  // one answer each, in order; empty: GOOD
    bool filemark;
    bool endOfMedium;
    bool incorrectLength;
    uint8_t key;
    int asc;  // -1: not delivered
    std::optional<int32_t> information;
};
class FinalSense : public ::testing::TestWithParam<FinalRow> {};

std::vector<uint8_t> WithInformation(std::vector<uint8_t> sense, int32_t information)
{
    sense[0] |= 0x80;
    const auto raw = static_cast<uint32_t>(information);
    sense[3] = static_cast<uint8_t>(raw >> 24);
    sense[4] = static_cast<uint8_t>(raw >> 16);
    sense[5] = static_cast<uint8_t>(raw >> 8);
    sense[6] = static_cast<uint8_t>(raw);
    return sense;
}

TEST_P(FinalSense, ReadsTheSenseThatEndedTheRequest)
{
    const FinalRow& row = GetParam();
    host::Transcript transcript;
    transcript.Begin("SetPosition");
    for (const auto& sense : row.senses) {
        host::TranscriptEvent event;
        event.kind = host::TranscriptEvent::Kind::Answer;
        event.answer.sense = sense;
        transcript.Add(std::move(event));
    }
    transcript.End(row.final);
    const host::SenseFacts facts = host::FinalSense(transcript);
    EXPECT_EQ(facts.filemark, row.filemark);
    EXPECT_EQ(facts.endOfMedium, row.endOfMedium);
    EXPECT_EQ(facts.incorrectLength, row.incorrectLength);
    EXPECT_EQ(facts.key, row.key);
    EXPECT_EQ(facts.asc.has_value(), row.asc >= 0);
    if (row.asc >= 0 && facts.asc) {
        EXPECT_EQ(*facts.asc, row.asc);
    }
    EXPECT_EQ(facts.information, row.information);
}

INSTANTIATE_TEST_SUITE_P(Requests, FinalSense,
                         ::testing::Values(FinalRow{"FilemarkWithResidue",
                                                    TAPE_STATUS_FILEMARK_DETECTED,
                                                    {WithInformation(Fixed(0x80, 0x00, 0x01), 3)},
                                                    true,
                                                    false,
                                                    false,
                                                    0x0,
                                                    0x00,
                                                    3},
                                           FinalRow{"ReverseSpaceAtBeginning",
                                                    TAPE_STATUS_BEGINNING_OF_MEDIA,
                                                    {WithInformation(Fixed(0x40, 0x00, 0x04), -2)},
                                                    false,
                                                    true,
                                                    false,
                                                    0x0,
                                                    0x00,
                                                    -2},
                                           FinalRow{"LongerBlockWithoutValidResidue",
                                                    TAPE_STATUS_INVALID_BLOCK_LENGTH,
                                                    {Fixed(0x20, 0x00, 0x00)},
                                                    false,
                                                    false,
                                                    true,
                                                    0x0,
                                                    0x00,
                                                    std::nullopt},
                                           FinalRow{"LastSenseWinsOverAGoodCommandAfterIt",
                                                    TAPE_STATUS_DEVICE_DATA_ERROR,
                                                    {Fixed(0x06, 0x29, 0x00),
                                                     WithInformation(Fixed(0x03, 0x11, 0x00), 7),
                                                     {}},
                                                    false,
                                                    false,
                                                    false,
                                                    0x3,
                                                    0x11,
                                                    7},
                                           FinalRow{"SucceededRequestTellsNothing",
                                                    TAPE_STATUS_SUCCESS,
                                                    {WithInformation(Fixed(0x80, 0x00, 0x01), 1)},
                                                    false,
                                                    false,
                                                    false,
                                                    0x0,
                                                    -1,
                                                    std::nullopt},
                                           FinalRow{"SenseWithoutAscDeliversNone",
                                                    TAPE_STATUS_IO_DEVICE_ERROR,
                                                    {{0x70, 0x00, 0x04}},
                                                    false,
                                                    false,
                                                    false,
                                                    0x4,
                                                    -1,
                                                    std::nullopt}),
                         [](const ::testing::TestParamInfo<FinalRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(TranslateSenseNull, NullIsADeviceError)
{
    EXPECT_EQ(host::TranslateSense(nullptr, 18), TAPE_STATUS_IO_DEVICE_ERROR);
}

}  // namespace
