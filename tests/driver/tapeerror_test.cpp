// Refinement of the class driver's status from the drive's sense data.
#include "tests/driver/support.h"

namespace {

using namespace drvtest;

struct ErrorRow {
    TAPE_STATUS in;
    uint8_t byte2;  // sense key in bits 3-0, mark and length flags above
    uint8_t asc;
    uint8_t ascq;
    TAPE_STATUS out;
};

void PrintTo(const ErrorRow& r, std::ostream* os)
{
    *os << "status " << r.in << " byte2 0x" << std::hex << int(r.byte2) << " asc 0x" << int(r.asc)
        << " ascq 0x" << int(r.ascq);
}

class TapeErrorTable : public ::testing::TestWithParam<ErrorRow> {};

TEST_P(TapeErrorTable, RefinesOnlyItsTwoConditions)
{
    const ErrorRow& row = GetParam();
    // Sense of exactly 18 bytes on the heap: a read past it shows under the sanitizer.
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = row.byte2;
    sense[7] = 10;
    sense[12] = row.asc;
    sense[13] = row.ascq;
    SCSI_REQUEST_BLOCK srb{};
    srb.SenseInfoBuffer = sense.data();
    srb.SenseInfoBufferLength = 18;
    MINITAPE_EXTENSION ext{13, 0};
    TAPE_STATUS status = row.in;
    TapeError(&ext, &srb, &status);
    EXPECT_EQ(status, row.out);
    EXPECT_EQ(ext.DriveType, 13u);
    EXPECT_EQ(ext.CurrentPartition, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sense, TapeErrorTable,
    ::testing::Values(
        // Bus reset with medium not present: the tape is gone.
        ErrorRow{TAPE_STATUS_BUS_RESET, 0x06, 0x3A, 0x00, TAPE_STATUS_NO_MEDIA},
        ErrorRow{TAPE_STATUS_BUS_RESET, 0x02, 0x3A, 0x00, TAPE_STATUS_NO_MEDIA},
        ErrorRow{TAPE_STATUS_BUS_RESET, 0x0B, 0x3A, 0x00, TAPE_STATUS_NO_MEDIA},
        ErrorRow{TAPE_STATUS_BUS_RESET, 0x06, 0x3A, 0x01, TAPE_STATUS_BUS_RESET},
        ErrorRow{TAPE_STATUS_BUS_RESET, 0x06, 0x3B, 0x00, TAPE_STATUS_BUS_RESET},
        ErrorRow{TAPE_STATUS_BUS_RESET, 0x06, 0x29, 0x00, TAPE_STATUS_BUS_RESET},
        ErrorRow{TAPE_STATUS_BUS_RESET, 0x06, 0x00, 0x3A, TAPE_STATUS_BUS_RESET},
        // Aborted command on a device error: the drive was not ready, whatever ASC says.
        ErrorRow{TAPE_STATUS_BUS_RESET, 0x0B, 0x47, 0x00, TAPE_STATUS_BUS_RESET},
        ErrorRow{TAPE_STATUS_IO_DEVICE_ERROR, 0x0B, 0x00, 0x00, TAPE_STATUS_DEVICE_NOT_READY},
        ErrorRow{TAPE_STATUS_IO_DEVICE_ERROR, 0x0B, 0x47, 0x00, TAPE_STATUS_DEVICE_NOT_READY},
        ErrorRow{TAPE_STATUS_IO_DEVICE_ERROR, 0x0B, 0x3A, 0x00, TAPE_STATUS_DEVICE_NOT_READY},
        ErrorRow{TAPE_STATUS_IO_DEVICE_ERROR, 0xEB, 0x4E, 0x00, TAPE_STATUS_DEVICE_NOT_READY},
        ErrorRow{TAPE_STATUS_IO_DEVICE_ERROR, 0x8B, 0x00, 0x00, TAPE_STATUS_DEVICE_NOT_READY},
        ErrorRow{TAPE_STATUS_IO_DEVICE_ERROR, 0x1B, 0x00, 0x00, TAPE_STATUS_DEVICE_NOT_READY},
        ErrorRow{TAPE_STATUS_IO_DEVICE_ERROR, 0x04, 0x44, 0x00, TAPE_STATUS_IO_DEVICE_ERROR},
        ErrorRow{TAPE_STATUS_IO_DEVICE_ERROR, 0x03, 0x3A, 0x00, TAPE_STATUS_IO_DEVICE_ERROR},
        ErrorRow{TAPE_STATUS_IO_DEVICE_ERROR, 0x0A, 0x00, 0x00, TAPE_STATUS_IO_DEVICE_ERROR},
        ErrorRow{TAPE_STATUS_IO_DEVICE_ERROR, 0x0F, 0x00, 0x00, TAPE_STATUS_IO_DEVICE_ERROR},
        ErrorRow{TAPE_STATUS_IO_DEVICE_ERROR, 0xB0, 0x00, 0x00, TAPE_STATUS_IO_DEVICE_ERROR},
        // Every other status passes, whatever the sense says.
        ErrorRow{TAPE_STATUS_NO_MEDIA, 0x0B, 0x3A, 0x00, TAPE_STATUS_NO_MEDIA},
        ErrorRow{TAPE_STATUS_DEVICE_NOT_READY, 0x06, 0x3A, 0x00, TAPE_STATUS_DEVICE_NOT_READY},
        ErrorRow{TAPE_STATUS_DEVICE_NOT_READY, 0x0B, 0x00, 0x00, TAPE_STATUS_DEVICE_NOT_READY},
        ErrorRow{TAPE_STATUS_SUCCESS, 0x0B, 0x3A, 0x00, TAPE_STATUS_SUCCESS},
        ErrorRow{TAPE_STATUS_INVALID_DEVICE_REQUEST, 0x0B, 0x3A, 0x00,
                 TAPE_STATUS_INVALID_DEVICE_REQUEST},
        ErrorRow{TAPE_STATUS_MEDIA_CHANGED, 0x06, 0x3A, 0x00, TAPE_STATUS_MEDIA_CHANGED},
        ErrorRow{TAPE_STATUS_DATA_OVERRUN, 0x0B, 0x00, 0x00, TAPE_STATUS_DATA_OVERRUN},
        ErrorRow{TAPE_STATUS_DEVICE_DATA_ERROR, 0x0B, 0x3A, 0x00, TAPE_STATUS_DEVICE_DATA_ERROR}));

// Sense that the request block does not deliver is never read: the status stays.
struct ShortSenseRow {
    TAPE_STATUS in;
    size_t length;  // bytes delivered, and the length the block claims
    TAPE_STATUS out;
};

class TapeErrorShortSense : public ::testing::TestWithParam<ShortSenseRow> {};

TEST_P(TapeErrorShortSense, ReadsOnlyDeliveredBytes)
{
    const ShortSenseRow& row = GetParam();
    // A full sense pattern, cut to the delivered length in its own heap block.
    const Bytes full{0x70, 0, 0x0B, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x00, 0, 0, 0, 0};
    std::vector<uint8_t> sense(full.begin(), full.begin() + row.length);
    SCSI_REQUEST_BLOCK srb{};
    srb.SenseInfoBuffer = row.length ? sense.data() : nullptr;
    srb.SenseInfoBufferLength = static_cast<UCHAR>(row.length);
    TAPE_STATUS status = row.in;
    TapeError(nullptr, &srb, &status);
    EXPECT_EQ(status, row.out);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, TapeErrorShortSense,
    ::testing::Values(ShortSenseRow{TAPE_STATUS_BUS_RESET, 0, TAPE_STATUS_BUS_RESET},
                      ShortSenseRow{TAPE_STATUS_BUS_RESET, 12, TAPE_STATUS_BUS_RESET},
                      ShortSenseRow{TAPE_STATUS_BUS_RESET, 13, TAPE_STATUS_BUS_RESET},
                      ShortSenseRow{TAPE_STATUS_BUS_RESET, 14, TAPE_STATUS_NO_MEDIA},
                      ShortSenseRow{TAPE_STATUS_IO_DEVICE_ERROR, 0, TAPE_STATUS_IO_DEVICE_ERROR},
                      ShortSenseRow{TAPE_STATUS_IO_DEVICE_ERROR, 2, TAPE_STATUS_IO_DEVICE_ERROR},
                      ShortSenseRow{TAPE_STATUS_IO_DEVICE_ERROR, 3, TAPE_STATUS_DEVICE_NOT_READY}));

TEST(TapeError, NoSenseBufferLeavesStatusThoughLengthClaimsBytes)
{
    SCSI_REQUEST_BLOCK srb{};
    srb.SenseInfoBuffer = nullptr;
    srb.SenseInfoBufferLength = 18;
    for (TAPE_STATUS s : {TAPE_STATUS_BUS_RESET, TAPE_STATUS_IO_DEVICE_ERROR}) {
        TAPE_STATUS status = s;
        TapeError(nullptr, &srb, &status);
        EXPECT_EQ(status, s);
    }
}

// The class driver's sense table, then TapeError: what a failed command ends a request with.
class TapeErrorThroughHost : public HostFixture {};

TEST_F(TapeErrorThroughHost, UnitAttentionMediumNotPresentEndsWithNoMedia)
{
    target.Push(host::Reply::Check(0x06, 0x3A, 0x00));
    TAPE_ERASE erase{TAPE_ERASE_LONG, 0};
    EXPECT_EQ(Run(host::Request::Erase, &erase), TAPE_STATUS_NO_MEDIA);
}

TEST_F(TapeErrorThroughHost, AbortedCommandEndsWithDeviceNotReady)
{
    target.Push(host::Reply::Check(0x0B, 0x47, 0x00));
    TAPE_ERASE erase{TAPE_ERASE_LONG, 0};
    EXPECT_EQ(Run(host::Request::Erase, &erase), TAPE_STATUS_DEVICE_NOT_READY);
}

}  // namespace
