// File and block counting as mt users know it: a filemark crossed forward starts the next
// file at block 0; crossed backward, the tape stands at the end of the file before, whose
// length nobody counted (block -1); an absolute locate, a setmark or anything unexplained
// makes both unknown rather than wrong.
#include "tools/file_count.h"

#include <cstdlib>

namespace tools {
namespace {

// Statuses of a command the drive refused before the tape moved: the count stays as it was.
bool Refused(TAPE_STATUS status)
{
    switch (status) {
    case TAPE_STATUS_MEDIA_WRITE_PROTECTED:
    case TAPE_STATUS_INVALID_PARAMETER:
    case TAPE_STATUS_INVALID_DEVICE_REQUEST:
    case TAPE_STATUS_NOT_IMPLEMENTED:
    case TAPE_STATUS_NO_MEDIA:
    case TAPE_STATUS_DEVICE_NOT_READY:
    case TAPE_STATUS_DEVICE_BUSY:
    case TAPE_STATUS_INSUFFICIENT_RESOURCES:
        return true;
    default:
        return false;
    }
}

}  // namespace

void FileCounter::Blocks(int64_t n)
{
    if (now_.block >= 0) {
        now_.block = now_.block + n >= 0 ? now_.block + n : -1;
    }
}

void FileCounter::Files(int64_t n)
{
    if (now_.file >= 0) {
        now_.file = now_.file + n >= 0 ? now_.file + n : -1;
    }
}

void FileCounter::Positioned(const TAPE_SET_POSITION& request, TAPE_STATUS status,
                             const SenseFacts& sense)
{
    const auto count = static_cast<int64_t>(request.Offset.QuadPart);
    const int64_t sign = count < 0 ? -1 : 1;
    // How many objects the command got over: all, or all but the residue.
    const int64_t done = status == TAPE_STATUS_SUCCESS
                             ? count
                             : (sense.information ? count - *sense.information : int64_t{0});
    const bool known = status == TAPE_STATUS_SUCCESS || sense.information.has_value();
    if (Refused(status)) {
        return;
    }
    now_.atEndOfData = status == TAPE_STATUS_NO_DATA_DETECTED;
    if (status == TAPE_STATUS_BEGINNING_OF_MEDIA) {
        now_ = store::FilePosition{0, 0, false};  // stopped at the beginning of the partition
        return;
    }
    switch (request.Method) {
    case TAPE_REWIND:
        now_ = status == TAPE_STATUS_SUCCESS ? store::FilePosition{0, 0, false}
                                             : store::FilePosition{};
        return;
    case TAPE_LOGICAL_BLOCK:
        // Block 0 of a partition is its beginning; any other address says nothing of files.
        now_ = status == TAPE_STATUS_SUCCESS && count == 0 ? store::FilePosition{0, 0, false}
                                                           : store::FilePosition{};
        return;
    case TAPE_SPACE_RELATIVE_BLOCKS:
        if (!known) {
            Lost();
        } else if (status == TAPE_STATUS_FILEMARK_DETECTED && sign > 0) {
            Files(1);
            now_.block = now_.file >= 0 ? 0 : -1;
        } else if (status == TAPE_STATUS_FILEMARK_DETECTED) {
            Files(-1);
            now_.block = -1;
        } else if (status == TAPE_STATUS_SUCCESS || status == TAPE_STATUS_NO_DATA_DETECTED) {
            Blocks(done);
        } else {
            Lost();
        }
        return;
    case TAPE_SPACE_FILEMARKS:
        if (!known || (status != TAPE_STATUS_SUCCESS && status != TAPE_STATUS_NO_DATA_DETECTED)) {
            Lost();
            return;
        }
        Files(done);
        // Forward the tape stands after the last filemark crossed, at the head of a file;
        // backward before it, at the end of a file of uncounted length; at end of data
        // after however many blocks followed the last filemark.
        now_.block = sign > 0 && status == TAPE_STATUS_SUCCESS && now_.file >= 0 ? 0 : -1;
        return;
    default:  // absolute blocks, setmarks, sequential marks, end of data
        Lost();
        now_.atEndOfData =
            request.Method == TAPE_SPACE_END_OF_DATA && status == TAPE_STATUS_SUCCESS;
        return;
    }
}

void FileCounter::MarksWritten(const TAPE_WRITE_MARKS& request, TAPE_STATUS status,
                               const SenseFacts& sense)
{
    if (Refused(status)) {
        return;
    }
    const int64_t count = request.Count;
    const int64_t done = status == TAPE_STATUS_SUCCESS ? count
                         : sense.information           ? count - *sense.information
                                                       : -1;
    if (done < 0 || request.Type == TAPE_SETMARKS) {
        Lost();  // a setmark is no file boundary to mt: what follows is counted by nobody
    } else if (done > 0) {
        Files(done);
        now_.block = now_.file >= 0 ? 0 : -1;
    }
    now_.atEndOfData = status == TAPE_STATUS_SUCCESS;
}

void FileCounter::Transferred(bool write, uint32_t blockSize, const host::TransferResult& result,
                              const SenseFacts& sense)
{
    const TAPE_STATUS status = result.status;
    if (Refused(status) && result.bytes == 0) {
        return;
    }
    int64_t blocks = 0;
    if (blockSize != 0) {
        blocks = static_cast<int64_t>(result.bytes / blockSize);
        // A fixed read stopped by a block of another length has passed over that block too.
        if (!write && status == TAPE_STATUS_INVALID_BLOCK_LENGTH) {
            ++blocks;
        }
    } else if (status == TAPE_STATUS_SUCCESS ||
               (!write && status == TAPE_STATUS_INVALID_BLOCK_LENGTH)) {
        blocks = 1;
    }
    now_.atEndOfData = false;
    switch (status) {
    case TAPE_STATUS_SUCCESS:
    case TAPE_STATUS_INVALID_BLOCK_LENGTH:
        Blocks(blocks);
        now_.atEndOfData = write && status == TAPE_STATUS_SUCCESS;
        return;
    case TAPE_STATUS_FILEMARK_DETECTED:
        Files(1);
        now_.block = now_.file >= 0 ? 0 : -1;
        return;
    case TAPE_STATUS_NO_DATA_DETECTED:
        Blocks(blocks);
        now_.atEndOfData = true;
        return;
    case TAPE_STATUS_DEVICE_DATA_ERROR:
        // A block that cannot be read: the drive stopped before it, after what it delivered.
        if (!write) {
            Blocks(blockSize != 0 ? blocks : 0);
            return;
        }
        [[fallthrough]];
    default:
        if (write && sense.information) {
            Blocks(blocks);  // the drive said how much it took; the rest never reached tape
        } else {
            Lost();
        }
        return;
    }
}

void FileCounter::Observed(int64_t address)
{
    if (address == 0) {
        now_.file = 0;
        now_.block = 0;
    }
}

}  // namespace tools
