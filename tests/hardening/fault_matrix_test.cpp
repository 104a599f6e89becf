// Fault-injection matrix: every request runs against a drive that answers every command well,
// except one chosen command that fails in one chosen way, or one chosen buffer allocation
// that is refused. Each cell gives the request's final status and the current partition it
// must leave; the record and the commands sent are checked where the outcome depends on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/velmdat.h"
#include "host/classdriver.h"
#include "host/target.h"
#include "host/transcript.h"

namespace {

using host::Request;
using Bytes = std::vector<uint8_t>;

// How the chosen command fails, and the status each way ends up as once the class driver has
// translated the sense and TapeError has refined it.
enum Fault : size_t {
    kNoMedia,       // NOT READY, 3A/00                       -> NO_MEDIA (17)
    kIllegal,       // ILLEGAL REQUEST, 24/00                 -> INVALID_DEVICE_REQUEST (6)
    kNotReady,      // NOT READY, 04/01                       -> DEVICE_NOT_READY (20)
    kHardware,      // HARDWARE ERROR, 44/00                  -> IO_DEVICE_ERROR (18)
    kAborted,       // ABORTED COMMAND: IO_DEVICE_ERROR, refined to DEVICE_NOT_READY (20)
    kResetNoMedia,  // UNIT ATTENTION 3A/00: BUS_RESET, refined to NO_MEDIA (17)
    kBusy,          // BUSY status                            -> DEVICE_BUSY (28)
    kShort,         // GOOD with nothing transferred: DATA_OVERRUN (27) where errors come back
    kFaults
};
const char* const kFaultNames[kFaults] = {"NoMedia", "Illegal",      "NotReady", "Hardware",
                                          "Aborted", "ResetNoMedia", "Busy",     "Short"};

struct Cell {
    TAPE_STATUS status;
    ULONG partition;  // CurrentPartition afterwards
};
using Cells = std::array<Cell, kFaults>;

// A command whose failure ends the request with the refined status, the partition untouched;
// only a short answer (which is no failure there) has an outcome of its own.
Cells Ends(ULONG partition, Cell shortAnswer)
{
    return {{{TAPE_STATUS_NO_MEDIA, partition},
             {TAPE_STATUS_INVALID_DEVICE_REQUEST, partition},
             {TAPE_STATUS_DEVICE_NOT_READY, partition},
             {TAPE_STATUS_IO_DEVICE_ERROR, partition},
             {TAPE_STATUS_DEVICE_NOT_READY, partition},
             {TAPE_STATUS_NO_MEDIA, partition},
             {TAPE_STATUS_DEVICE_BUSY, partition},
             shortAnswer}};
}

// A drive holding a partitioned tape (second partition active), block length 512, compression
// capable and on. Every command is answered well unless it is the one chosen to fail.
class MatrixDrive : public host::Target {
public:
    host::ScsiAnswer Execute(const host::ScsiCommand& command) override
    {
        const uint8_t opcode = command.cdb[0];
        host::ScsiAnswer answer;
        if (opcode != 0x12 && failAt && count_++ == *failAt) {
            injected = true;
            return Failure();
        }
        if (opcode != 0x12) {
            opcodes.push_back(opcode);
        }
        if (command.direction == host::Direction::In) {
            const Bytes data = AnswerFor(command.cdb);
            answer.transferred = std::min(data.size(), command.dataLength);
            std::copy_n(data.begin(), answer.transferred, command.data);
        } else if (command.direction == host::Direction::Out) {
            answer.transferred = command.dataLength;
        }
        return answer;
    }

    std::optional<size_t> failAt;  // 0-based among the commands of the request
    Fault fault = kNoMedia;
    bool injected = false;
    std::vector<uint8_t> opcodes;  // commands answered well, in order

private:
    host::ScsiAnswer Failure() const
    {
        host::ScsiAnswer answer;
        auto check = [&answer](uint8_t key, uint8_t asc, uint8_t ascq) {
            answer.status = host::kScsiCheckCondition;
            answer.sense = {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq, 0, 0, 0, 0};
        };
        switch (fault) {
        case kNoMedia:
            check(0x02, 0x3A, 0x00);
            break;
        case kIllegal:
            check(0x05, 0x24, 0x00);
            break;
        case kNotReady:
            check(0x02, 0x04, 0x01);
            break;
        case kHardware:
            check(0x04, 0x44, 0x00);
            break;
        case kAborted:
            check(0x0B, 0x00, 0x00);
            break;
        case kResetNoMedia:
            check(0x06, 0x3A, 0x00);
            break;
        case kBusy:
            answer.status = host::kScsiBusy;
            break;
        default:  // kShort: good status, nothing moved
            break;
        }
        return answer;
    }

