// The class-driver stand-in: loads a miniclass through its entry, discovers devices through a
// target, and runs each tape request by the step protocol the miniclass relies on, recording
// every call, allocation, command and answer.
#include "host/classdriver.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>

#include "host/scsi.h"
#include "host/send.h"
#include "host/services.h"

namespace host {
namespace {

constexpr ULONG kStatusUnsuccessful = 0xC0000001u;
constexpr uint8_t kInquiryAllocation = sizeof(INQUIRYDATA);  // 96: the platform's whole record
// Larger per-device or per-request records than this are a broken registration, not a size.
constexpr ULONG kMaxRecordSize = 1u << 20;

// Each request with its name and the member of the registration that serves it.
struct RequestEntry {
    Request request;
    const char* name;
    TAPE_PROCESS_COMMAND_ROUTINE TAPE_INIT_DATA::*routine;
};

constexpr RequestEntry kRequests[] = {
    {Request::CreatePartition, "CreatePartition", &TAPE_INIT_DATA::CreatePartition},
    {Request::Erase, "Erase", &TAPE_INIT_DATA::Erase},
    {Request::GetDriveParameters, "GetDriveParameters", &TAPE_INIT_DATA::GetDriveParameters},
    {Request::GetMediaParameters, "GetMediaParameters", &TAPE_INIT_DATA::GetMediaParameters},
    {Request::GetPosition, "GetPosition", &TAPE_INIT_DATA::GetPosition},
    {Request::GetStatus, "GetStatus", &TAPE_INIT_DATA::GetStatus},
    {Request::Prepare, "Prepare", &TAPE_INIT_DATA::Prepare},
    {Request::SetDriveParameters, "SetDriveParameters", &TAPE_INIT_DATA::SetDriveParameters},
    {Request::SetMediaParameters, "SetMediaParameters", &TAPE_INIT_DATA::SetMediaParameters},
    {Request::SetPosition, "SetPosition", &TAPE_INIT_DATA::SetPosition},
    {Request::WriteMarks, "WriteMarks", &TAPE_INIT_DATA::WriteMarks},
};

const RequestEntry* EntryFor(Request request)
{
    for (const RequestEntry& entry : kRequests) {
        if (entry.request == request) {
            return &entry;
        }
    }
    return nullptr;
}

TAPE_PROCESS_COMMAND_ROUTINE RoutineFor(const TAPE_INIT_DATA& init, Request request)
{
    const RequestEntry* entry = EntryFor(request);
    return entry != nullptr ? init.*(entry->routine) : nullptr;
}

void* DataOrNull(std::vector<uint8_t>& bytes)
{
    return bytes.empty() ? nullptr : bytes.data();
}

// The class driver's own readiness check, in a block of its own so the request's block and
// buffer stay as the routine left them.
TAPE_STATUS CheckReady(const Route& route, uint8_t senseInfoLength)
{
    SCSI_REQUEST_BLOCK srb{};
    std::array<uint8_t, kMaxSenseLength> sense{};
    srb.Length = sizeof(srb);
    srb.CdbLength = kCdbLength6;
    srb.Cdb[0] = kOpTestUnitReady;
    srb.SrbFlags = SRB_FLAGS_DATA_IN;
    srb.TimeOutValue = route.init.DefaultTimeOutValue;
    srb.SenseInfoBuffer = sense.data();
    srb.SenseInfoBufferLength = senseInfoLength;
    SendOptions options;
    options.readinessCheck = true;
    options.sense = sense.data();
    options.senseCapacity = senseInfoLength;
    const Outcome outcome = SendCommand(route, srb, nullptr, 0, options);
    return outcome.failed ? outcome.status : TAPE_STATUS_SUCCESS;
}

}  // namespace

const char* RequestName(Request request)
{
    const RequestEntry* entry = EntryFor(request);
    return entry != nullptr ? entry->name : "unknown request";
}

bool ClassDriver::Load(EntryPoint entry)
{
    init_ = TAPE_INIT_DATA{};
    loaded_ = false;
    bool registered = false;
    SetRegistrationSink([this, &registered](const TAPE_INIT_DATA& data) {
        init_ = data;
        registered = true;
        return ULONG{0};
    });
    entryStatus_ = entry != nullptr ? entry(nullptr, nullptr) : kStatusUnsuccessful;
    SetRegistrationSink(nullptr);
    loaded_ = registered && entryStatus_ == 0;
    return loaded_;
}

std::optional<Device> Device::Discover(const ClassDriver& driver, Target& target,
                                       Transcript* transcript, bool forceClaim)
{
    Recorder recorder(transcript);
    recorder.Begin("Discover");
    const TAPE_INIT_DATA& init = driver.init();
    if (!driver.loaded() || init.VerifyInquiry == nullptr) {
        recorder.Note("no driver registered to verify the device");
        recorder.End(TAPE_STATUS_NO_SUCH_DEVICE);
        return std::nullopt;
    }

    // The inquiry's sense goes nowhere: no driver routine looks at a failed inquiry.
    std::vector<uint8_t> received(kInquiryAllocation, 0);
    std::array<uint8_t, kMaxSenseLength> sense{};
    SCSI_REQUEST_BLOCK srb{};
    srb.Length = sizeof(srb);
    srb.CdbLength = kCdbLength6;
    srb.Cdb[0] = kOpInquiry;
    srb.Cdb[kAllocationLengthByte] = kInquiryAllocation;
    srb.SrbFlags = SRB_FLAGS_DATA_IN;
    srb.DataTransferLength = kInquiryAllocation;
    srb.DataBuffer = received.data();
    srb.TimeOutValue = init.DefaultTimeOutValue;
    TAPE_INIT_DATA noRefinement = init;
    noRefinement.TapeError = nullptr;
    SendOptions options;
    options.sense = sense.data();
    options.senseCapacity = sense.size();
    const Outcome outcome = SendCommand(Route{target, noRefinement, nullptr, recorder}, srb,
                                        received.data(), kInquiryAllocation, options);
    // A short inquiry is normal (SCSI-2 drives send 36 bytes); only a real failure counts.
    if (outcome.failed && outcome.status != TAPE_STATUS_DATA_OVERRUN) {
        recorder.Note("inquiry failed; the device is not looked at");
        recorder.End(outcome.status);
        return std::nullopt;
    }

    Device device(driver, target);
    std::memcpy(&device.inquiry_, received.data(), sizeof(device.inquiry_));
    MODE_CAPABILITIES_PAGE capabilities{};
    PMODE_CAPABILITIES_PAGE capabilitiesPage =
        init.QueryModeCapabilitiesPage ? &capabilities : nullptr;
    if (!init.VerifyInquiry(&device.inquiry_, capabilitiesPage)) {
        const bool sequential =
            (received[kInquiryDeviceTypeByte] & kInquiryDeviceTypeMask) == kSequentialAccess;
        if (!forceClaim || !sequential) {
            recorder.Note("the driver did not claim the device");
            recorder.End(TAPE_STATUS_NO_SUCH_DEVICE);
            return std::nullopt;
        }
        recorder.Note("the driver did not claim the device; claimed all the same (force claim)");
    }
    if (init.MinitapeExtensionSize > kMaxRecordSize) {
        recorder.Note("registered extension size " + std::to_string(init.MinitapeExtensionSize) +
                      " is not a record size");
        recorder.End(TAPE_STATUS_INSUFFICIENT_RESOURCES);
        return std::nullopt;
    }
    device.extension_.assign(init.MinitapeExtensionSize, 0);
    if (init.ExtensionInit != nullptr) {
        init.ExtensionInit(DataOrNull(device.extension_), &device.inquiry_, capabilitiesPage);
    }
    recorder.Note("the driver claimed the device");
    recorder.End(TAPE_STATUS_SUCCESS);
    return device;
}

TAPE_STATUS Device::Run(Request request, void* record, Transcript* transcript,
                        const RunOptions& options)
{
    Recorder recorder(transcript);
    recorder.Begin(RequestName(request));
    const TAPE_INIT_DATA& init = driver_->init();
    const TAPE_PROCESS_COMMAND_ROUTINE routine =
        driver_->loaded() ? RoutineFor(init, request) : nullptr;
    if (routine == nullptr) {
        recorder.Note(std::string("no routine registered for ") + RequestName(request));
        return recorder.End(TAPE_STATUS_INVALID_DEVICE_REQUEST);
    }
    if (init.CommandExtensionSize > kMaxRecordSize) {
        recorder.Note("registered command extension size is not a record size");
        return recorder.End(TAPE_STATUS_INSUFFICIENT_RESOURCES);
    }

    const Route route{*target_, init, DataOrNull(extension_), recorder};
    std::vector<uint8_t> commandExtension(init.CommandExtensionSize, 0);
    std::array<uint8_t, kMaxSenseLength> sense{};
    SCSI_REQUEST_BLOCK srb{};
    SrbBufferStore store(&srb, options.failAllocation);
    size_t allocationsRecorded = 0;
    TAPE_STATUS last = TAPE_STATUS_SUCCESS;

    for (ULONG call = 0; call < options.maxCalls; ++call) {
        // A fresh block per call; only the buffer and what the drive put in it carry over.
        srb = SCSI_REQUEST_BLOCK{};
        srb.Length = sizeof(srb);
        srb.DataBuffer = const_cast<uint8_t*>(store.data());
        srb.SrbFlags = SRB_FLAGS_DATA_IN;
        srb.TimeOutValue = init.DefaultTimeOutValue;
        srb.SenseInfoBuffer = sense.data();
        srb.SenseInfoBufferLength = options.senseInfoLength;
        ULONG retryFlags = 0;

        const TAPE_STATUS returned = routine(DataOrNull(extension_), DataOrNull(commandExtension),
                                             record, &srb, call, last, &retryFlags);
        recorder.Call(CallEvent{call, last, returned, retryFlags});
        if (options.afterCall) {
            options.afterCall(call, returned, srb);
        }
        for (; allocationsRecorded < store.history().size(); ++allocationsRecorded) {
            const auto& [size, granted] = store.history()[allocationsRecorded];
            recorder.Allocation(size, granted);
        }

        if (returned == TAPE_STATUS_CALLBACK) {
            last = TAPE_STATUS_CALLBACK;
            continue;
        }
        if (returned == TAPE_STATUS_CHECK_TEST_UNIT_READY) {
            const TAPE_STATUS ready = CheckReady(route, options.senseInfoLength);
            if (ready != TAPE_STATUS_SUCCESS) {
                return recorder.End(ready);
            }
            last = TAPE_STATUS_SUCCESS;
            continue;
        }
        if (returned != TAPE_STATUS_SEND_SRB_AND_CALLBACK) {
            return recorder.End(returned);
        }

        const bool returnErrors = (retryFlags & RETURN_ERRORS) != 0;
        SendOptions send;
        send.returnErrors = returnErrors;
        send.sense = sense.data();
        send.senseCapacity = options.senseInfoLength;
        const Outcome outcome = SendCommand(route, srb, store.data(), store.size(), send);
        if (outcome.failed && !returnErrors) {
            return recorder.End(outcome.status);
        }
        last = outcome.status;
    }
    recorder.Note("the request did not end within " + std::to_string(options.maxCalls) + " calls");
    return recorder.End(TAPE_STATUS_IO_DEVICE_ERROR);
}

TAPE_STATUS Device::Send(const uint8_t* cdb, size_t cdbLength, Direction direction, uint8_t* data,
                         size_t length, size_t& transferred, Transcript* transcript,
                         size_t transcriptDataLimit, std::vector<uint8_t>* sense)
{
    transferred = 0;
    if (sense != nullptr) {
        sense->clear();
    }
    Recorder recorder(transcript, transcriptDataLimit);
    const TAPE_INIT_DATA& init = driver_->init();
    if (length > std::numeric_limits<ULONG>::max() || (length > 0 && data == nullptr)) {
        recorder.Note("not sent: a transfer of " + std::to_string(length) +
                      " bytes that the request block cannot describe");
        return TAPE_STATUS_INVALID_PARAMETER;
    }
    SCSI_REQUEST_BLOCK srb{};
    srb.Length = sizeof(srb);
    srb.CdbLength = static_cast<UCHAR>(std::min(cdbLength, kMaxCdbLength + 1));
    std::copy_n(cdb, std::min(cdbLength, kMaxCdbLength), srb.Cdb);
    srb.SrbFlags = direction == Direction::Out ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN;
    srb.DataTransferLength = static_cast<ULONG>(length);
    srb.DataBuffer = data;
    srb.TimeOutValue = init.DefaultTimeOutValue;
    std::array<uint8_t, kMaxSenseLength> delivered{};
    SendOptions options;
    options.sense = delivered.data();
    options.senseCapacity = RunOptions{}.senseInfoLength;
    const Outcome outcome = SendCommand(Route{*target_, init, DataOrNull(extension_), recorder},
                                        srb, data, static_cast<ULONG>(length), options);
    transferred = outcome.transferred;
    if (sense != nullptr && srb.SenseInfoBuffer != nullptr) {
        sense->assign(delivered.begin(), delivered.begin() + srb.SenseInfoBufferLength);
    }
    return outcome.failed ? outcome.status : TAPE_STATUS_SUCCESS;
}

}  // namespace host
