// The driver's requests over iSCSI on tgt, a second SCSI tape implementation: identification,
// readiness, data written and read back byte for byte, the requests tgt refuses, and a
// connection that drops or goes silent under a request.
#include <chrono>
#include <memory>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "block_length.h"
#include "driver/velmdat.h"
#include "host/classdriver.h"
#include "host/iscsi_target.h"
#include "host/readwrite.h"
#include "tgt_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    }
    return bytes;
}

class IscsiTgt : public tgt::WithTgt<> {
protected:
    void SetUp() override
    {
        WithTgt::SetUp();
        if (Started()) {
            ASSERT_TRUE(driver_.Load(&DriverEntry));
        }
    }

    std::unique_ptr<host::DeviceTarget> Connect(int lun)
    {
        host::IscsiOptions options;
        options.url = daemon_.Url(lun);
        std::string error;
        auto transport = host::IscsiTransport::Open(options, error);
        EXPECT_NE(transport, nullptr) << error;
        return transport ? std::make_unique<host::DeviceTarget>(std::move(transport)) : nullptr;
    }

    // LUN 1 claimed and its power-on report taken, as the tool's device start does.
    std::optional<host::Device> Claimed()
    {
        target_ = Connect(1);
        if (!target_) {
            return std::nullopt;
        }
        auto device = host::Device::Discover(driver_, *target_);
        if (device) {
            const uint8_t tur[6] = {};
            size_t moved = 0;
            device->Send(tur, sizeof(tur), host::Direction::None, nullptr, 0, moved);
        }
        return device;
    }

    TAPE_STATUS Space(host::Device& device, ULONG method, LONG count)
    {
        TAPE_SET_POSITION position{};
        position.Method = method;
        position.Offset.LowPart = static_cast<ULONG>(count);
        return device.Run(host::Request::SetPosition, &position);
    }

    TAPE_STATUS Marks(host::Device& device, ULONG type, ULONG count)
    {
        TAPE_WRITE_MARKS marks{};
        marks.Type = type;
        marks.Count = count;
        return device.Run(host::Request::WriteMarks, &marks);
    }

    // File 1: one variable block of 3000 bytes; file 2: four fixed 512-byte blocks; then EOD.
    void WriteTwoFiles(host::Device& device)
    {
        ASSERT_EQ(host::WriteBlocks(device, variable_.data(), variable_.size(), 0).status,
                  TAPE_STATUS_SUCCESS);
        ASSERT_EQ(Marks(device, TAPE_FILEMARKS, 1), TAPE_STATUS_SUCCESS);
        ASSERT_EQ(tgt::SelectBlockLength(device, 512), TAPE_STATUS_SUCCESS);
        ASSERT_EQ(host::WriteBlocks(device, fixed_.data(), fixed_.size(), 512).status,
                  TAPE_STATUS_SUCCESS);
        ASSERT_EQ(Marks(device, TAPE_FILEMARKS, 1), TAPE_STATUS_SUCCESS);
    }

    void ExpectBothFiles(host::Device& device)
    {
        ASSERT_EQ(Space(device, TAPE_REWIND, 0), TAPE_STATUS_SUCCESS);
        // tgt reads a variable block only with its exact length (a longer READ fails ILI).
        std::vector<uint8_t> buffer(variable_.size());
        host::TransferResult read = host::ReadBlocks(device, buffer.data(), buffer.size(), 0);
        ASSERT_EQ(read.status, TAPE_STATUS_SUCCESS);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + read.bytes), variable_);
        EXPECT_EQ(host::ReadBlocks(device, buffer.data(), buffer.size(), 0).status,
                  TAPE_STATUS_FILEMARK_DETECTED);
        buffer.resize(fixed_.size());
        read = host::ReadBlocks(device, buffer.data(), fixed_.size(), 512);
        ASSERT_EQ(read.status, TAPE_STATUS_SUCCESS);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + read.bytes), fixed_);
    }

    host::ClassDriver driver_;
    std::unique_ptr<host::DeviceTarget> target_;
    const std::vector<uint8_t> variable_ = Pattern(3000, 1);
    const std::vector<uint8_t> fixed_ = Pattern(2048, 9);
};

TEST_F(IscsiTgt, ClaimsTheQt7310AndRefusesAnotherTapeUnlessForced)
{
    auto velm = Connect(1);
    ASSERT_NE(velm, nullptr);
    auto device = host::Device::Discover(driver_, *velm);
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(device->ExtensionAs<MINITAPE_EXTENSION>()->DriveType, 13u);

    auto other = Connect(2);
    ASSERT_NE(other, nullptr);
    host::Transcript transcript;
    EXPECT_FALSE(host::Device::Discover(driver_, *other, &transcript).has_value());
    const auto forced = host::Device::Discover(driver_, *other, nullptr, true);
    ASSERT_TRUE(forced.has_value());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(forced->inquiry().VendorId), 8),
              "IET     ");
}

