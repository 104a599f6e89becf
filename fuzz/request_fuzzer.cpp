// Every command routine run through the class-driver stand-in with fuzzed request records,
// drive answers of fuzzed lengths, statuses and sense, and fuzzed allocation failures, several
// requests in a row on one device. Besides the sanitizers, each input is checked against the
// rules every routine keeps: what a command block may hold, when the current partition may
// change and to what, that a refused request sends nothing, and that every request ends.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/velmdat.h"
#include "fuzz/fuzz_check.h"
#include "host/classdriver.h"
#include "host/target.h"
#include "host/transcript.h"

namespace {

using host::Request;

constexpr unsigned kMaxRequestsPerInput = 6;
// The longest request (GetDriveParameters, SetDriveParameters, GetMediaParameters and
// CreatePartition) ends on call 4; a sixth call means a routine never finishes.
constexpr size_t kMaxCallsPerRequest = 5;
constexpr size_t kMaxSenseBytes = 40;
constexpr ULONG kHighestPartition = 256;
constexpr ULONG kReturnErrors = 0x00020000;
constexpr ULONG kDataOut = 0x80;
constexpr size_t kConfigActivePartitionByte = 7;  // header 4 + page byte 3

// What the driver may put into a command block, per operation code: the CDB length and, per
// byte, the bits it may set. Every other bit of all 16 bytes must be 0.
struct CdbRule {
    uint8_t opcode;
    uint8_t length;
    std::array<uint8_t, 12> mask;  // bytes 1..12 (index 0 = byte 1); bytes 13..15 always 0
};
constexpr uint8_t kAll = 0xFF;
constexpr std::array<CdbRule, 12> kCdbRules = {{
    {0x01, 6, {0x01}},                                       // REWIND: IMMED
    {0x2B, 10, {0x07, 0, kAll, kAll, kAll, kAll, 0, kAll}},  // LOCATE: BT CP IMMED, 3-6, 8
    {0x11, 6, {0x07, kAll, kAll, kAll}},                     // SPACE: code, count
    {0x34, 10, {0x01}},                                      // READ POSITION: BT
    {0x1B, 6, {0x01, 0, 0, 0x01}},                           // LOAD UNLOAD: IMMED, Load
    {0x1E, 6, {0, 0, 0, 0x01}},                              // PREVENT ALLOW: Prevent
    {0x19, 6, {0x03}},                                       // ERASE: IMMED, LONG
    {0x10, 6, {0x03, kAll, kAll, kAll}},                     // WRITE FILEMARKS
    {0x1A, 6, {0x08, kAll, 0, kAll}},                        // MODE SENSE(6): DBD, page
    {0x15, 6, {0x10, 0, 0, kAll}},                           // MODE SELECT(6): PF, length
    {0x05, 6, {}},                                           // READ BLOCK LIMITS
    {0x4D, 10, {0, kAll, 0, 0, 0, 0, kAll, kAll}},           // LOG SENSE: page, length
}};

// The commands each request may send.
std::vector<uint8_t> AllowedOpcodes(Request request)
{
    switch (request) {
    case Request::CreatePartition:
        return {0x1A, 0x15};
    case Request::Erase:
        return {0x19};
    case Request::GetDriveParameters:
        return {0x1A, 0x05};
    case Request::GetMediaParameters:
        return {0x1A, 0x4D};
    case Request::GetPosition:
        return {0x34};
    case Request::GetStatus:
        return {};
    case Request::Prepare:
        return {0x1B, 0x1E};
    case Request::SetDriveParameters:
        return {0x1A, 0x15};
    case Request::SetMediaParameters:
        return {0x15};
    case Request::SetPosition:
        return {0x01, 0x2B, 0x11};
    case Request::WriteMarks:
        return {0x10};
    }
    return {};
}

size_t RecordSize(Request request)
{
    switch (request) {
    case Request::CreatePartition:
        return sizeof(TAPE_CREATE_PARTITION);
    case Request::Erase:
        return sizeof(TAPE_ERASE);
    case Request::GetDriveParameters:
        return sizeof(TAPE_GET_DRIVE_PARAMETERS);
    case Request::GetMediaParameters:
        return sizeof(TAPE_GET_MEDIA_PARAMETERS);
    case Request::GetPosition:
        return sizeof(TAPE_GET_POSITION);
    case Request::GetStatus:
        return 0;
    case Request::Prepare:
        return sizeof(TAPE_PREPARE);
    case Request::SetDriveParameters:
        return sizeof(TAPE_SET_DRIVE_PARAMETERS);
    case Request::SetMediaParameters:
        return sizeof(TAPE_SET_MEDIA_PARAMETERS);
    case Request::SetPosition:
        return sizeof(TAPE_SET_POSITION);
    case Request::WriteMarks:
        return sizeof(TAPE_WRITE_MARKS);
    }
    return 0;
}

// Requests whose record the driver only reads.
bool RecordIsReadOnly(Request request)
{
    return request != Request::GetDriveParameters && request != Request::GetMediaParameters &&
           request != Request::GetPosition;
}

// A drive that answers from the fuzzer's bytes: any status, data of any length up to the
// transfer, sometimes a count that lies, sense of any length.
class FuzzedDrive : public host::Target {
public:
    explicit FuzzedDrive(FuzzedDataProvider& fdp) : fdp_(fdp) {}

