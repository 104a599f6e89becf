// READ(6) and WRITE(6) as the class driver sends them for data transfers, with the same
// failure handling as the step runner: sense translation first, then the miniclass's TapeError;
// and the drive's block length, which a fixed READ counts in.
#include "host/readwrite.h"

#include <algorithm>
#include <array>
#include <vector>

#include "host/scsi.h"
#include "host/sense.h"

namespace host {
namespace {

// MODE SENSE(6) of the device configuration page, cut after the block descriptor: every
// tape drive answers that page, and the header and descriptor are all the length needs.
constexpr uint8_t kModeSenseAllocation = kModeHeaderLength + kBlockDescriptorLength;

// Sends one command through the device with the runner's failure handling; the transcript
// keeps the first data bytes of each command.
TAPE_STATUS Send(Device& device, const std::array<uint8_t, kCdbLength6>& cdb, Direction direction,
                 uint8_t* data, size_t length, size_t& transferred, Transcript* transcript,
                 std::vector<uint8_t>* sense = nullptr)
{
    return device.Send(cdb.data(), cdb.size(), direction, data, length, transferred, transcript,
                       kTranscriptDataLimit, sense);
}

// What the drive's residue leaves of a READ that ended in CHECK CONDITION: the blocks or bytes
// asked for less those not delivered. A variable block longer than the room filled the room
// (a negative residue). Nothing without a residue, or with one the transfer cannot hold.
std::optional<size_t> DriveCount(const SenseFacts& sense, size_t length, size_t blocks,
                                 uint32_t blockSize)
{
    if (!sense.information) {
        return std::nullopt;
    }
    const int64_t residue = *sense.information;
    if (blockSize == 0) {
        if (residue < 0) {
            return length;
        }
        return static_cast<size_t>(residue) <= length
                   ? std::optional<size_t>(length - static_cast<size_t>(residue))
                   : std::nullopt;
    }
    if (residue < 0 || static_cast<size_t>(residue) > blocks) {
        return std::nullopt;
    }
    return (blocks - static_cast<size_t>(residue)) * blockSize;
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
    // Nothing writes into data going out: a target works on a copy of it, or is handed the
    // buffer itself only when it never writes into one (host::Target), so the caller's bytes
    // stay as they were without a copy of our own.
    auto* bytes = const_cast<uint8_t*>(data);
    if (blockSize == 0) {
        if (length > kMaxTransferLength || (length > 0 && data == nullptr)) {
            return finish(TAPE_STATUS_INVALID_PARAMETER);
        }
        size_t moved = 0;
        const TAPE_STATUS status =
            Send(device, MakeCdb6(kOpWrite6, 0, static_cast<uint32_t>(length)), Direction::Out,
                 bytes, length, moved, transcript);
        result.bytes = moved;
        return finish(status);
    }
    if (length % blockSize != 0 || (length > 0 && data == nullptr)) {
        return finish(TAPE_STATUS_INVALID_PARAMETER);
    }
    const size_t perCommand = std::max<size_t>(1, kMaxTransferBytes / blockSize) * blockSize;
    size_t offset = 0;
    while (offset < length) {
        const size_t count = std::min(perCommand, length - offset);
        size_t moved = 0;
        const TAPE_STATUS status =
            Send(device, MakeCdb6(kOpWrite6, kRwFixed, static_cast<uint32_t>(count / blockSize)),
                 Direction::Out, bytes + offset, count, moved, transcript);
        result.bytes += moved;
        if (status != TAPE_STATUS_SUCCESS) {
            return finish(status);
        }
        offset += count;
    }
    return finish(TAPE_STATUS_SUCCESS);
}

ReadResult ReadBlocks(Device& device, uint8_t* buffer, size_t capacity, uint32_t blockSize,
                      Transcript* transcript)
{
    if (transcript != nullptr) {
        transcript->Begin("ReadBlocks");
    }
    ReadResult result;
    size_t length = 0;
    size_t blocks = 0;
    std::array<uint8_t, kCdbLength6> cdb{};
    if (blockSize == 0) {
        length = std::min<size_t>(capacity, kMaxTransferLength);
        cdb = MakeCdb6(kOpRead6, kReadSili, static_cast<uint32_t>(length));
    } else {
        blocks = std::min<size_t>(capacity / blockSize, kMaxTransferLength);
        length = blocks * blockSize;
        cdb = MakeCdb6(kOpRead6, kRwFixed, static_cast<uint32_t>(blocks));
    }
    if (length == 0 || buffer == nullptr) {
        result.status = TAPE_STATUS_INVALID_PARAMETER;
    } else {
        std::vector<uint8_t> sense;
        result.status =
            Send(device, cdb, Direction::In, buffer, length, result.moved, transcript, &sense);
        if (result.status == TAPE_STATUS_SUCCESS) {
            result.reported = result.moved;  // GOOD, or an error the drive recovered from
        } else if (!sense.empty()) {
            const SenseFacts facts = ReadSense(sense);
            result.reported = DriveCount(facts, length, blocks, blockSize);
            if (facts.mediumError && facts.information) {
                // This drive stops before a block it cannot read and names that block in
                // INFORMATION, which then is no residue: what it delivered before came whole.
                // Never more than a residue there would allow; without a VALID INFORMATION
                // (tgt at end of data) nothing is vouched for.
                result.reported = std::min(result.moved, result.reported.value_or(result.moved));
            }
        }
        result.bytes = result.reported ? std::min(*result.reported, result.moved) : 0;
    }
    if (transcript != nullptr) {
        transcript->End(result.status);
    }
    return result;
}

std::optional<uint32_t> DriveBlockLength(Device& device, Transcript* transcript)
{
    if (transcript != nullptr) {
        transcript->Begin("DriveBlockLength");
    }
    std::array<uint8_t, kModeSenseAllocation> answer{};
    size_t moved = 0;
    const std::array<uint8_t, kCdbLength6> cdb{kOpModeSense6,        0, kPageDeviceConfiguration, 0,
                                               kModeSenseAllocation, 0};
    const TAPE_STATUS status = device.Send(cdb.data(), cdb.size(), Direction::In, answer.data(),
                                           answer.size(), moved, transcript);
    if (transcript != nullptr) {
        transcript->End(status);
    }
    if (status != TAPE_STATUS_SUCCESS || moved < answer.size() ||
        answer[kModeDescriptorLengthByte] != kBlockDescriptorLength) {
        return std::nullopt;
    }
    return GetBe24(&answer[kModeHeaderLength + kDescriptorBlockLengthByte]);
}

}  // namespace host
