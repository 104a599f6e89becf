// The one road by which the class-driver stand-in sends a command block, whoever built it:
// refused when the target could reach outside the request's buffer, sent on a copy of the
// data, and its answer checked and turned into a status as the platform's class driver does.
#include "host/send.h"

#include <algorithm>
#include <string>
#include <vector>

#include "host/sense.h"

namespace host {
namespace {

static_assert(kMaxCdbLength == sizeof(SCSI_REQUEST_BLOCK{}.Cdb), "a request block holds any CDB");

// Everything one command needs besides the answer: where the data lands, where sense goes.
struct Exchange {
    Direction direction = Direction::None;
    uint8_t* driverBuffer = nullptr;  // the request's buffer at DataBuffer, for data-in
    size_t dataLength = 0;
    bool returnErrors = false;
    uint8_t* senseBuffer = nullptr;
    size_t senseCapacity = 0;
};

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

// Turns an answer into a status, copying data and sense only as far as they were really
// delivered and fit, and lets TapeError refine a status derived from sense.
Outcome Evaluate(const ScsiAnswer& answer, const uint8_t* room, const Exchange& exchange,
                 SCSI_REQUEST_BLOCK& srb, const TAPE_INIT_DATA& init, void* extension,
                 Recorder& recorder)
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
            if (room != exchange.driverBuffer) {
                std::copy_n(room, answer.transferred, exchange.driverBuffer);
            }
            event.dataIn.assign(room, room + recorder.DataKept(answer.transferred));
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
            if (const auto malformed = SenseMalformed(sense.data(), sense.size())) {
                event.malformed = true;
                event.note = *malformed;
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

}  // namespace

Outcome SendCommand(const Route& route, SCSI_REQUEST_BLOCK& srb, const uint8_t* buffer,
                    ULONG bufferSize, const SendOptions& options)
{
    Recorder& recorder = route.recorder;
    CommandEvent command;
    const size_t cdbLength = std::min<size_t>(srb.CdbLength, kMaxCdbLength);
    command.cdb.assign(srb.Cdb, srb.Cdb + cdbLength);
    command.timeoutSeconds = srb.TimeOutValue;
    command.srbFlags = srb.SrbFlags;
    command.dataTransferLength = srb.DataTransferLength;
    command.readinessCheck = options.readinessCheck;
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
        command.dataOut.assign(data, data + recorder.DataKept(length));
    }
    recorder.Command(command);
    if (!refusal.empty()) {
        recorder.Note("not sent: " + refusal);
        return Outcome{TAPE_STATUS_INVALID_PARAMETER, true, 0};
    }

    // The target works on a copy: whatever it does, it cannot touch the driver's buffer
    // beyond the bytes it reports as moved. Only a target that cannot do so anyway is handed
    // the buffer itself.
    std::vector<uint8_t> scratch;
    uint8_t* room = data;
    if (length > 0 && !route.target.TouchesOnlyWhatItMoves()) {
        scratch = command.direction == Direction::Out ? std::vector<uint8_t>(data, data + length)
                                                      : std::vector<uint8_t>(length, 0);
        room = scratch.data();
    }
    ScsiCommand scsi;
    scsi.cdb = srb.Cdb;
    scsi.cdbLength = cdbLength;
    scsi.direction = command.direction;
    scsi.data = length > 0 ? room : nullptr;
    scsi.dataLength = length;
    scsi.timeoutSeconds = srb.TimeOutValue;
    const ScsiAnswer answer = route.target.Execute(scsi);

    Exchange exchange;
    exchange.direction = command.direction;
    exchange.driverBuffer = data;
    exchange.dataLength = length;
    exchange.returnErrors = options.returnErrors;
    exchange.senseBuffer = options.sense;
    exchange.senseCapacity = options.senseCapacity;
    return Evaluate(answer, room, exchange, srb, route.init, route.extension, recorder);
}

}  // namespace host
