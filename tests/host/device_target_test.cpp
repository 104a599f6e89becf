// The device targets' shared mapping and the SG_IO translation, with a fake system that
// answers every status combination and every open or ioctl error.
#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/device_target.h"
#include "host/sg_target.h"

namespace {

using host::Direction;
using host::TransportFault;

// One kernel answer to SG_IO, or to opening the device.
struct FakeSystem : host::SgSystem {
    int openResult = 3;
    int versionResult = 0;
    int version = 30536;
    int ioResult = 0;
    sg_io_hdr_t reply{};
    std::vector<unsigned char> sense;
    sg_io_hdr_t seen{};
    int closed = 0;

    int Open(const std::string&, int) override { return openResult; }
    int Ioctl(int, unsigned long request, void* argument) override
    {
        if (request == SG_GET_VERSION_NUM) {
            *static_cast<int*>(argument) = version;
            return versionResult;
        }
        auto* header = static_cast<sg_io_hdr_t*>(argument);
        seen = *header;
        if (ioResult != 0) {
            return ioResult;
        }
        header->status = reply.status;
        header->host_status = reply.host_status;
        header->driver_status = reply.driver_status;
        header->resid = reply.resid;
        header->sb_len_wr = static_cast<unsigned char>(sense.size());
        std::copy(sense.begin(), sense.end(), header->sbp);
        return 0;
    }
    void Close(int) override { ++closed; }
};

struct SgRow {
    const char* name;
    unsigned char status;
    unsigned short host;
    unsigned short driver;
    int resid;
    size_t senseLength;
    bool failed;
    TransportFault fault;
    uint8_t scsiStatus;
    size_t transferred;
    size_t senseKept;
};

class SgAnswers : public ::testing::TestWithParam<SgRow> {};

TEST_P(SgAnswers, BecomeTheStandInsAnswer)
{
    const SgRow& row = GetParam();
    FakeSystem system;
    system.reply.status = row.status;
    system.reply.host_status = row.host;
    system.reply.driver_status = row.driver;
    system.reply.resid = row.resid;
    system.sense.assign(row.senseLength, 0x70);
    std::string error;
    auto transport = host::SgTransport::Open("/dev/nst0", system, error);
    ASSERT_NE(transport, nullptr) << error;
    host::DeviceTarget target(std::move(transport));

    const uint8_t cdb[6] = {0x08, 0x00, 0x00, 0x02, 0x00, 0x00};
    std::vector<uint8_t> data(512);
    host::ScsiCommand command{cdb, 6, Direction::In, data.data(), data.size(), 360};
    const host::ScsiAnswer answer = target.Execute(command);

    EXPECT_EQ(answer.transportFailed, row.failed);
    if (row.failed) {
        EXPECT_EQ(answer.fault, row.fault);
        EXPECT_FALSE(answer.transportError.empty());
        EXPECT_EQ(target.lastError(), answer.transportError);
    } else {
        EXPECT_EQ(answer.status, row.scsiStatus);
        EXPECT_EQ(answer.transferred, row.transferred);
        EXPECT_EQ(answer.sense.size(), row.senseKept);
    }
    // The request block's side, as the kernel saw it.
    EXPECT_EQ(system.seen.interface_id, 'S');
    EXPECT_EQ(system.seen.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(system.seen.cmd_len, 6);
    EXPECT_EQ(system.seen.dxfer_len, 512u);
    EXPECT_EQ(system.seen.timeout, 360000u);
    EXPECT_EQ(system.seen.mx_sb_len, 255);
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, SgAnswers,
    ::testing::Values(
        SgRow{"Good", 0x00, 0, 0, 0, 0, false, {}, 0x00, 512, 0},
        SgRow{"GoodShort", 0x00, 0, 0, 12, 0, false, {}, 0x00, 500, 0},
        SgRow{"CheckWithSense", 0x02, 0, 0x08, 0, 18, false, {}, 0x02, 512, 18},
        SgRow{"CheckWithDataAndResidual", 0x02, 0, 0x08, 312, 18, false, {}, 0x02, 200, 18},
        SgRow{"SenseOnlyInDriverStatus", 0x00, 0, 0x08, 0, 18, false, {}, 0x02, 512, 18},
        SgRow{"GoodDropsStraySense", 0x00, 0, 0x00, 0, 18, false, {}, 0x00, 512, 0},
        SgRow{"Busy", 0x08, 0, 0, 0, 0, false, {}, 0x08, 512, 0},
        SgRow{"ResidualBeyondTransfer", 0x00, 0, 0, 600, 0, true, TransportFault::Garbled, 0, 0, 0},
        SgRow{"NoConnect", 0x00, 0x01, 0, 0, 0, true, TransportFault::Lost, 0, 0, 0},
        SgRow{"BusBusy", 0x00, 0x02, 0, 0, 0, true, TransportFault::Busy, 0, 0, 0},
        SgRow{"HostTimeOut", 0x00, 0x03, 0, 0, 0, true, TransportFault::TimedOut, 0, 0, 0},
        SgRow{"Reset", 0x00, 0x08, 0, 0, 0, true, TransportFault::Reset, 0, 0, 0},
        SgRow{"Parity", 0x00, 0x06, 0, 0, 0, true, TransportFault::Garbled, 0, 0, 0},
        SgRow{"TransportDisrupted", 0x00, 0x0E, 0, 0, 0, true, TransportFault::Lost, 0, 0, 0},
        SgRow{"UnknownHost", 0x00, 0x7F, 0, 0, 0, true, TransportFault::Garbled, 0, 0, 0},
        SgRow{"HostBeatsSense", 0x02, 0x07, 0x08, 0, 18, true, TransportFault::Garbled, 0, 0, 0},
        SgRow{"DriverTimeOut", 0x00, 0, 0x06, 0, 0, true, TransportFault::TimedOut, 0, 0, 0},
        SgRow{"DriverBusy", 0x00, 0, 0x01, 0, 0, true, TransportFault::Busy, 0, 0, 0},
        SgRow{"DriverErrorWithoutSense", 0x00, 0, 0x04, 0, 0, true, TransportFault::Garbled, 0, 0,
              0},
        SgRow{"DriverErrorWithSense", 0x02, 0, 0x14, 0, 18, false, {}, 0x02, 512, 18}),
    [](const ::testing::TestParamInfo<SgRow>& info) { return std::string(info.param.name); });

struct ErrnoRow {
    const char* name;
    bool onOpen;
    int error;
    const char* says;
};

class SgOpenErrors : public ::testing::TestWithParam<ErrnoRow> {};

TEST_P(SgOpenErrors, SayWhatIsWrong)
{
    const ErrnoRow& row = GetParam();
    FakeSystem system;
    (row.onOpen ? system.openResult : system.versionResult) = -row.error;
    std::string error;
    EXPECT_EQ(host::SgTransport::Open("/dev/sg0", system, error), nullptr);
    EXPECT_NE(error.find(row.says), std::string::npos) << error;
    EXPECT_EQ(system.closed, row.onOpen ? 0 : 1);  // what was opened is closed again
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, SgOpenErrors,
    ::testing::Values(ErrnoRow{"OpenEacces", true, EACCES, "permission denied"},
                      ErrnoRow{"OpenEbusy", true, EBUSY, "busy"},
                      ErrnoRow{"OpenEnoent", true, ENOENT, "no such device"},
                      ErrnoRow{"OpenEnxio", true, ENXIO, "no device answers"},
                      ErrnoRow{"IoctlEnotty", false, ENOTTY, "not a SCSI generic"},
                      ErrnoRow{"IoctlEinval", false, EINVAL, "not a SCSI generic"},
                      ErrnoRow{"IoctlEacces", false, EACCES, "permission denied"}),
    [](const ::testing::TestParamInfo<ErrnoRow>& info) { return std::string(info.param.name); });

TEST(SgTransport, FailedIoctlAndOldDriverAreTransportErrors)
{
    FakeSystem old;
    old.version = 20134;
    std::string error;
    EXPECT_EQ(host::SgTransport::Open("/dev/sg0", old, error), nullptr);
    EXPECT_NE(error.find("too old"), std::string::npos) << error;

    FakeSystem busy;
    busy.ioResult = -EBUSY;
    auto transport = host::SgTransport::Open("/dev/sg0", busy, error);
    ASSERT_NE(transport, nullptr);
    host::DeviceTarget target(std::move(transport));
    const uint8_t cdb[6] = {};
    const host::ScsiAnswer answer = target.Execute({cdb, 6, Direction::None, nullptr, 0, 0});
    EXPECT_TRUE(answer.transportFailed);
    EXPECT_NE(answer.transportError.find("busy"), std::string::npos);
    EXPECT_EQ(busy.seen.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(busy.seen.timeout, 1000u);  // a zero time-out never means "wait forever"
}

struct WireRow {
    const char* name;
    size_t cdbLength;
    Direction direction;
    bool withData;
    size_t length;
    uint32_t seconds;
    int64_t ceilingMs;
    bool accepted;
    Direction sent;
    size_t sentLength;
    int64_t timeoutMs;
};

class Wire : public ::testing::TestWithParam<WireRow> {};

TEST_P(Wire, ChecksAndBoundsTheBlock)
{
    const WireRow& row = GetParam();
    uint8_t cdb[17] = {};
    uint8_t data[8] = {};
    host::ScsiCommand command{
        cdb, row.cdbLength, row.direction, row.withData ? data : nullptr, row.length, row.seconds};
    host::WireCommand wire;
    std::string error;
    ASSERT_EQ(host::ToWire(command, std::chrono::milliseconds(row.ceilingMs), wire, error),
              row.accepted)
        << error;
    if (row.accepted) {
        EXPECT_EQ(wire.direction, row.sent);
        EXPECT_EQ(wire.length, row.sentLength);
        EXPECT_EQ(wire.timeout.count(), row.timeoutMs);
    } else {
        EXPECT_FALSE(error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, Wire,
    ::testing::Values(
        WireRow{"Six", 6, Direction::In, true, 8, 360, 0, true, Direction::In, 8, 360000},
        WireRow{"Sixteen", 16, Direction::Out, true, 8, 5, 0, true, Direction::Out, 8, 5000},
        WireRow{"Empty", 0, Direction::None, false, 0, 1, 0, false, {}, 0, 0},
        WireRow{"Seventeen", 17, Direction::None, false, 0, 1, 0, false, {}, 0, 0},
        WireRow{"LengthWithoutBuffer", 6, Direction::In, false, 8, 1, 0, false, {}, 0, 0},
        WireRow{"DirectionWithoutLength", 6, Direction::In, true, 0, 1, 0, true, Direction::None, 0,
                1000},
        WireRow{"ZeroTimeOut", 6, Direction::None, false, 0, 0, 0, true, Direction::None, 0, 1000},
        WireRow{"Ceiling", 6, Direction::None, false, 0, 360, 1500, true, Direction::None, 0,
                1500}),
    [](const ::testing::TestParamInfo<WireRow>& info) { return std::string(info.param.name); });

TEST(Identity, ReadsTheInquiryFieldsAsSent)
{
    std::vector<uint8_t> inquiry(36, ' ');
    inquiry[0] = 0x01;
    const std::string text = "IET     VIRTUAL-TAPE    0001";
    std::copy(text.begin(), text.end(), inquiry.begin() + 8);
    inquiry[20] = 0x07;  // unprintable bytes are shown, not passed through
    const host::Identity found = host::IdentityFromInquiry(inquiry.data(), inquiry.size());
    EXPECT_EQ(found.deviceType, 1);
    EXPECT_EQ(host::IdentityText(found), "'IET' 'VIRT?AL-TAPE' rev '0001'");
    // A short answer gives what it holds.
    EXPECT_EQ(host::IdentityText(host::IdentityFromInquiry(inquiry.data(), 12)), "'IET' '' rev ''");
}

}  // namespace
