// READ(6) and WRITE(6) as the class driver sends them for data transfers, with the same
// failure handling as the step runner: sense translation first, then the miniclass's TapeError.
#include "host/readwrite.h"

#include <algorithm>
#include <array>
#include <vector>

#include "host/bytes.h"

namespace host {
namespace {

constexpr uint8_t kOpRead6 = 0x08;
constexpr uint8_t kOpWrite6 = 0x0A;
constexpr uint8_t kRwFixed = 0x01;   // transfer length counts blocks of the set size
constexpr uint8_t kReadSili = 0x02;  // a block shorter than asked for is no error
constexpr size_t kCdbLength6 = 6;
constexpr uint32_t kMaxTransferLength = 0xFFFFFF;  // 24-bit field

std::array<uint8_t, kCdbLength6> Cdb(uint8_t op, uint8_t flags, uint32_t transferLength)
{
    std::array<uint8_t, kCdbLength6> cdb{op, flags};
    PutBe24(&cdb[2], transferLength);
    return cdb;
}

// Sends one command through the device with the runner's failure handling; the transcript
// keeps the first data bytes of each command.
TAPE_STATUS Send(Device& device, const std::array<uint8_t, kCdbLength6>& cdb, Direction direction,
                 uint8_t* data, size_t length, size_t& transferred, Transcript* transcript)
{
    return device.Send(cdb.data(), cdb.size(), direction, data, length, transferred, transcript,
                       kTranscriptDataLimit);
}

}  // namespace

TransferResult WriteBlocks(Device& device, const uint8_t* data, size_t length, uint32_t blockSize,
                           Transcript* transcript)
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
            Send(device, Cdb(kOpWrite6, 0, static_cast<uint32_t>(length)), Direction::Out,
                 chunk.data(), chunk.size(), moved, transcript);
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
        const TAPE_STATUS status =
            Send(device, Cdb(kOpWrite6, kRwFixed, static_cast<uint32_t>(bytes / blockSize)),
                 Direction::Out, chunk.data(), chunk.size(), moved, transcript);
        result.bytes += moved;
        if (status != TAPE_STATUS_SUCCESS) {
            return finish(status);
        }
        offset += bytes;
    }
    return finish(TAPE_STATUS_SUCCESS);
}

TransferResult ReadBlocks(Device& device, uint8_t* buffer, size_t capacity, uint32_t blockSize,
                          Transcript* transcript)
{
    if (transcript != nullptr) {
        transcript->Begin("ReadBlocks");
    }
    TransferResult result;
    size_t length = 0;
    std::array<uint8_t, kCdbLength6> cdb{};
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
        result.status = Send(device, cdb, Direction::In, buffer, length, result.bytes, transcript);
    }
    if (transcript != nullptr) {
        transcript->End(result.status);
    }
    return result;
}

}  // namespace host
