// READ(6) and WRITE(6) as the class driver sends them for data transfers, with the same
// failure handling as the step runner: sense translation first, then the miniclass's TapeError.
#include "host/readwrite.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "host/sense.h"

namespace host {
namespace {

constexpr uint8_t kOpRead6 = 0x08;
constexpr uint8_t kOpWrite6 = 0x0A;
constexpr uint8_t kRwFixed = 0x01;  // transfer length counts blocks of the set size
constexpr uint8_t kReadSili = 0x02;  // a block shorter than asked for is no error
constexpr size_t kCdbLength6 = 6;
constexpr uint32_t kMaxTransferLength = 0xFFFFFF;  // 24-bit field
constexpr size_t kSenseLength = 18;
constexpr size_t kSenseKeyByte = 2;
constexpr size_t kAdditionalLengthByte = 7;
constexpr size_t kAdditionalLengthBase = 8;

std::array<uint8_t, kCdbLength6> Cdb(uint8_t op, uint8_t flags, uint32_t transferLength)
{
    return {op, flags, static_cast<uint8_t>(transferLength >> 16),
            static_cast<uint8_t>(transferLength >> 8), static_cast<uint8_t>(transferLength), 0};
}

std::vector<uint8_t> Clip(const uint8_t* data, size_t length)
{
    return {data, data + std::min(length, kTranscriptDataLimit)};
}

// A command that ended with CHECK CONDITION: the sense translation first, then the miniclass's
// TapeError, which sees the command and the sense in a request block as on the platform.
TAPE_STATUS FromSense(const ClassDriver& driver, Device& device, const std::array<uint8_t, 6>& cdb,
                      Direction direction, uint8_t* data, size_t length, const ScsiAnswer& answer,
                      AnswerEvent& event)
{
    const TAPE_INIT_DATA& init = driver.init();
    std::array<uint8_t, kSenseLength> senseBuffer{};
    const std::vector<uint8_t>& sense = answer.sense;
    const size_t delivered = std::min(sense.size(), senseBuffer.size());
    std::copy_n(sense.begin(), delivered, senseBuffer.begin());
    event.sense.assign(sense.begin(), sense.begin() + delivered);
    if (sense.size() <= kSenseKeyByte ||
        (sense.size() > kAdditionalLengthByte &&
         kAdditionalLengthBase + sense[kAdditionalLengthByte] > sense.size())) {
        event.malformed = true;
        event.note = "sense data that cannot be read";
        return TAPE_STATUS_IO_DEVICE_ERROR;
    }
    TAPE_STATUS status = TranslateSense(sense.data(), sense.size());
    event.translated = status;
    if (init.TapeError != nullptr) {
        SCSI_REQUEST_BLOCK srb{};
        srb.Length = sizeof(srb);
        srb.CdbLength = static_cast<UCHAR>(cdb.size());
        std::copy(cdb.begin(), cdb.end(), srb.Cdb);
        srb.SrbFlags = direction == Direction::Out ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN;
        srb.DataTransferLength = static_cast<ULONG>(length);
        srb.DataBuffer = data;
        srb.ScsiStatus = answer.status;
        srb.SenseInfoBuffer = senseBuffer.data();
        srb.SenseInfoBufferLength = static_cast<UCHAR>(delivered);
        srb.TimeOutValue = init.DefaultTimeOutValue;
        init.TapeError(device.extension().data(), &srb, &status);
    }
    event.refined = status;
    return status;
}

// Sends one command and returns its status; the transcript gets the command and the answer.
TAPE_STATUS Send(const ClassDriver& driver, Device& device, const std::array<uint8_t, 6>& cdb,
                 Direction direction, uint8_t* data, size_t length, size_t& transferred,
                 Transcript* transcript)
{
    const TAPE_INIT_DATA& init = driver.init();
    ScsiCommand command;
    command.cdb = cdb.data();
    command.cdbLength = cdb.size();
    command.direction = direction;
    command.data = data;
    command.dataLength = length;
    command.timeoutSeconds = init.DefaultTimeOutValue;

    if (transcript != nullptr) {
        TranscriptEvent event;
        event.kind = TranscriptEvent::Kind::Command;
        event.command.cdb.assign(cdb.begin(), cdb.end());
        event.command.timeoutSeconds = init.DefaultTimeOutValue;
        event.command.srbFlags = direction == Direction::Out ? SRB_FLAGS_DATA_OUT
                                                             : SRB_FLAGS_DATA_IN;
        event.command.dataTransferLength = static_cast<uint32_t>(length);
        event.command.direction = direction;
        if (direction == Direction::Out) {
            event.command.dataOut = Clip(data, length);
        }
        transcript->Add(event);
    }

    const ScsiAnswer answer = device.target().Execute(command);
    AnswerEvent event;
    event.transportFailed = answer.transportFailed;
    event.scsiStatus = answer.status;
    event.transferred = answer.transferred;
    TAPE_STATUS status = TAPE_STATUS_SUCCESS;
    transferred = 0;
    if (answer.transportFailed) {
        event.note = "the command never reached the drive";
        status = TAPE_STATUS_DEVICE_NOT_CONNECTED;
    } else if (answer.transferred > length) {
        event.malformed = true;
        event.note = "target reported " + std::to_string(answer.transferred) +
                     " bytes moved for a transfer of " + std::to_string(length);
        status = TAPE_STATUS_IO_DEVICE_ERROR;
    } else {
        transferred = answer.transferred;
        if (direction == Direction::In) {
            event.dataIn = Clip(data, answer.transferred);
        }
        if (answer.status == kScsiCheckCondition) {
            status = FromSense(driver, device, cdb, direction, data, length, answer, event);
        } else if (answer.status == kScsiBusy) {
            status = TAPE_STATUS_DEVICE_BUSY;
        } else if (answer.status != kScsiGood) {
            event.note = "SCSI status without sense";
            status = TAPE_STATUS_IO_DEVICE_ERROR;
        }
    }
    if (answer.status != kScsiCheckCondition || event.malformed) {
        event.translated = status;
        event.refined = status;
    }
    if (transcript != nullptr) {
        TranscriptEvent item;
        item.kind = TranscriptEvent::Kind::Answer;
        item.answer = event;
        transcript->Add(item);
    }
    return status;
}

}  // namespace

TransferResult WriteBlocks(const ClassDriver& driver, Device& device, const uint8_t* data,
                           size_t length, uint32_t blockSize, Transcript* transcript)
{
    if (transcript != nullptr) {
        transcript->Begin("WriteBlocks");
    }
    TransferResult result;
    const auto finish = [&](TAPE_STATUS status) {
        result.status = status;
        if (transcript != nullptr) {
            transcript->End(status);
        }
        return result;
    };
    // The target writes what it is handed; a copy keeps the caller's bytes const.
    std::vector<uint8_t> chunk;
    if (blockSize == 0) {
        if (length > kMaxTransferLength || (length > 0 && data == nullptr)) {
            return finish(TAPE_STATUS_INVALID_PARAMETER);
        }
        chunk.assign(data, data + length);
        size_t moved = 0;
        const TAPE_STATUS status =
            Send(driver, device, Cdb(kOpWrite6, 0, static_cast<uint32_t>(length)),
                 Direction::Out, chunk.data(), chunk.size(), moved, transcript);
        result.bytes = moved;
        return finish(status);
    }
    if (length % blockSize != 0 || (length > 0 && data == nullptr)) {
        return finish(TAPE_STATUS_INVALID_PARAMETER);
    }
    const size_t perCommand = std::max<size_t>(1, kMaxTransferBytes / blockSize) * blockSize;
    size_t offset = 0;
    while (offset < length) {
        const size_t bytes = std::min(perCommand, length - offset);
        chunk.assign(data + offset, data + offset + bytes);
        size_t moved = 0;
        const TAPE_STATUS status = Send(
            driver, device, Cdb(kOpWrite6, kRwFixed, static_cast<uint32_t>(bytes / blockSize)),
            Direction::Out, chunk.data(), chunk.size(), moved, transcript);
        result.bytes += moved;
        if (status != TAPE_STATUS_SUCCESS) {
            return finish(status);
        }
        offset += bytes;
    }
    return finish(TAPE_STATUS_SUCCESS);
}

TransferResult ReadBlocks(const ClassDriver& driver, Device& device, uint8_t* buffer,
                          size_t capacity, uint32_t blockSize, Transcript* transcript)
{
    if (transcript != nullptr) {
        transcript->Begin("ReadBlocks");
    }
    TransferResult result;
    size_t length = 0;
    std::array<uint8_t, 6> cdb{};
    if (blockSize == 0) {
        length = std::min<size_t>(capacity, kMaxTransferLength);
        cdb = Cdb(kOpRead6, kReadSili, static_cast<uint32_t>(length));
    } else {
        const size_t blocks = std::min<size_t>(capacity / blockSize, kMaxTransferLength);
        length = blocks * blockSize;
        cdb = Cdb(kOpRead6, kRwFixed, static_cast<uint32_t>(blocks));
    }
    if (length == 0 || buffer == nullptr) {
        result.status = TAPE_STATUS_INVALID_PARAMETER;
    } else {
        result.status =
            Send(driver, device, cdb, Direction::In, buffer, length, result.bytes, transcript);
    }
    if (transcript != nullptr) {
        transcript->End(result.status);
    }
    return result;
}

}  // namespace host