TEST_F(IscsiTgt, FirstCommandAfterLoginSeesThePowerOnReport)
{
    target_ = Connect(1);
    ASSERT_NE(target_, nullptr);
    auto device = host::Device::Discover(driver_, *target_);
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(device->Run(host::Request::GetStatus, nullptr), TAPE_STATUS_BUS_RESET);
    EXPECT_EQ(device->Run(host::Request::GetStatus, nullptr), TAPE_STATUS_SUCCESS);
}

TEST_F(IscsiTgt, WritesSpacesAndReadsBackByteForByte)
{
    auto device = Claimed();
    ASSERT_TRUE(device.has_value());
    WriteTwoFiles(*device);
    ASSERT_EQ(Space(*device, TAPE_REWIND, 0), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(Space(*device, TAPE_SPACE_FILEMARKS, 1), TAPE_STATUS_SUCCESS);
    std::vector<uint8_t> buffer(fixed_.size());
    host::TransferResult read = host::ReadBlocks(*device, buffer.data(), buffer.size(), 512);
    ASSERT_EQ(read.status, TAPE_STATUS_SUCCESS);
    EXPECT_EQ(buffer, fixed_);
    // Spacing to end of data, then appending: the new file lands after the old ones.
    ASSERT_EQ(Space(*device, TAPE_SPACE_END_OF_DATA, 0), TAPE_STATUS_SUCCESS);
    const std::vector<uint8_t> third = Pattern(100, 3);
    ASSERT_EQ(host::WriteBlocks(*device, third.data(), third.size(), 0).status,
              TAPE_STATUS_SUCCESS);
    ASSERT_EQ(Space(*device, TAPE_REWIND, 0), TAPE_STATUS_SUCCESS);
    ASSERT_EQ(Space(*device, TAPE_SPACE_FILEMARKS, 2), TAPE_STATUS_SUCCESS);
    read = host::ReadBlocks(*device, buffer.data(), third.size(), 0);
    ASSERT_EQ(read.status, TAPE_STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + read.bytes), third);
    ExpectBothFiles(*device);
}

TEST_F(IscsiTgt, DriveParametersComeFromTgtsAnswers)
{
    auto device = Claimed();
    ASSERT_TRUE(device.has_value());
    TAPE_GET_DRIVE_PARAMETERS drive{};
    ASSERT_EQ(device->Run(host::Request::GetDriveParameters, &drive), TAPE_STATUS_SUCCESS);
    // READ BLOCK LIMITS 09 10 00 00 00 04: at most 0x100000 bytes, at least 4.
    EXPECT_EQ(drive.MaximumBlockSize, 0x100000u);
    EXPECT_EQ(drive.MinimumBlockSize, 4u);
    EXPECT_EQ(drive.Compression, 0);  // DCC clear: the drive has no compression
}

// Each request whose command tgt refuses ends with a clear status, and the tape keeps every
// byte written before it.
struct RefusedRow {
    const char* name;
    host::Request request;
    ULONG method;  // the record's first field: Method, Type or Operation
    TAPE_STATUS expected;
};

class IscsiTgtRefused : public IscsiTgt, public ::testing::WithParamInterface<RefusedRow> {};

