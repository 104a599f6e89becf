// One table from tape status to error number, as Linux's st driver reports each condition:
// ENOSPC at the end of the medium (which makes `tar -M` ask for the next volume), EACCES for
// a write-protected cartridge, ENOMEDIUM for an empty drive, EIO for what failed on the
// medium or in the drive.
#include "tools/rmt_errno.h"

#include <cerrno>
#include <cstring>

#include "host/names.h"

namespace tools::rmt {
namespace {

struct StatusErrno {
    TAPE_STATUS status;
    int error;
};

constexpr StatusErrno kTable[] = {
    {TAPE_STATUS_INSUFFICIENT_RESOURCES, ENOMEM},
    {TAPE_STATUS_NOT_IMPLEMENTED, ENOSYS},
    {TAPE_STATUS_INVALID_PARAMETER, EINVAL},
    {TAPE_STATUS_END_OF_MEDIA, ENOSPC},
    {TAPE_STATUS_EOM_OVERFLOW, ENOSPC},
    {TAPE_STATUS_NO_MEDIA, ENOMEDIUM},
    {TAPE_STATUS_UNRECOGNIZED_MEDIA, EMEDIUMTYPE},
    {TAPE_STATUS_CLEANER_CARTRIDGE_INSTALLED, EMEDIUMTYPE},
    {TAPE_STATUS_MEDIA_WRITE_PROTECTED, EACCES},
    {TAPE_STATUS_NO_SUCH_DEVICE, ENODEV},
    {TAPE_STATUS_DEVICE_BUSY, EBUSY},
    // Everything else st reports as an I/O error: a motion stopped by a mark, the beginning
    // of the tape or the end of data, a refused command, a medium or drive failure, a reset,
    // a changed medium, a lost connection.
};

}  // namespace

int ErrnoFor(TAPE_STATUS status)
{
    for (const StatusErrno& row : kTable) {
        if (row.status == status) {
            return row.error;
        }
    }
    return EIO;
}

Reply Failure(int error, const std::string& what)
{
    return Reply::Failed(error, std::string(std::strerror(error)) + ": " + what);
}

Reply Failure(TAPE_STATUS status, const std::string& what)
{
    return Failure(ErrnoFor(status), what + ": " + host::TapeStatusName(status) + " (" +
                                         host::TapeStatusMeaning(status) + ")");
}

}  // namespace tools::rmt