    host::ScsiAnswer Execute(const host::ScsiCommand& command) override
    {
        FUZZ_CHECK(command.cdb != nullptr && command.cdbLength > 0);
        FUZZ_CHECK((command.data != nullptr) == (command.dataLength > 0));
        host::ScsiAnswer answer;
        if (discovering) {  // the inquiry of discovery always finds the drive
            static constexpr char kInquiry[] =
                "\x01\x80\x02\x02\x1f\0\0\0VELM    QT-7310         0100";
            const size_t n = std::min(command.dataLength, sizeof(kInquiry) - 1);
            std::copy_n(reinterpret_cast<const uint8_t*>(kInquiry), n, command.data);
            answer.transferred = n;
            return answer;
        }
        const unsigned kind = fdp_.ConsumeIntegralInRange<unsigned>(0, 9);
        if (command.direction == host::Direction::In && command.dataLength > 0) {
            const size_t n = fdp_.ConsumeIntegralInRange<size_t>(0, command.dataLength);
            const std::vector<uint8_t> bytes = fdp_.ConsumeBytes<uint8_t>(n);
            std::copy(bytes.begin(), bytes.end(), command.data);
            answer.transferred = bytes.size();
        } else if (command.direction == host::Direction::Out) {
            answer.transferred = command.dataLength;
        }
        switch (kind) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:  // GOOD
            break;
        case 5:
        case 6: {  // CHECK CONDITION with well-formed fixed sense of fuzzed content
            answer.status = host::kScsiCheckCondition;
            answer.sense.assign(18, 0);
            answer.sense[0] = 0x70;
            answer.sense[2] = fdp_.ConsumeIntegral<uint8_t>();
            answer.sense[7] = 10;
            answer.sense[12] = fdp_.ConsumeBool() ? 0x3A : fdp_.ConsumeIntegral<uint8_t>();
            answer.sense[13] = fdp_.ConsumeBool() ? 0x00 : fdp_.ConsumeIntegral<uint8_t>();
            break;
        }
        case 7:  // CHECK CONDITION with raw sense of any length
            answer.status = host::kScsiCheckCondition;
            answer.sense =
                fdp_.ConsumeBytes<uint8_t>(fdp_.ConsumeIntegralInRange<size_t>(0, kMaxSenseBytes));
            break;
        case 8:  // any other status, or a lying count
            answer.status = fdp_.ConsumeIntegral<uint8_t>();
            if (fdp_.ConsumeBool()) {
                answer.transferred = fdp_.ConsumeIntegralInRange<size_t>(0, 256);
            }
            break;
        default:
            answer.transportFailed = true;
            break;
        }
        return answer;
    }

    bool discovering = true;

private:
    FuzzedDataProvider& fdp_;
};

