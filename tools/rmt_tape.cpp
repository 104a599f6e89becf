// Opening, closing, reading and writing the tape as Linux's st driver does them, over a
// velmtape session: the habits tar, mt and dump rely on (one block per read, 0 at a filemark,
// a filemark at close after writing, rewind at close by name, ENOSPC near the end).
#include "tools/rmt_tape.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tools/rmt_errno.h"
#include "tools/rmt_transfer.h"

namespace tools::rmt {
namespace {

// Why a cartridge or device could not be opened, as open(2) would say it: the system's own
// reason for a cartridge this user cannot reach or may not change (a session keeps the
// position in it even when only reading), else an I/O error (busy, damaged, refused), whose
// message says which.
int OpenErrno(const std::string& target)
{
    if (ChooseTarget(target) != TargetKind::Cartridge) {
        return ENXIO;
    }
    struct stat info {};
    if (stat(target.c_str(), &info) != 0 ||
        faccessat(AT_FDCWD, target.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        return errno;
    }
    return EIO;
}

}  // namespace

LinuxTape::~LinuxTape()
{
    try {
        if (session_) {
            Close();
        }
    } catch (...) {
        // The process is ending; what the session committed before stays.
    }
}

Reply LinuxTape::NotOpen() const
{
    return Failure(EBADF, "no tape is open (send O first)");
}

Reply LinuxTape::Open(const std::string& name, int accessMode)
{
    if (session_) {
        Close();  // its failure belonged to the tape before, whose client moved on
    }
    const DeviceName device = ParseDeviceName(name);
    if (device.target.empty()) {
        return Failure(ENOENT, "no cartridge or device is named");
    }
    SessionOptions options = defaults_;
    options.path = device.target;
    auto session = std::make_unique<Session>(options);
    try {
        session->Open();
    } catch (const ClaimRefused& e) {
        return Failure(ENXIO, ShownName(device.target) + ": " + e.what());
    } catch (const ToolError& e) {
        return Failure(OpenErrno(device.target), ShownName(device.target) + ": " + e.what());
    }
    session_ = std::move(session);
    readable_ = accessMode != O_WRONLY;
    writable_ = accessMode != O_RDONLY;
    rewindAtClose_ = device.rewindAtClose;
    wrote_ = false;
    unloaded_ = false;
    earlyWarning_ = false;
    blockSize_.reset();
    pending_.reset();
    pendingMark_ = false;
    return Reply::Done(0);
}

Reply LinuxTape::Close()
{
    if (!session_) {
        return NotOpen();
    }
    Reply reply = Reply::Done(0);
    if (wrote_) {
        wrote_ = false;
        reply = Marks(TAPE_FILEMARKS, 1, false);
    }
    if (rewindAtClose_ && !unloaded_) {
        const Reply rewound = Space(TAPE_REWIND, 0);
        if (!rewound.ok() && rewound.error != ENOMEDIUM && reply.ok()) {
            reply = rewound;
        }
    }
    try {
        session_->Close();
    } catch (const ToolError& e) {
        if (reply.ok()) {
            reply = Failure(EIO, e.what());
        }
    }
    session_.reset();
    return reply;
}

Reply LinuxTape::FromOutcome(const CommandResult& out, const char* what)
{
    if (!out.failure) {
        return Reply::Done(0);
    }
    const tools::Failure& failure = *out.failure;
    const std::string text = (failure.what.empty() ? std::string(what) : failure.what) +
                             (failure.hint.empty() ? std::string() : " (" + failure.hint + ")");
    return failure.status ? rmt::Failure(*failure.status, text) : rmt::Failure(EINVAL, text);
}

Reply LinuxTape::Request(host::Request request, void* record)
{
    const TAPE_STATUS status = session_->Run(request, record);
    if (status == TAPE_STATUS_SUCCESS) {
        return Reply::Done(0);
    }
    return Failure(status, std::string(host::RequestName(request)) + " failed");
}

Reply LinuxTape::Space(ULONG method, int64_t count)
{
    TAPE_SET_POSITION record{};
    record.Method = method;
    record.Offset.QuadPart = count;
    return Request(host::Request::SetPosition, &record);
}

Reply LinuxTape::Marks(ULONG type, int64_t count, bool immediate)
{
    if (count < 0) {
        return Failure(EINVAL, "a count of marks is never negative");
    }
    TAPE_WRITE_MARKS record{};
    record.Type = type;
    record.Count = static_cast<ULONG>(count);
    record.Immediate = immediate ? 1 : 0;
    return Request(host::Request::WriteMarks, &record);
}

Reply LinuxTape::Prepare(ULONG operation)
{
    CommandResult out;
    tools::Prepare(*session_, operation, false, out);
    return FromOutcome(out, "Prepare failed");
}

std::optional<Reply> LinuxTape::LearnBlockSize()
{
    if (blockSize_) {
        return std::nullopt;
    }
    TAPE_GET_MEDIA_PARAMETERS media{};
    const TAPE_STATUS status = session_->Run(host::Request::GetMediaParameters, &media);
    if (status == TAPE_STATUS_SUCCESS) {
        blockSize_ = media.BlockSize;
    } else if (status == TAPE_STATUS_INVALID_DEVICE_REQUEST ||
               status == TAPE_STATUS_NOT_IMPLEMENTED) {
        blockSize_ = 0;  // a drive that keeps its block size to itself (tgt): variable blocks
    } else {
        return Failure(status, "GetMediaParameters failed");
    }
    return std::nullopt;
}

Reply LinuxTape::Read(size_t count, std::vector<uint8_t>& buffer)
{
    if (!session_) {
        return NotOpen();
    }
    if (!readable_) {
        return Failure(EBADF, "the tape was opened for writing only");
    }
    if (pending_) {
        Reply reply = std::move(*pending_);
        pending_.reset();
        pendingMark_ = false;
        return reply;
    }
    if (count == 0) {
        return Reply::Done(0);
    }
    if (const std::optional<Reply> failed = LearnBlockSize()) {
        return *failed;
    }
    const uint32_t blockSize = *blockSize_;
    if (blockSize != 0 && count % blockSize != 0) {
        return Failure(EINVAL, "a read of " + std::to_string(count) +
                                   " bytes is not a whole number of the drive's " +
                                   std::to_string(blockSize) + "-byte blocks");
    }
    wrote_ = false;
    earlyWarning_ = false;
    const size_t capacity =
        blockSize == 0 ? std::min(count, kTransferMax)
                       : std::min(count, std::max<size_t>(1, kTransferMax / blockSize) * blockSize);
    if (buffer.size() < capacity) {
        buffer.resize(capacity);
    }
    const host::TransferResult result = session_->Read(buffer.data(), capacity, blockSize);
    const ReadDone done = InterpretRead(result, session_->lastSense(), blockSize, capacity);
    Reply stopped = Reply::Done(0);
    switch (done.stop) {
    case ReadDone::Stop::None:
    case ReadDone::Stop::EndOfData:
        return Reply::Done(static_cast<int64_t>(done.bytes));
    case ReadDone::Stop::Mark:
        pendingMark_ = done.bytes > 0;
        break;
    case ReadDone::Stop::LongBlock:
        stopped = Failure(
            ENOMEM, "the block is " +
                        (done.blockLength
                             ? std::to_string(*done.blockLength) + " bytes long, more than the "
                             : std::string("longer than the ")) +
                        std::to_string(capacity) + " bytes asked for; the tape has moved past it");
        break;
    case ReadDone::Stop::OtherLength:
        stopped =
            Failure(EIO, "a block of another length than the drive's " + std::to_string(blockSize) +
                             " bytes; the tape has moved past it (setblk 0, MTSETBLK 0, "
                             "reads blocks of any length)");
        break;
    case ReadDone::Stop::Failed:
        stopped = Failure(result.status, done.detail.empty() ? "ReadBlocks failed"
                                                             : "ReadBlocks failed: " + done.detail);
        break;
    }
    if (done.bytes == 0) {
        return stopped;
    }
    // The data before the stop is delivered now; the stop itself answers the next read.
    pending_ = stopped;
    return Reply::Done(static_cast<int64_t>(done.bytes));
}

Reply LinuxTape::Write(const std::vector<uint8_t>& data)
{
    if (!session_) {
        return NotOpen();
    }
    if (!writable_) {
        return Failure(EBADF, "the tape was opened for reading only");
    }
    pending_.reset();
    pendingMark_ = false;
    if (earlyWarning_) {
        // st refuses the write after the early warning once, so the writer learns of the end
        // of the tape; the write after it goes to tape again, for a trailer.
        earlyWarning_ = false;
        return Failure(ENOSPC,
                       "the tape is at its end; this write was refused so the writer "
                       "can change volumes, the next one is written");
    }
    if (data.empty()) {
        return Reply::Done(0);
    }
    if (const std::optional<Reply> failed = LearnBlockSize()) {
        return *failed;
    }
    const uint32_t blockSize = *blockSize_;
    if (blockSize != 0 && data.size() % blockSize != 0) {
        return Failure(EINVAL, "a write of " + std::to_string(data.size()) +
                                   " bytes is not a whole number of the drive's " +
                                   std::to_string(blockSize) + "-byte blocks");
    }
    const host::TransferResult result = session_->Write(data.data(), data.size(), blockSize);
    const WriteDone done = InterpretWrite(result, session_->lastSense(), blockSize, data.size());
    wrote_ = wrote_ || done.bytes > 0;
    switch (done.stop) {
    case WriteDone::Stop::None:
        return Reply::Done(static_cast<int64_t>(done.bytes));
    case WriteDone::Stop::EarlyWarning:
        earlyWarning_ = true;
        return Reply::Done(static_cast<int64_t>(done.bytes));
    case WriteDone::Stop::Full:
        if (done.bytes > 0) {
            earlyWarning_ = true;
            return Reply::Done(static_cast<int64_t>(done.bytes));
        }
        return Failure(result.status, "the tape is full: nothing of the " +
                                          std::to_string(data.size()) + " bytes was written");
    case WriteDone::Stop::Failed:
        break;
    }
    return Failure(result.status, "WriteBlocks failed; " + std::to_string(done.bytes) + " of " +
                                      std::to_string(data.size()) + " bytes reached the tape");
}

}  // namespace tools::rmt