TEST_P(IscsiTgtRefused, EndsWithTheStatusAndLosesNothing)
{
    const RefusedRow& row = GetParam();
    auto device = Claimed();
    ASSERT_TRUE(device.has_value());
    WriteTwoFiles(*device);
    ASSERT_EQ(Space(*device, TAPE_REWIND, 0), TAPE_STATUS_SUCCESS);

    union {
        TAPE_SET_POSITION position;
        TAPE_GET_POSITION where;
        TAPE_ERASE erase;
        TAPE_GET_MEDIA_PARAMETERS media;
        TAPE_SET_MEDIA_PARAMETERS block;
        TAPE_SET_DRIVE_PARAMETERS drive;
        TAPE_CREATE_PARTITION partition;
        TAPE_WRITE_MARKS marks;
    } record{};
    switch (row.request) {
    case host::Request::SetPosition:
        record.position.Method = row.method;
        record.position.Offset.LowPart = 1;
        record.position.Partition = 1;
        break;
    case host::Request::GetPosition:
        record.where.Type = row.method;
        break;
    case host::Request::Erase:
        record.erase.Type = row.method;
        break;
    case host::Request::SetMediaParameters:
        record.block.BlockSize = 512;
        break;
    case host::Request::SetDriveParameters:
        record.drive.Compression = TRUE;
        break;
    case host::Request::CreatePartition:
        record.partition.Method = row.method;
        record.partition.Count = 2;
        record.partition.Size = 1;
        break;
    case host::Request::WriteMarks:
        record.marks.Type = row.method;
        record.marks.Count = 1;
        break;
    default:
        break;
    }
    EXPECT_EQ(device->Run(row.request, &record), row.expected) << row.name;
    ExpectBothFiles(*device);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, IscsiTgtRefused,
    ::testing::Values(RefusedRow{"LOCATE", host::Request::SetPosition, TAPE_LOGICAL_BLOCK,
                                 TAPE_STATUS_INVALID_DEVICE_REQUEST},
                      RefusedRow{"SPACE setmarks", host::Request::SetPosition, TAPE_SPACE_SETMARKS,
                                 TAPE_STATUS_INVALID_DEVICE_REQUEST},
                      RefusedRow{"SPACE sequential filemarks", host::Request::SetPosition,
                                 TAPE_SPACE_SEQUENTIAL_FMKS, TAPE_STATUS_INVALID_DEVICE_REQUEST},
                      RefusedRow{"READ POSITION unknown", host::Request::GetPosition,
                                 TAPE_LOGICAL_POSITION, TAPE_STATUS_INVALID_DEVICE_REQUEST},
                      RefusedRow{"ERASE", host::Request::Erase, TAPE_ERASE_LONG,
                                 TAPE_STATUS_INVALID_DEVICE_REQUEST},
                      RefusedRow{"LOG SENSE", host::Request::GetMediaParameters, 0,
                                 TAPE_STATUS_INVALID_DEVICE_REQUEST},
                      RefusedRow{"MODE SELECT block descriptor", host::Request::SetMediaParameters,
                                 0, TAPE_STATUS_INVALID_DEVICE_REQUEST},
                      RefusedRow{"MODE SELECT compression", host::Request::SetDriveParameters, 0,
                                 TAPE_STATUS_INVALID_DEVICE_REQUEST},
                      RefusedRow{"MODE SENSE partitions", host::Request::CreatePartition,
                                 TAPE_INITIATOR_PARTITIONS, TAPE_STATUS_INVALID_DEVICE_REQUEST}),
    [](const ::testing::TestParamInfo<RefusedRow>& info) {
        std::string name = info.param.name;
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

TEST_F(IscsiTgt, DroppedConnectionFailsTheRequestThenLogsInAnewOnce)
{
    auto device = Claimed();
    ASSERT_TRUE(device.has_value());
    daemon_.Kill();
    const auto start = Clock::now();
    EXPECT_EQ(Space(*device, TAPE_REWIND, 0), TAPE_STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(35));
    EXPECT_NE(target_->lastError().find("127.0.0.1"), std::string::npos) << target_->lastError();

    ASSERT_TRUE(daemon_.Restart()) << daemon_.error();
    // The new login's power-on report reaches the request after it: the drive's state may
    // have changed while the connection was gone.
    EXPECT_EQ(device->Run(host::Request::GetStatus, nullptr), TAPE_STATUS_BUS_RESET);
    EXPECT_EQ(device->Run(host::Request::GetStatus, nullptr), TAPE_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<const host::IscsiTransport&>(target_->transport()).reconnects(), 1);
}

TEST_F(IscsiTgt, SilentTargetEndsTheRequestWithinItsTimeOut)
{
    auto device = Claimed();
    ASSERT_TRUE(device.has_value());
    target_->SetTimeoutCeiling(std::chrono::milliseconds(1500));
    daemon_.Pause();
    const auto start = Clock::now();
    EXPECT_EQ(Space(*device, TAPE_REWIND, 0), TAPE_STATUS_IO_TIMEOUT);
    const auto took = Clock::now() - start;
    daemon_.Resume();
    EXPECT_GE(took, std::chrono::milliseconds(1400));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_NE(target_->lastError().find("no answer"), std::string::npos) << target_->lastError();
}

TEST_F(IscsiTgt, UnreachablePortalAndRefusedLoginSaySo)
{
    struct Row {
        std::string url;
        const char* says;
    };
    const std::string wrongTarget = daemon_.Url(1).replace(daemon_.Url(1).find("qt7310"), 6, "x");
    for (const Row& row :
         {Row{"iscsi://127.0.0.1:1/iqn.1997-08.com.velm:qt7310/1", "cannot reach"},
          Row{wrongTarget, "refused"}, Row{"iscsi://127.0.0.1", "not an iSCSI URL"}}) {
        host::IscsiOptions options;
        options.url = row.url;
        options.loginTimeout = std::chrono::seconds(5);
        std::string error;
        EXPECT_EQ(host::IscsiTransport::Open(options, error), nullptr) << row.url;
        EXPECT_NE(error.find(row.says), std::string::npos) << row.url << ": " << error;
    }
}

}  // namespace