// Request values the driver refuses before sending anything for them, and the status.
std::optional<TAPE_STATUS> ExpectedRefusal(Request request, const uint8_t* record, ULONG current)
{
    switch (request) {
    case Request::Prepare: {
        const auto& r = *reinterpret_cast<const TAPE_PREPARE*>(record);
        const bool known = r.Operation == TAPE_LOAD || r.Operation == TAPE_UNLOAD ||
                           r.Operation == TAPE_LOCK || r.Operation == TAPE_UNLOCK;
        const bool locking = r.Operation == TAPE_LOCK || r.Operation == TAPE_UNLOCK;
        if (!known || (locking && r.Immediate != 0)) {
            return TAPE_STATUS_NOT_IMPLEMENTED;
        }
        return std::nullopt;
    }
    case Request::Erase: {
        const auto& r = *reinterpret_cast<const TAPE_ERASE*>(record);
        return r.Type != TAPE_ERASE_LONG ? std::optional(TAPE_STATUS_NOT_IMPLEMENTED)
                                         : std::nullopt;
    }
    case Request::WriteMarks: {
        const auto& r = *reinterpret_cast<const TAPE_WRITE_MARKS*>(record);
        if (r.Type != TAPE_SETMARKS && r.Type != TAPE_FILEMARKS) {
            return TAPE_STATUS_NOT_IMPLEMENTED;
        }
        return r.Count > 0xFFFFFFu ? std::optional(TAPE_STATUS_INVALID_PARAMETER) : std::nullopt;
    }
    case Request::SetPosition: {
        const auto& r = *reinterpret_cast<const TAPE_SET_POSITION*>(record);
        if ((r.Immediate != 0 && r.Method > TAPE_LOGICAL_BLOCK) ||
            r.Method == TAPE_PSEUDO_LOGICAL_BLOCK || r.Method > TAPE_SPACE_SEQUENTIAL_SMKS) {
            return TAPE_STATUS_NOT_IMPLEMENTED;
        }
        const auto count = static_cast<int32_t>(r.Offset.LowPart);
        if (r.Method > TAPE_SPACE_END_OF_DATA && (count < -8388608 || count > 8388607)) {
            return TAPE_STATUS_INVALID_PARAMETER;
        }
        // A logical locate names the partition whenever the request and the driver both know
        // one, also the partition the driver believes current.
        const bool carried = r.Method == TAPE_LOGICAL_BLOCK && r.Partition != 0 && current != 0;
        if (carried && r.Partition > kHighestPartition) {
            return TAPE_STATUS_INVALID_PARAMETER;
        }
        return std::nullopt;
    }
    case Request::GetPosition: {
        const auto& r = *reinterpret_cast<const TAPE_GET_POSITION*>(record);
        return r.Type > TAPE_LOGICAL_POSITION ? std::optional(TAPE_STATUS_NOT_IMPLEMENTED)
                                              : std::nullopt;
    }
    case Request::SetMediaParameters: {
        const auto& r = *reinterpret_cast<const TAPE_SET_MEDIA_PARAMETERS*>(record);
        return r.BlockSize > 0xFFFFFFu ? std::optional(TAPE_STATUS_INVALID_PARAMETER)
                                       : std::nullopt;
    }
    case Request::CreatePartition: {
        const auto& r = *reinterpret_cast<const TAPE_CREATE_PARTITION*>(record);
        if (r.Count == 0) {
            return std::nullopt;
        }
        if (r.Count > 2) {
            return TAPE_STATUS_INVALID_DEVICE_REQUEST;
        }
        if (r.Method != TAPE_INITIATOR_PARTITIONS) {
            return TAPE_STATUS_NOT_IMPLEMENTED;
        }
        return r.Count == 2 && r.Size > 0xFFFFu ? std::optional(TAPE_STATUS_INVALID_PARAMETER)
                                                : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

// Fills a record from the fuzzer, mostly with values near the ones the routines tell apart.
void FillRecord(Request request, uint8_t* record, size_t size, FuzzedDataProvider& fdp)
{
    const std::vector<uint8_t> raw = fdp.ConsumeBytes<uint8_t>(size);
    std::copy(raw.begin(), raw.end(), record);
    if (!fdp.ConsumeBool()) {
        return;  // the raw bytes as they came
    }
    auto small = [&fdp](ULONG most) { return fdp.ConsumeIntegralInRange<ULONG>(0, most); };
    switch (request) {
    case Request::Prepare:
        reinterpret_cast<TAPE_PREPARE*>(record)->Operation = small(6);
        break;
    case Request::Erase:
        reinterpret_cast<TAPE_ERASE*>(record)->Type = small(2);
        break;
    case Request::WriteMarks:
        reinterpret_cast<TAPE_WRITE_MARKS*>(record)->Type = small(4);
        break;
    case Request::SetPosition: {
        auto* r = reinterpret_cast<TAPE_SET_POSITION*>(record);
        r->Method = small(10);
        r->Partition = small(kHighestPartition + 2);
        r->Immediate = static_cast<BOOLEAN>(small(2));
        break;
    }
    case Request::GetPosition:
        reinterpret_cast<TAPE_GET_POSITION*>(record)->Type = small(3);
        break;
    case Request::SetMediaParameters:
        reinterpret_cast<TAPE_SET_MEDIA_PARAMETERS*>(record)->BlockSize = small(0x1000000);
        break;
    case Request::CreatePartition: {
        auto* r = reinterpret_cast<TAPE_CREATE_PARTITION*>(record);
        r->Method = small(3);
        r->Count = small(3);
        r->Size = small(0x10000);
        break;
    }
    default:
        break;
    }
}

// Watches one request call by call: command blocks, flags, and every change of the current
// partition, with the value it must take.
class RequestWatch {
public:
    RequestWatch(Request request, const uint8_t* record, host::Device& device,
                 const host::Transcript& transcript)
        : request_(request),
          record_(record),
          extension_(device.ExtensionAs<MINITAPE_EXTENSION>()),
          transcript_(transcript),
          before_(extension_->CurrentPartition),
          atStart_(before_),
          allowed_(AllowedOpcodes(request))
    {
    }

    void AfterCall(ULONG call, TAPE_STATUS returned, const SCSI_REQUEST_BLOCK& srb)
    {
        if (returned == TAPE_STATUS_SEND_SRB_AND_CALLBACK) {
            CheckBlock(srb);
        }
        const ULONG now = extension_->CurrentPartition;
        const std::optional<ULONG> expected = ExpectedPartition(call, returned);
        if (expected) {
            FUZZ_CHECK_MSG(now == *expected, "CurrentPartition %u, expected %u after call %u", now,
                           *expected, call);
        } else {
            FUZZ_CHECK_MSG(now == before_, "%s changed CurrentPartition on call %u (%u -> %u)",
                           host::RequestName(request_), call, before_, now);
        }
        before_ = now;
    }

private:
    void CheckBlock(const SCSI_REQUEST_BLOCK& srb)
    {
        FUZZ_CHECK_MSG(srb.CdbLength == 6 || srb.CdbLength == 10, "CdbLength %u", srb.CdbLength);
        const uint8_t opcode = srb.Cdb[0];
        FUZZ_CHECK_MSG(std::find(allowed_.begin(), allowed_.end(), opcode) != allowed_.end(),
                       "%s sent opcode 0x%02X", host::RequestName(request_), opcode);
        const auto rule = std::find_if(kCdbRules.begin(), kCdbRules.end(),
                                       [opcode](const CdbRule& r) { return r.opcode == opcode; });
        FUZZ_CHECK(rule != kCdbRules.end());
        FUZZ_CHECK_MSG(srb.CdbLength == rule->length, "opcode 0x%02X with CdbLength %u", opcode,
                       srb.CdbLength);
        for (size_t i = 1; i < sizeof(srb.Cdb); ++i) {
            const uint8_t mask = i <= rule->mask.size() ? rule->mask[i - 1] : 0;
            FUZZ_CHECK_MSG((srb.Cdb[i] & ~mask) == 0, "opcode 0x%02X byte %zu = 0x%02X", opcode, i,
                           srb.Cdb[i]);
        }
        const bool dataOut = (srb.SrbFlags & kDataOut) != 0;
        FUZZ_CHECK_MSG(dataOut == (opcode == 0x15), "opcode 0x%02X with SrbFlags 0x%X", opcode,
                       srb.SrbFlags);
        if (opcode == 0x15) {
            // Every parameter list the driver sends: mode data length 0, buffered mode 1.
            const auto* list = static_cast<const uint8_t*>(srb.DataBuffer);
            FUZZ_CHECK(list != nullptr && srb.DataTransferLength >= 4);
            FUZZ_CHECK(srb.Cdb[4] == srb.DataTransferLength);
            FUZZ_CHECK_MSG(list[0] == 0 && list[2] == 0x10, "MODE SELECT header %02X %02X", list[0],
                           list[2]);
        }
        if (opcode == 0x2B && request_ == Request::SetPosition) {
            const auto& r = *reinterpret_cast<const TAPE_SET_POSITION*>(record_);
            const bool carried =
                r.Method == TAPE_LOGICAL_BLOCK && r.Partition != 0 && atStart_ != 0;
            FUZZ_CHECK(((srb.Cdb[1] & 0x02) != 0) == carried);
            FUZZ_CHECK(srb.Cdb[8] == (carried ? static_cast<uint8_t>(r.Partition - 1) : 0));
        }
    }

    // The bytes the last command brought in, as they lie in a freshly zeroed buffer.
    uint8_t LastAnswerByte(size_t index) const
    {
        const auto& events = transcript_.events();
        for (auto it = events.rbegin(); it != events.rend(); ++it) {
            if (it->kind == host::TranscriptEvent::Kind::Answer) {
                const auto& in = it->answer.dataIn;
                return index < in.size() ? in[index] : 0;
            }
        }
        FUZZ_CHECK_MSG(false, "no answer before call");
        return 0;
    }

    // The value CurrentPartition must hold after this call when the call may write it, or
    // nothing when it must stay as it was.
    std::optional<ULONG> ExpectedPartition(ULONG call, TAPE_STATUS returned) const
    {
        switch (request_) {
        case Request::SetPosition: {
            const auto& r = *reinterpret_cast<const TAPE_SET_POSITION*>(record_);
            if (call == 0 || returned != TAPE_STATUS_SUCCESS || r.Method != TAPE_LOGICAL_BLOCK) {
                return std::nullopt;
            }
            const bool carried = r.Partition != 0 && atStart_ != 0;
            return carried ? r.Partition : atStart_;
        }
        case Request::GetMediaParameters: {
            if (call == 2) {
                return LastAnswerByte(kConfigActivePartitionByte) + 1u;
            }
            if (call >= 4 && returned == TAPE_STATUS_SUCCESS) {
                const auto& r = *reinterpret_cast<const TAPE_GET_MEDIA_PARAMETERS*>(record_);
                return r.PartitionCount == 1 ? 0 : before_;
            }
            return std::nullopt;
        }
        case Request::CreatePartition:
            if (call == 3 && returned == TAPE_STATUS_SUCCESS) {
                return 0;
            }
            if (call == 4 && returned == TAPE_STATUS_SUCCESS) {
                return LastAnswerByte(kConfigActivePartitionByte) + 1u;
            }
            return std::nullopt;
        default:
            return std::nullopt;
        }
    }

    Request request_;
    const uint8_t* record_;
    MINITAPE_EXTENSION* extension_;
    const host::Transcript& transcript_;
    ULONG before_;
    ULONG atStart_;
    std::vector<uint8_t> allowed_;
};

// Checks on the whole request, from its transcript and final status.
void CheckRequest(Request request, const uint8_t* record, const std::vector<uint8_t>& recordBefore,
                  ULONG partitionAtStart, const host::Transcript& transcript, TAPE_STATUS status)
{
    FUZZ_CHECK_MSG(
        status >= TAPE_STATUS_SUCCESS && status <= TAPE_STATUS_CLEANER_CARTRIDGE_INSTALLED,
        "final status %d", static_cast<int>(status));
    const std::vector<host::CallEvent> calls = transcript.Calls();
    FUZZ_CHECK_MSG(calls.size() <= kMaxCallsPerRequest, "%s ran %zu calls",
                   host::RequestName(request), calls.size());

    // At most one command per call: a driver command only right after a call that asked for
    // one, the readiness check only after a call that asked for it.
    std::optional<TAPE_STATUS> lastReturned;
    size_t driverCommands = 0;
    bool refusedAllocation = false;
    bool commandFailed = false;
    for (const host::TranscriptEvent& event : transcript.events()) {
        switch (event.kind) {
        case host::TranscriptEvent::Kind::Call:
            FUZZ_CHECK(event.call.retryFlags == 0 || event.call.retryFlags == kReturnErrors);
            lastReturned = event.call.returned;
            break;
        case host::TranscriptEvent::Kind::Command:
            FUZZ_CHECK(lastReturned.has_value());
            if (event.command.readinessCheck) {
                FUZZ_CHECK(*lastReturned == TAPE_STATUS_CHECK_TEST_UNIT_READY);
            } else {
                FUZZ_CHECK(*lastReturned == TAPE_STATUS_SEND_SRB_AND_CALLBACK);
                ++driverCommands;
            }
            lastReturned.reset();
            break;
        case host::TranscriptEvent::Kind::Allocation:
            refusedAllocation = refusedAllocation || !event.allocation.granted;
            break;
        case host::TranscriptEvent::Kind::Answer:
            commandFailed = event.answer.refined != TAPE_STATUS_SUCCESS;
            break;
        case host::TranscriptEvent::Kind::Note:
            // The runner refuses blocks that would reach outside the buffer; none may occur.
            FUZZ_CHECK_MSG(event.note.rfind("not sent", 0) != 0, "%s", event.note.c_str());
            FUZZ_CHECK_MSG(event.note.find("did not end") == std::string::npos, "%s",
                           event.note.c_str());
            break;
        }
    }

    const std::optional<TAPE_STATUS> refusal =
        ExpectedRefusal(request, recordBefore.data(), partitionAtStart);
    if (refusal) {
        // Only CreatePartition reads the drive's page before it decides; nothing is written.
        const size_t mayRead = request == Request::CreatePartition ? 1 : 0;
        FUZZ_CHECK_MSG(driverCommands <= mayRead, "refused %s sent %zu commands",
                       host::RequestName(request), driverCommands);
        const bool endedEarlier = commandFailed || refusedAllocation;
        FUZZ_CHECK_MSG(status == *refusal || endedEarlier, "%s: status %d, expected refusal %d",
                       host::RequestName(request), static_cast<int>(status),
                       static_cast<int>(*refusal));
    } else if (!calls.empty() && calls.back().returned == status &&
               calls.back().lastStatus != status) {
        // A routine that refuses on its own must have had a reason the model knows.
        FUZZ_CHECK_MSG(
            status != TAPE_STATUS_NOT_IMPLEMENTED && status != TAPE_STATUS_INVALID_PARAMETER,
            "%s refused with %d", host::RequestName(request), static_cast<int>(status));
    }

    if (RecordIsReadOnly(request) && !recordBefore.empty()) {
        FUZZ_CHECK_MSG(std::equal(recordBefore.begin(), recordBefore.end(), record),
                       "%s wrote its request record", host::RequestName(request));
    }
    if (status != TAPE_STATUS_SUCCESS) {
        return;
    }
    switch (request) {
    case Request::GetPosition: {
        const auto& r = *reinterpret_cast<const TAPE_GET_POSITION*>(record);
        FUZZ_CHECK(r.Offset.HighPart == 0);
        FUZZ_CHECK(r.Type == TAPE_ABSOLUTE_POSITION ? r.Partition == 0
                                                    : r.Partition >= 1 && r.Partition <= 256);
        break;
    }
    case Request::GetDriveParameters: {
        const auto& r = *reinterpret_cast<const TAPE_GET_DRIVE_PARAMETERS*>(record);
        FUZZ_CHECK(r.FeaturesLow == 0x01381FA4u || r.FeaturesLow == 0x013A1FA4u);
        FUZZ_CHECK(r.FeaturesHigh == (r.FeaturesLow == 0x013A1FA4u ? 0x137FFA3Du : 0x137FF83Du));
        FUZZ_CHECK(r.Compression <= 1 && r.ReportSetmarks <= 1);
        FUZZ_CHECK(r.FeaturesLow == 0x013A1FA4u || r.Compression == 0);
        FUZZ_CHECK(r.DefaultBlockSize == 512 && r.MaximumPartitionCount == 2);
        FUZZ_CHECK(r.MaximumBlockSize <= 0xFFFFFFu && r.MinimumBlockSize <= 0xFFFFu);
        FUZZ_CHECK(r.ECC == 0 && r.DataPadding == 0 && r.EOTWarningZoneSize == 0);
        break;
    }
    case Request::GetMediaParameters: {
        const auto& r = *reinterpret_cast<const TAPE_GET_MEDIA_PARAMETERS*>(record);
        FUZZ_CHECK(r.PartitionCount >= 1 && r.PartitionCount <= 256);
        FUZZ_CHECK(r.BlockSize <= 0xFFFFFFu && r.WriteProtected <= 1);
        constexpr long long kLargest = 1LL << 43;
        FUZZ_CHECK(r.Capacity.QuadPart >= 0 && r.Capacity.QuadPart < kLargest);
        FUZZ_CHECK(r.Remaining.QuadPart >= 0 && r.Remaining.QuadPart < kLargest);
        break;
    }
    default:
        break;
    }
}

const host::ClassDriver& Driver()
{
    static const host::ClassDriver driver = [] {
        host::ClassDriver loaded;
        if (!loaded.Load(&DriverEntry)) {
            std::fprintf(stderr, "the driver did not register\n");
            std::abort();
        }
        return loaded;
    }();
    return driver;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    FuzzedDrive drive(fdp);
    std::optional<host::Device> device = host::Device::Discover(Driver(), drive);
    FUZZ_CHECK(device.has_value());
    drive.discovering = false;
    auto* extension = device->ExtensionAs<MINITAPE_EXTENSION>();
    FUZZ_CHECK(extension != nullptr && extension->DriveType == 13 &&
               extension->CurrentPartition == 0);
    // Start anywhere GetMediaParameters could have left the driver.
    extension->CurrentPartition = fdp.ConsumeIntegralInRange<ULONG>(0, kHighestPartition);

    for (unsigned n = 0; n < kMaxRequestsPerInput && fdp.remaining_bytes() > 0; ++n) {
        const auto request = static_cast<Request>(
            fdp.ConsumeIntegralInRange<int>(0, static_cast<int>(Request::WriteMarks)));
        const size_t recordSize = RecordSize(request);
        // Exactly the record's size on the heap, so any access past it is caught.
        std::unique_ptr<uint8_t[]> record(recordSize > 0 ? new uint8_t[recordSize]() : nullptr);
        FillRecord(request, record.get(), recordSize, fdp);
        const std::vector<uint8_t> recordBefore(record.get(), record.get() + recordSize);

        host::RunOptions options;
        if (fdp.ConsumeIntegralInRange<int>(0, 3) == 0) {
            options.failAllocation = fdp.ConsumeIntegralInRange<unsigned>(1, 3);
        }
        options.senseInfoLength = fdp.ConsumeBool() ? uint8_t{18} : fdp.ConsumeIntegral<uint8_t>();
        host::Transcript transcript;
        const ULONG partitionAtStart = extension->CurrentPartition;
        RequestWatch watch(request, record.get(), *device, transcript);
        options.afterCall = [&watch](ULONG call, TAPE_STATUS returned,
                                     const SCSI_REQUEST_BLOCK& srb) {
            watch.AfterCall(call, returned, srb);
        };
        const TAPE_STATUS status = device->Run(request, record.get(), &transcript, options);
        CheckRequest(request, record.get(), recordBefore, partitionAtStart, transcript, status);
        FUZZ_CHECK(extension->DriveType == 13);
    }
    return 0;
}
