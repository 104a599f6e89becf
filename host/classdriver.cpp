// The class-driver stand-in: loads a miniclass through its entry, discovers devices through a
// target, and runs each tape request by the step protocol the miniclass relies on, recording
// every call, allocation, command and answer.
#include "host/classdriver.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>

#include "host/sense.h"
#include "host/services.h"

namespace host {
namespace {

constexpr ULONG kStatusUnsuccessful = 0xC0000001u;
constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpInquiry = 0x12;
constexpr size_t kCdbLength6 = 6;
constexpr size_t kMaxCdbLength = sizeof(SCSI_REQUEST_BLOCK{}.Cdb);
constexpr uint8_t kInquiryAllocation = sizeof(INQUIRYDATA);  // 96: the platform's whole record
constexpr size_t kInquiryDeviceTypeByte = 0;
constexpr uint8_t kInquiryDeviceTypeMask = 0x1F;
constexpr uint8_t kSequentialAccess = 0x01;
constexpr size_t kMaxSenseLength = 255;                      // SenseInfoBufferLength is one byte
constexpr size_t kSenseKeyByte = 2;
constexpr size_t kAdditionalLengthByte = 7;
constexpr size_t kAdditionalLengthBase = 8;
// Larger per-device or per-request records than this are a broken registration, not a size.
constexpr ULONG kMaxRecordSize = 1u << 20;

// Collects events only when somebody asked for a transcript.
class Recorder {
public:
    // Data bytes beyond dataLimit per command are left out of the transcript, so that a long
    // transfer does not keep a second copy of everything it moved.
    explicit Recorder(Transcript* transcript, size_t dataLimit = SIZE_MAX)
        : transcript_(transcript), dataLimit_(dataLimit)
    {
    }

    void Begin(const std::string& name)
    {
        if (transcript_ != nullptr) {
            transcript_->Begin(name);
        }
    }
    void Note(const std::string& text)
    {
        if (transcript_ != nullptr) {
            TranscriptEvent event;
            event.kind = TranscriptEvent::Kind::Note;
            event.note = text;
            transcript_->Add(std::move(event));
        }
    }
    void Call(const CallEvent& call)
    {
        if (transcript_ != nullptr) {
            TranscriptEvent event;
            event.kind = TranscriptEvent::Kind::Call;
            event.call = call;
            transcript_->Add(std::move(event));
        }
    }
    void Allocation(ULONG size, bool granted)
    {
        if (transcript_ != nullptr) {
            TranscriptEvent event;
            event.kind = TranscriptEvent::Kind::Allocation;
            event.allocation.size = size;
            event.allocation.granted = granted;
            transcript_->Add(std::move(event));
        }
    }
    void Command(const CommandEvent& command)
    {
        if (transcript_ != nullptr) {
            TranscriptEvent event;
            event.kind = TranscriptEvent::Kind::Command;
            event.command = command;
            Clip(event.command.dataOut);
            transcript_->Add(std::move(event));
        }
    }
    void Answer(const AnswerEvent& answer)
    {
        if (transcript_ != nullptr) {
            TranscriptEvent event;
            event.kind = TranscriptEvent::Kind::Answer;
            event.answer = answer;
            Clip(event.answer.dataIn);
            transcript_->Add(std::move(event));
        }
    }
    TAPE_STATUS End(TAPE_STATUS status)
    {
        if (transcript_ != nullptr) {
            transcript_->End(status);
        }
        return status;
    }

private:
    void Clip(std::vector<uint8_t>& bytes) const
    {
        if (bytes.size() > dataLimit_) {
            bytes.resize(dataLimit_);
        }
    }