    static Bytes AnswerFor(const uint8_t* cdb)
    {
        switch (cdb[0]) {
        case 0x12:  // INQUIRY
            return {0x01, 0x80, 0x02, 0x02, 0x1F, 0,   0,   0,   'V', 'E', 'L', 'M',
                    ' ',  ' ',  ' ',  ' ',  'Q',  'T', '-', '7', '3', '1', '0', ' ',
                    ' ',  ' ',  ' ',  ' ',  ' ',  ' ', ' ', ' ', '0', '1', '0', '0'};
        case 0x1A:  // MODE SENSE(6)
            switch (cdb[2] & 0x3F) {
            case 0x10:  // device configuration: active partition 1 (the second)
                return {0x13, 0, 0x10, 0, 0x10, 0x0E, 0, 1, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0};
            case 0x0F:  // data compression: DCE and DCC set
                return {0x13, 0,    0x10, 0, 0x0F, 0x0E, 0xC0, 0x80, 0, 0,
                        0,    0x20, 0,    0, 0,    0x20, 0,    0,    0, 0};
            default:  // medium partition, one additional partition defined
                if ((cdb[1] & 0x08) != 0) {
                    return {0x0D, 0, 0x10, 0, 0x11, 0x08, 1, 1, 0x30, 3, 0, 0, 0x01, 0x2C, 0, 0};
                }
                return {0x17, 0,    0x10, 8, 0x24, 0, 0, 0, 0,    0x00, 0x02, 0x00,
                        0x11, 0x0A, 1,    1, 0x30, 3, 0, 0, 0x01, 0x2C, 0,    0};
            }
        case 0x4D:  // LOG SENSE, capacity: remaining 1000 + 0, maximum 2000 + 0 (units of 1 KiB)
            return {0x31, 0, 0, 0x20, 0, 1, 0, 4, 0,    0,    0x03, 0xE8, 0, 2, 0, 4, 0, 0,
                    0,    0, 0, 3,    0, 4, 0, 0, 0x07, 0xD0, 0,    4,    0, 4, 0, 0, 0, 0};
        case 0x05:  // READ BLOCK LIMITS: 1..61440
            return {0x00, 0x00, 0xF0, 0x00, 0x00, 0x01};
        case 0x34:  // READ POSITION: partition 1, block 7
            return {0, 1, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        default:
            return {};
        }
    }

    size_t count_ = 0;
};

// One request as the matrix runs it: its record, the partition the driver starts from, what a
// run without faults gives, and the calls on which CurrentPartition may change.
struct RequestSetup {
    const char* name;
    Request request;
    std::function<Bytes()> record;
    ULONG startPartition;
    TAPE_STATUS cleanStatus;
    ULONG cleanPartition;
    std::vector<uint8_t> cleanOpcodes;  // readiness checks (0x00) included
    std::vector<ULONG> partitionCalls;  // calls that may write CurrentPartition; 99 = last
};

template <typename T>
Bytes RecordBytes(const T& record)
{
    Bytes bytes(sizeof(T));
    std::memcpy(bytes.data(), &record, sizeof(T));
    return bytes;
}

constexpr ULONG kLastCall = 99;

const RequestSetup& SetupNamed(const std::string& name)
{
    // clang-format off
    static const std::vector<RequestSetup> setups = {
        {"CreateTwo", Request::CreatePartition,
         [] { return RecordBytes(TAPE_CREATE_PARTITION{2, 2, 300}); }, 0, TAPE_STATUS_SUCCESS, 2,
         {0x00, 0x1A, 0x15, 0x1A}, {kLastCall}},
        {"CreateOne", Request::CreatePartition,
         [] { return RecordBytes(TAPE_CREATE_PARTITION{0, 0, 0}); }, 2, TAPE_STATUS_SUCCESS, 0,
         {0x00, 0x1A, 0x15}, {kLastCall}},
        {"Erase", Request::Erase, [] { return RecordBytes(TAPE_ERASE{1, 0}); }, 3,
         TAPE_STATUS_SUCCESS, 3, {0x19}, {}},
        {"GetDrive", Request::GetDriveParameters,
         [] { return RecordBytes(TAPE_GET_DRIVE_PARAMETERS{}); }, 3, TAPE_STATUS_SUCCESS, 3,
         {0x1A, 0x1A, 0x05}, {}},
        {"GetMedia", Request::GetMediaParameters,
         [] { return RecordBytes(TAPE_GET_MEDIA_PARAMETERS{}); }, 5, TAPE_STATUS_SUCCESS, 2,
         {0x00, 0x1A, 0x1A, 0x4D}, {2, kLastCall}},
        {"GetPosition", Request::GetPosition,
         [] { return RecordBytes(TAPE_GET_POSITION{1, 0, {}}); }, 3, TAPE_STATUS_SUCCESS, 3,
         {0x00, 0x34}, {}},
        {"GetStatus", Request::GetStatus, [] { return Bytes{}; }, 3, TAPE_STATUS_SUCCESS, 3,
         {0x00}, {}},
        {"Prepare", Request::Prepare, [] { return RecordBytes(TAPE_PREPARE{0, 0}); }, 3,
         TAPE_STATUS_SUCCESS, 3, {0x1B}, {}},
        {"SetDrive", Request::SetDriveParameters,
         [] { return RecordBytes(TAPE_SET_DRIVE_PARAMETERS{0, 1, 0, 1, 0}); }, 3,
         TAPE_STATUS_SUCCESS, 3, {0x1A, 0x15, 0x1A, 0x15}, {}},
        {"SetMedia", Request::SetMediaParameters,
         [] { return RecordBytes(TAPE_SET_MEDIA_PARAMETERS{512}); }, 3, TAPE_STATUS_SUCCESS, 3,
         {0x00, 0x15}, {}},
        {"SetPosition", Request::SetPosition,
         [] {
             TAPE_SET_POSITION r{};
             r.Method = 2;  // logical block 5 in partition 2, from partition 1
             r.Partition = 2;
             r.Offset.LowPart = 5;
             return RecordBytes(r);
         },
         1, TAPE_STATUS_SUCCESS, 2, {0x2B}, {kLastCall}},
        {"WriteMarks", Request::WriteMarks, [] { return RecordBytes(TAPE_WRITE_MARKS{1, 1, 0}); },
         3, TAPE_STATUS_SUCCESS, 3, {0x10}, {}},
    };
    // clang-format on
    const auto it = std::find_if(setups.begin(), setups.end(),
                                 [&name](const RequestSetup& s) { return name == s.name; });
    if (it == setups.end()) {
        ADD_FAILURE() << "no setup " << name;
        return setups.front();
    }
    return *it;
}

// One request on a freshly discovered device, with the observer checking on which calls the
// current partition changes.
struct Outcome {
    TAPE_STATUS status = TAPE_STATUS_SUCCESS;
    ULONG partition = 0;
    Bytes record;
    std::vector<uint8_t> opcodes;
    bool injected = false;
};

Outcome RunSetup(const RequestSetup& setup, std::optional<size_t> failCommand, Fault fault,
                 std::optional<unsigned> failAllocation = std::nullopt)
{
    static host::ClassDriver driver;
    if (!driver.loaded()) {
        EXPECT_TRUE(driver.Load(&DriverEntry));
    }
    MatrixDrive drive;
    auto device = host::Device::Discover(driver, drive);
    Outcome outcome;
    if (!device) {
        ADD_FAILURE() << "drive not claimed";
        return outcome;
    }
    auto* extension = device->ExtensionAs<MINITAPE_EXTENSION>();
    extension->CurrentPartition = setup.startPartition;
    drive.failAt = failCommand;
    drive.fault = fault;

    outcome.record = setup.record();
    host::RunOptions options;
    options.failAllocation = failAllocation;
    ULONG before = setup.startPartition;
    std::vector<std::pair<ULONG, bool>> changes;  // (call, was the request's last call)
    options.afterCall = [&](ULONG call, TAPE_STATUS returned, const SCSI_REQUEST_BLOCK&) {
        if (extension->CurrentPartition != before) {
            const bool last = returned != TAPE_STATUS_SEND_SRB_AND_CALLBACK &&
                              returned != TAPE_STATUS_CALLBACK &&
                              returned != TAPE_STATUS_CHECK_TEST_UNIT_READY;
            changes.emplace_back(call, last);
            before = extension->CurrentPartition;
        }
    };
    host::Transcript transcript;
    outcome.status =
        device->Run(setup.request, outcome.record.empty() ? nullptr : outcome.record.data(),
                    &transcript, options);
    for (const auto& change : changes) {
        const bool allowed = std::any_of(
            setup.partitionCalls.begin(), setup.partitionCalls.end(),
            [&](ULONG c) { return c == kLastCall ? change.second : c == change.first; });
        EXPECT_TRUE(allowed) << setup.name << " changed CurrentPartition on call " << change.first;
    }
    outcome.partition = extension->CurrentPartition;
    outcome.opcodes = drive.opcodes;
    outcome.injected = drive.injected;
    return outcome;
}

std::string Hex(const std::vector<uint8_t>& opcodes)
{
    std::string text;
    char byte[4];
    for (uint8_t op : opcodes) {
        std::snprintf(byte, sizeof(byte), "%02X ", op);
        text += byte;
    }
    return text;
}

// Without a fault every setup ends as it should; this also pins the commands the matrix
// counts through.
class CleanRun : public ::testing::TestWithParam<const char*> {};

TEST_P(CleanRun, EndsWithCleanOutcome)
{
    const RequestSetup& setup = SetupNamed(GetParam());
    const Outcome outcome = RunSetup(setup, std::nullopt, kNoMedia);
    EXPECT_EQ(outcome.status, setup.cleanStatus);
    EXPECT_EQ(outcome.partition, setup.cleanPartition);
    EXPECT_EQ(Hex(outcome.opcodes), Hex(setup.cleanOpcodes));
}

INSTANTIATE_TEST_SUITE_P(Requests, CleanRun,
                         ::testing::Values("CreateTwo", "CreateOne", "Erase", "GetDrive",
                                           "GetMedia", "GetPosition", "GetStatus", "Prepare",
                                           "SetDrive", "SetMedia", "SetPosition", "WriteMarks"));

// Command N of a request fails in each way in turn.
struct CommandRow {
    const char* setup;
    size_t command;  // 0-based, readiness checks included
    Cells cells;
    bool ends;  // a failure ends the request at once: nothing is sent after it
};

void PrintTo(const CommandRow& row, std::ostream* os)
{
    *os << row.setup << " command " << row.command;
}

class FailedCommand : public ::testing::TestWithParam<CommandRow> {};

TEST_P(FailedCommand, EndsAsTheRequestPrescribes)
{
    const CommandRow& row = GetParam();
    const RequestSetup& setup = SetupNamed(row.setup);
    for (size_t f = 0; f < kFaults; ++f) {
        SCOPED_TRACE(kFaultNames[f]);
        const Outcome outcome = RunSetup(setup, row.command, static_cast<Fault>(f));
        ASSERT_TRUE(outcome.injected);
        EXPECT_EQ(outcome.status, row.cells[f].status);
        EXPECT_EQ(outcome.partition, row.cells[f].partition);
        if (row.ends && f != kShort) {
            EXPECT_EQ(outcome.opcodes.size(), row.command) << "sent after a failure that ends";
        }
    }
}

constexpr TAPE_STATUS kOk = TAPE_STATUS_SUCCESS;
constexpr TAPE_STATUS kOverrun = TAPE_STATUS_DATA_OVERRUN;

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Requests, FailedCommand,
    ::testing::Values(
        // Partitioning: every failure ends it and the partition stays; the MODE SELECT having
        // succeeded does not commit anything when the configuration page then fails.
        CommandRow{"CreateTwo", 0, Ends(0, {kOk, 2}), true},
        CommandRow{"CreateTwo", 1, Ends(0, {kOk, 2}), true},
        CommandRow{"CreateTwo", 2, Ends(0, {kOk, 2}), true},
        CommandRow{"CreateTwo", 3, Ends(0, {kOk, 1}), true},  // short: active partition 0
        CommandRow{"CreateOne", 1, Ends(2, {kOk, 0}), true},
        CommandRow{"CreateOne", 2, Ends(2, {kOk, 0}), true},
        CommandRow{"Erase", 0, Ends(3, {kOk, 3}), true},
        // Drive parameters: every command comes back to the routine. No medium is no failure;
        // a refused compression page leaves compression unreported; a short page is an error.
        CommandRow{"GetDrive", 0,
                   {{{kOk, 3}, {TAPE_STATUS_INVALID_DEVICE_REQUEST, 3},
                     {TAPE_STATUS_DEVICE_NOT_READY, 3}, {TAPE_STATUS_IO_DEVICE_ERROR, 3},
                     {TAPE_STATUS_DEVICE_NOT_READY, 3}, {kOk, 3}, {TAPE_STATUS_DEVICE_BUSY, 3},
                     {kOverrun, 3}}},
                   false},
        CommandRow{"GetDrive", 1,
                   {{{kOk, 3}, {kOk, 3}, {TAPE_STATUS_DEVICE_NOT_READY, 3},
                     {TAPE_STATUS_IO_DEVICE_ERROR, 3}, {TAPE_STATUS_DEVICE_NOT_READY, 3},
                     {kOk, 3}, {TAPE_STATUS_DEVICE_BUSY, 3}, {kOverrun, 3}}},
                   false},
        CommandRow{"GetDrive", 2,
                   {{{kOk, 3}, {TAPE_STATUS_INVALID_DEVICE_REQUEST, 3},
                     {TAPE_STATUS_DEVICE_NOT_READY, 3}, {TAPE_STATUS_IO_DEVICE_ERROR, 3},
                     {TAPE_STATUS_DEVICE_NOT_READY, 3}, {kOk, 3}, {TAPE_STATUS_DEVICE_BUSY, 3},
                     {kOverrun, 3}}},
                   false},
        // Media parameters: call 2 records the active partition before the partition page is
        // read, so a later failure leaves that value; a short partition page reads as an
        // unpartitioned tape.
        CommandRow{"GetMedia", 0, Ends(5, {kOk, 2}), true},
        CommandRow{"GetMedia", 1, Ends(5, {kOk, 1}), true},
        CommandRow{"GetMedia", 2, Ends(2, {kOk, 0}), true},
        CommandRow{"GetMedia", 3, Ends(2, {kOk, 2}), true},
        CommandRow{"GetPosition", 0, Ends(3, {kOk, 3}), true},
        CommandRow{"GetPosition", 1, Ends(3, {kOk, 3}), true},
        CommandRow{"GetStatus", 0, Ends(3, {kOk, 3}), true},
        CommandRow{"Prepare", 0, Ends(3, {kOk, 3}), true},
        // Setting drive parameters: a failed configuration page only skips setmark reporting;
        // a refused compression page ends with success, any other failure with its status.
        CommandRow{"SetDrive", 0,
                   {{{kOk, 3}, {kOk, 3}, {kOk, 3}, {kOk, 3}, {kOk, 3}, {kOk, 3}, {kOk, 3},
                     {kOk, 3}}},
                   false},
        CommandRow{"SetDrive", 1, Ends(3, {kOk, 3}), true},
        CommandRow{"SetDrive", 2,
                   {{{TAPE_STATUS_NO_MEDIA, 3}, {kOk, 3}, {TAPE_STATUS_DEVICE_NOT_READY, 3},
                     {TAPE_STATUS_IO_DEVICE_ERROR, 3}, {TAPE_STATUS_DEVICE_NOT_READY, 3},
                     {TAPE_STATUS_NO_MEDIA, 3}, {TAPE_STATUS_DEVICE_BUSY, 3}, {kOverrun, 3}}},
                   true},
        CommandRow{"SetDrive", 3, Ends(3, {kOk, 3}), true},
        CommandRow{"SetMedia", 0, Ends(3, {kOk, 3}), true},
        CommandRow{"SetMedia", 1, Ends(3, {kOk, 3}), true},
        // Positioning: a rejected LOCATE keeps the partition the driver had.
        CommandRow{"SetPosition", 0, Ends(1, {kOk, 2}), true},
        CommandRow{"WriteMarks", 0, Ends(3, {kOk, 3}), true}));
// clang-format on

// The drive refused some of the compression page or the partition page: what went out, and
// what the records say, beyond status and partition.
TEST(FailedCommandDetail, SetDriveSkipsOnlyTheSetmarkSelectAfterAFailedConfigurationPage)
{
    const Outcome outcome = RunSetup(SetupNamed("SetDrive"), 0, kHardware);
    EXPECT_EQ(Hex(outcome.opcodes), "1A 15 ");  // compression MODE SENSE and MODE SELECT
}

TEST(FailedCommandDetail, SetDriveSendsNoCompressionSelectAfterARefusedPage)
{
    const Outcome outcome = RunSetup(SetupNamed("SetDrive"), 2, kIllegal);
    EXPECT_EQ(Hex(outcome.opcodes), "1A 15 ");  // configuration MODE SENSE and MODE SELECT
}

TEST(FailedCommandDetail, GetDriveWithoutMediumReportsNoBlockLimits)
{
    const Outcome outcome = RunSetup(SetupNamed("GetDrive"), 2, kNoMedia);
    TAPE_GET_DRIVE_PARAMETERS r{};
    std::memcpy(&r, outcome.record.data(), sizeof(r));
    EXPECT_EQ(r.MaximumBlockSize, 0u);
    EXPECT_EQ(r.MinimumBlockSize, 0u);
    EXPECT_EQ(r.Compression, 1);
    EXPECT_EQ(r.FeaturesLow, 0x013A1FA4u);
}

TEST(FailedCommandDetail, GetDriveWithRefusedCompressionPageReportsNoCompression)
{
    const Outcome outcome = RunSetup(SetupNamed("GetDrive"), 1, kIllegal);
    TAPE_GET_DRIVE_PARAMETERS r{};
    std::memcpy(&r, outcome.record.data(), sizeof(r));
    EXPECT_EQ(r.Compression, 0);
    EXPECT_EQ(r.FeaturesLow, 0x01381FA4u);
    EXPECT_EQ(r.FeaturesHigh, 0x137FF83Du);
    EXPECT_EQ(r.MaximumBlockSize, 61440u);
}

TEST(FailedCommandDetail, GetMediaFailedLogSenseKeepsTheFirstFields)
{
    const Outcome outcome = RunSetup(SetupNamed("GetMedia"), 3, kHardware);
    TAPE_GET_MEDIA_PARAMETERS r{};
    std::memcpy(&r, outcome.record.data(), sizeof(r));
    EXPECT_EQ(r.BlockSize, 512u);
    EXPECT_EQ(r.PartitionCount, 2u);
    EXPECT_EQ(r.Capacity.QuadPart, 0);
    EXPECT_EQ(r.Remaining.QuadPart, 0);
}

TEST(FailedCommandDetail, GetPositionFailureLeavesOnlyTheType)
{
    const Outcome outcome = RunSetup(SetupNamed("GetPosition"), 1, kHardware);
    TAPE_GET_POSITION r{};
    std::memcpy(&r, outcome.record.data(), sizeof(r));
    EXPECT_EQ(r.Type, 1u);
    EXPECT_EQ(r.Partition, 0u);
    EXPECT_EQ(r.Offset.QuadPart, 0);
}

// Allocation N of a request is refused.
struct AllocationRow {
    const char* setup;
    unsigned allocation;  // 1 = the first
    ULONG partition;
    const char* sent;  // opcodes of the commands that went out before the refusal
};

void PrintTo(const AllocationRow& row, std::ostream* os)
{
    *os << row.setup << " allocation " << row.allocation;
}

class RefusedAllocation : public ::testing::TestWithParam<AllocationRow> {};

TEST_P(RefusedAllocation, EndsWithInsufficientResources)
{
    const AllocationRow& row = GetParam();
    const Outcome outcome = RunSetup(SetupNamed(row.setup), std::nullopt, kNoMedia, row.allocation);
    EXPECT_EQ(outcome.status, TAPE_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(outcome.partition, row.partition);
    EXPECT_EQ(Hex(outcome.opcodes), row.sent);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Requests, RefusedAllocation,
    ::testing::Values(AllocationRow{"CreateTwo", 1, 0, "00 "},
                      AllocationRow{"CreateTwo", 2, 0, "00 1A 15 "},
                      AllocationRow{"CreateOne", 1, 2, "00 "},
                      AllocationRow{"GetDrive", 1, 3, ""},
                      AllocationRow{"GetDrive", 2, 3, "1A "},
                      AllocationRow{"GetDrive", 3, 3, "1A 1A "},
                      AllocationRow{"GetMedia", 1, 5, "00 "},
                      AllocationRow{"GetMedia", 2, 2, "00 1A "},  // partition already recorded
                      AllocationRow{"GetMedia", 3, 2, "00 1A 1A "},
                      AllocationRow{"GetPosition", 1, 3, "00 "},
                      AllocationRow{"SetDrive", 1, 3, ""},
                      AllocationRow{"SetDrive", 2, 3, "1A 15 "},
                      AllocationRow{"SetMedia", 1, 3, "00 "}));
// clang-format on

// Requests that allocate nothing are untouched by a refused allocation.
TEST(RefusedAllocationDetail, RequestsWithoutBuffersDoNotNotice)
{
    for (const char* name : {"Erase", "GetStatus", "Prepare", "SetPosition", "WriteMarks"}) {
        const RequestSetup& setup = SetupNamed(name);
        const Outcome outcome = RunSetup(setup, std::nullopt, kNoMedia, 1);
        EXPECT_EQ(outcome.status, setup.cleanStatus) << name;
        EXPECT_EQ(outcome.partition, setup.cleanPartition) << name;
    }
}

}  // namespace