    Transcript* transcript_;
    size_t dataLimit_;
};

TAPE_PROCESS_COMMAND_ROUTINE RoutineFor(const TAPE_INIT_DATA& init, Request request)
{
    switch (request) {
    case Request::CreatePartition:
        return init.CreatePartition;
    case Request::Erase:
        return init.Erase;
    case Request::GetDriveParameters:
        return init.GetDriveParameters;
    case Request::GetMediaParameters:
        return init.GetMediaParameters;
    case Request::GetPosition:
        return init.GetPosition;
    case Request::GetStatus:
        return init.GetStatus;
    case Request::Prepare:
        return init.Prepare;
    case Request::SetDriveParameters:
        return init.SetDriveParameters;
    case Request::SetMediaParameters:
        return init.SetMediaParameters;
    case Request::SetPosition:
        return init.SetPosition;
    case Request::WriteMarks:
        return init.WriteMarks;
    }
    return nullptr;
}

// A command the drive never answered: what the class driver reports for each kind of loss.
TAPE_STATUS TransportStatus(TransportFault fault)
{
    switch (fault) {
    case TransportFault::TimedOut:
        return TAPE_STATUS_IO_TIMEOUT;
    case TransportFault::Reset:
        return TAPE_STATUS_BUS_RESET;
    case TransportFault::Busy:
        return TAPE_STATUS_DEVICE_BUSY;
    case TransportFault::Garbled:
        return TAPE_STATUS_IO_DEVICE_ERROR;
    case TransportFault::Lost:
        break;
    }
    return TAPE_STATUS_DEVICE_NOT_CONNECTED;
}

void* DataOrNull(std::vector<uint8_t>& bytes)
{
    return bytes.empty() ? nullptr : bytes.data();
}

// What the stand-in makes of one answer.
struct Outcome {
    TAPE_STATUS status = TAPE_STATUS_SUCCESS;
    bool failed = false;     // the command did not simply succeed
    size_t transferred = 0;  // data bytes the drive moved, when its count can be trusted
};

// Everything one command needs besides the answer: where the data lands, where sense goes.
struct Exchange {
    Direction direction = Direction::None;
    uint8_t* driverBuffer = nullptr;  // the request's buffer at DataBuffer, for data-in
    size_t dataLength = 0;
    bool returnErrors = false;
    uint8_t* senseBuffer = nullptr;
    size_t senseCapacity = 0;
};

// Turns an answer into a status, copying data and sense only as far as they were really
// delivered and fit, and lets TapeError refine a status derived from sense.
Outcome Evaluate(const ScsiAnswer& answer, const std::vector<uint8_t>& scratch,
                 const Exchange& exchange, SCSI_REQUEST_BLOCK& srb, const TAPE_INIT_DATA& init,
                 void* extension, Recorder& recorder)
{
    AnswerEvent event;
    event.transportFailed = answer.transportFailed;
    event.scsiStatus = answer.status;
    event.transferred = answer.transferred;
    Outcome outcome;
    outcome.failed = true;

    if (answer.transportFailed) {
        event.note = answer.transportError.empty() ? "the command never reached the drive"
                                                   : answer.transportError;
        outcome.status = TransportStatus(answer.fault);
    } else if (answer.transferred > exchange.dataLength) {
        // The count cannot be true; none of the data is trusted or copied.
        event.malformed = true;
        event.note = "target reported " + std::to_string(answer.transferred) +
                     " bytes moved for a transfer of " + std::to_string(exchange.dataLength);
        outcome.status = TAPE_STATUS_IO_DEVICE_ERROR;
    } else {
        outcome.transferred = answer.transferred;
        if (exchange.direction == Direction::In && answer.transferred > 0) {
            std::copy_n(scratch.begin(), answer.transferred, exchange.driverBuffer);
            event.dataIn.assign(scratch.begin(), scratch.begin() + answer.transferred);
        }
        if (answer.status == kScsiGood) {
            outcome.failed = false;
            outcome.status = TAPE_STATUS_SUCCESS;
            if (exchange.direction == Direction::In && answer.transferred < exchange.dataLength) {
                event.note = "underrun: " + std::to_string(answer.transferred) + " of " +
                             std::to_string(exchange.dataLength) + " bytes arrived";
                if (exchange.returnErrors) {
                    outcome.failed = true;
                    outcome.status = TAPE_STATUS_DATA_OVERRUN;
                }
            }
        } else if (answer.status == kScsiCheckCondition) {
            const std::vector<uint8_t>& sense = answer.sense;
            const size_t delivered = std::min(sense.size(), exchange.senseCapacity);
            std::copy_n(sense.begin(), delivered, exchange.senseBuffer);
            srb.SenseInfoBuffer = exchange.senseBuffer;
            srb.SenseInfoBufferLength = static_cast<UCHAR>(delivered);
            event.sense.assign(sense.begin(), sense.begin() + delivered);
            if (sense.size() <= kSenseKeyByte) {
                event.malformed = true;
                event.note =
                    "sense of " + std::to_string(sense.size()) + " bytes holds no sense key";
                outcome.status = TAPE_STATUS_IO_DEVICE_ERROR;
            } else if (sense.size() > kAdditionalLengthByte &&
                       kAdditionalLengthBase + sense[kAdditionalLengthByte] > sense.size()) {
                event.malformed = true;
                event.note = "sense claims " +
                             std::to_string(kAdditionalLengthBase + sense[kAdditionalLengthByte]) +
                             " bytes, " + std::to_string(sense.size()) + " arrived";
                outcome.status = TAPE_STATUS_IO_DEVICE_ERROR;
            } else {
                // Translation reads everything the drive sent; TapeError sees what fitted
                // into the request block, as on the platform.
                event.translated = TranslateSense(sense.data(), sense.size());
                outcome.status = event.translated;
                if (init.TapeError != nullptr) {
                    init.TapeError(extension, &srb, &outcome.status);
                }
                event.refined = outcome.status;
                recorder.Answer(event);
                outcome.failed = outcome.status != TAPE_STATUS_SUCCESS;
                return outcome;
            }
        } else if (answer.status == kScsiBusy) {
            outcome.status = TAPE_STATUS_DEVICE_BUSY;
        } else {
            event.note = "SCSI status without sense";
            outcome.status = TAPE_STATUS_IO_DEVICE_ERROR;
        }
    }
    event.translated = outcome.status;
    event.refined = outcome.status;
    recorder.Answer(event);
    return outcome;
}

// The class driver's own readiness check, in a block of its own so the request's block and
// buffer stay as the routine left them.
TAPE_STATUS CheckReady(Target& target, const TAPE_INIT_DATA& init, void* extension,
                       const RunOptions& options, Recorder& recorder)
{
    SCSI_REQUEST_BLOCK srb{};
    std::array<uint8_t, kMaxSenseLength> sense{};
    srb.Length = sizeof(srb);
    srb.CdbLength = kCdbLength6;
    srb.Cdb[0] = kOpTestUnitReady;
    srb.SrbFlags = SRB_FLAGS_DATA_IN;
    srb.TimeOutValue = init.DefaultTimeOutValue;
    srb.SenseInfoBuffer = sense.data();
    srb.SenseInfoBufferLength = options.senseInfoLength;

    CommandEvent command;
    command.cdb.assign(srb.Cdb, srb.Cdb + kCdbLength6);
    command.timeoutSeconds = srb.TimeOutValue;
    command.srbFlags = srb.SrbFlags;
    command.readinessCheck = true;
    recorder.Command(command);

    ScsiCommand scsi;
    scsi.cdb = srb.Cdb;
    scsi.cdbLength = kCdbLength6;
    scsi.timeoutSeconds = srb.TimeOutValue;
    const ScsiAnswer answer = target.Execute(scsi);

    Exchange exchange;
    exchange.senseBuffer = sense.data();
    exchange.senseCapacity = options.senseInfoLength;
    const Outcome outcome = Evaluate(answer, {}, exchange, srb, init, extension, recorder);
    return outcome.failed ? outcome.status : TAPE_STATUS_SUCCESS;
}

// Sends the block the routine built, if it can be sent without letting the target reach
// outside the request's buffer.
Outcome SendCommand(Target& target, const TAPE_INIT_DATA& init, void* extension,
                    SCSI_REQUEST_BLOCK& srb, const uint8_t* buffer, ULONG bufferSize,
                    bool returnErrors, uint8_t* sense, const RunOptions& options,
                    Recorder& recorder)
{
    CommandEvent command;
    const size_t cdbLength = std::min<size_t>(srb.CdbLength, kMaxCdbLength);
    command.cdb.assign(srb.Cdb, srb.Cdb + cdbLength);
    command.timeoutSeconds = srb.TimeOutValue;
    command.srbFlags = srb.SrbFlags;
    command.dataTransferLength = srb.DataTransferLength;
    command.direction = (srb.SrbFlags & SRB_FLAGS_DATA_OUT) != 0 ? Direction::Out
                        : srb.DataTransferLength > 0             ? Direction::In
                                                                 : Direction::None;
    const size_t length = srb.DataTransferLength;

    std::string refusal;
    if (srb.CdbLength == 0 || srb.CdbLength > kMaxCdbLength) {
        refusal = "CdbLength " + std::to_string(srb.CdbLength) + " is not a command length";
    } else if (length > 0) {
        // Compare addresses as integers: the routine may have pointed DataBuffer anywhere.
        const auto begin = reinterpret_cast<uintptr_t>(buffer);
        const auto at = reinterpret_cast<uintptr_t>(srb.DataBuffer);
        if (srb.DataBuffer == nullptr || buffer == nullptr) {
            refusal = "DataTransferLength " + std::to_string(length) + " without a buffer";
        } else if (at < begin || at - begin > bufferSize || length > bufferSize - (at - begin)) {
            refusal = "DataTransferLength " + std::to_string(length) +
                      " reaches past the buffer of " + std::to_string(bufferSize) + " bytes";
        }
    }
    auto* data = static_cast<uint8_t*>(srb.DataBuffer);
    if (refusal.empty() && command.direction == Direction::Out && length > 0) {
        command.dataOut.assign(data, data + length);
    }
    recorder.Command(command);
    if (!refusal.empty()) {
        recorder.Note("not sent: " + refusal);
        return Outcome{TAPE_STATUS_INVALID_PARAMETER, true, 0};
    }

    // The target works on a copy: whatever it does, it cannot touch the driver's buffer
    // beyond the bytes it reports as moved.
    std::vector<uint8_t> scratch(length, 0);
    if (command.direction == Direction::Out) {
        std::copy_n(data, length, scratch.begin());
    }
    ScsiCommand scsi;
    scsi.cdb = srb.Cdb;
    scsi.cdbLength = cdbLength;
    scsi.direction = command.direction;
    scsi.data = length > 0 ? scratch.data() : nullptr;
    scsi.dataLength = length;
    scsi.timeoutSeconds = srb.TimeOutValue;
    const ScsiAnswer answer = target.Execute(scsi);

    Exchange exchange;
    exchange.direction = command.direction;
    exchange.driverBuffer = data;
    exchange.dataLength = length;
    exchange.returnErrors = returnErrors;
    exchange.senseBuffer = sense;
    exchange.senseCapacity = options.senseInfoLength;
    return Evaluate(answer, scratch, exchange, srb, init, extension, recorder);
}

}  // namespace

const char* RequestName(Request request)
{
    switch (request) {
    case Request::CreatePartition:
        return "CreatePartition";
    case Request::Erase:
        return "Erase";
    case Request::GetDriveParameters:
        return "GetDriveParameters";
    case Request::GetMediaParameters:
        return "GetMediaParameters";
    case Request::GetPosition:
        return "GetPosition";
    case Request::GetStatus:
        return "GetStatus";
    case Request::Prepare:
        return "Prepare";
    case Request::SetDriveParameters:
        return "SetDriveParameters";
    case Request::SetMediaParameters:
        return "SetMediaParameters";
    case Request::SetPosition:
        return "SetPosition";
    case Request::WriteMarks:
        return "WriteMarks";
    }
    return "unknown request";
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

    std::array<uint8_t, kMaxCdbLength> cdb{};
    cdb[0] = kOpInquiry;
    cdb[4] = kInquiryAllocation;
    std::vector<uint8_t> scratch(kInquiryAllocation, 0);
    CommandEvent command;
    command.cdb.assign(cdb.begin(), cdb.begin() + kCdbLength6);
    command.timeoutSeconds = init.DefaultTimeOutValue;
    command.srbFlags = SRB_FLAGS_DATA_IN;
    command.dataTransferLength = kInquiryAllocation;
    command.direction = Direction::In;
    recorder.Command(command);

    ScsiCommand scsi;
    scsi.cdb = cdb.data();
    scsi.cdbLength = kCdbLength6;
    scsi.direction = Direction::In;
    scsi.data = scratch.data();
    scsi.dataLength = scratch.size();
    scsi.timeoutSeconds = init.DefaultTimeOutValue;
    const ScsiAnswer answer = target.Execute(scsi);

    // The inquiry's sense goes nowhere: no driver routine looks at a failed inquiry.
    SCSI_REQUEST_BLOCK srb{};
    std::array<uint8_t, kMaxSenseLength> sense{};
    Exchange exchange;
    exchange.direction = Direction::In;
    exchange.dataLength = scratch.size();
    exchange.senseBuffer = sense.data();
    exchange.senseCapacity = sense.size();
    std::vector<uint8_t> received(scratch.size(), 0);
    exchange.driverBuffer = received.data();
    TAPE_INIT_DATA noRefinement = init;
    noRefinement.TapeError = nullptr;
    const Outcome outcome =
        Evaluate(answer, scratch, exchange, srb, noRefinement, nullptr, recorder);
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
            const TAPE_STATUS ready =
                CheckReady(*target_, init, DataOrNull(extension_), options, recorder);
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
        const Outcome outcome =
            SendCommand(*target_, init, DataOrNull(extension_), srb, store.data(), store.size(),
                        returnErrors, sense.data(), options, recorder);
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
                         size_t transcriptDataLimit)
{
    transferred = 0;
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
    std::array<uint8_t, kMaxSenseLength> sense{};
    const RunOptions options;
    const Outcome outcome =
        SendCommand(*target_, init, DataOrNull(extension_), srb, data, static_cast<ULONG>(length),
                    false, sense.data(), options, recorder);
    transferred = outcome.transferred;
    return outcome.failed ? outcome.status : TAPE_STATUS_SUCCESS;
}

}  // namespace host
