// Medium operations: load, unload, lock, unlock, long erase, setmarks and filemarks, each one
// six-byte command without data, and the status request answered by the readiness check.
#include "driver/bytes.h"
#include "driver/request.h"
#include "driver/scsi.h"
#include "driver/velmdat.h"

namespace {

// Every command of this group starts from a cleared six-byte block and moves no data.
UCHAR* LocalStartCommand(PSCSI_REQUEST_BLOCK Srb, UCHAR opcode, ULONG timeoutSeconds)
{
    UCHAR* const cdb = Srb->Cdb;
    TapeClassZeroMemory(cdb, scsi::kCdbClearBytes);
    Srb->CdbLength = scsi::kCdbLength6;
    cdb[0] = opcode;
    Srb->TimeOutValue = timeoutSeconds;
    Srb->DataTransferLength = 0;
    return cdb;
}

TAPE_STATUS LocalBuildPrepare(PSCSI_REQUEST_BLOCK Srb, const TAPE_PREPARE& request)
{
    const bool locking = request.Operation == TAPE_LOCK || request.Operation == TAPE_UNLOCK;
    // The drive neither tensions nor formats a cartridge.
    if (request.Operation != TAPE_LOAD && request.Operation != TAPE_UNLOAD && !locking) {
        return TAPE_STATUS_NOT_IMPLEMENTED;
    }
    // Medium removal is switched at once; the drive offers no early return for it.
    if (locking && request.Immediate != 0) {
        return TAPE_STATUS_NOT_IMPLEMENTED;
    }
    UCHAR* cdb = nullptr;
    if (locking) {
        cdb = LocalStartCommand(Srb, scsi::kOpPreventAllow, scsi::kTimeoutPreventAllowSeconds);
        cdb[4] =
            request.Operation == TAPE_LOCK ? scsi::kPreventAllowPrevent : scsi::kPreventAllowAllow;
    } else {
        // Threading or unthreading the tape takes longer than the default time-out.
        cdb = LocalStartCommand(Srb, scsi::kOpLoadUnload, scsi::kTimeoutLoadUnloadSeconds);
        cdb[4] = request.Operation == TAPE_LOAD ? scsi::kLoadUnloadLoad : scsi::kLoadUnloadUnload;
    }
    if (LocalImmediateRequested(request.Immediate)) {
        cdb[1] = scsi::kLoadUnloadImmed;  // only reached for load and unload
    }
    return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
}

TAPE_STATUS LocalBuildWriteMarks(PSCSI_REQUEST_BLOCK Srb, const TAPE_WRITE_MARKS& request)
{
    // The drive writes no short or long filemarks.
    if (request.Type != TAPE_SETMARKS && request.Type != TAPE_FILEMARKS) {
        return TAPE_STATUS_NOT_IMPLEMENTED;
    }
    // WRITE FILEMARKS carries a 24-bit count; a wider one would be cut to its low bits and
    // write a number of marks the caller never asked for.
    if (request.Count > scsi::kWriteFilemarksCountMax) {
        return TAPE_STATUS_INVALID_PARAMETER;
    }
    UCHAR* const cdb =
        LocalStartCommand(Srb, scsi::kOpWriteFilemarks, scsi::kTimeoutWriteFilemarksSeconds);
    if (LocalImmediateRequested(request.Immediate)) {
        cdb[1] = scsi::kWriteFilemarksImmed;
    }
    if (request.Type == TAPE_SETMARKS) {
        cdb[1] |= scsi::kWriteFilemarksWsmk;
    }
    PutBe24(&cdb[2], request.Count);  // a count of 0 is sent: it flushes the drive's buffer
    return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
}

}  // namespace

TAPE_STATUS TAPECALL Prepare(PVOID /*MinitapeExtension*/, PVOID /*CommandExtension*/,
                             PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb, ULONG CallNumber,
                             TAPE_STATUS /*LastStatus*/, PULONG /*RetryFlags*/)
{
    switch (CallNumber) {
    case 0:  // LOAD UNLOAD or PREVENT ALLOW MEDIUM REMOVAL.
        return LocalBuildPrepare(Srb, *static_cast<const TAPE_PREPARE*>(CommandParameters));
    default:  // Only a command that succeeded leads here.
        return TAPE_STATUS_SUCCESS;
    }
}

TAPE_STATUS TAPECALL Erase(PVOID /*MinitapeExtension*/, PVOID /*CommandExtension*/,
                           PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb, ULONG CallNumber,
                           TAPE_STATUS /*LastStatus*/, PULONG /*RetryFlags*/)
{
    const auto* request = static_cast<const TAPE_ERASE*>(CommandParameters);
    switch (CallNumber) {
    case 0: {  // ERASE, always the long form.
        // The drive offers only the long erase, which overwrites the whole tape.
        if (request->Type != TAPE_ERASE_LONG) {
            return TAPE_STATUS_NOT_IMPLEMENTED;
        }
        // Erasing a whole DAT cartridge takes hours.
        UCHAR* const cdb = LocalStartCommand(Srb, scsi::kOpErase, scsi::kTimeoutEraseLongSeconds);
        cdb[1] = scsi::kEraseLong;
        if (LocalImmediateRequested(request->Immediate)) {
            cdb[1] |= scsi::kEraseImmed;
        }
        return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
    }
    default:  // Only a command that succeeded leads here.
        return TAPE_STATUS_SUCCESS;
    }
}

TAPE_STATUS TAPECALL WriteMarks(PVOID /*MinitapeExtension*/, PVOID /*CommandExtension*/,
                                PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb, ULONG CallNumber,
                                TAPE_STATUS /*LastStatus*/, PULONG /*RetryFlags*/)
{
    switch (CallNumber) {
    case 0:  // WRITE FILEMARKS, of setmarks or filemarks.
        return LocalBuildWriteMarks(Srb, *static_cast<const TAPE_WRITE_MARKS*>(CommandParameters));
    default:  // Only a command that succeeded leads here.
        return TAPE_STATUS_SUCCESS;
    }
}

TAPE_STATUS TAPECALL GetStatus(PVOID /*MinitapeExtension*/, PVOID /*CommandExtension*/,
                               PVOID /*CommandParameters*/, PSCSI_REQUEST_BLOCK /*Srb*/,
                               ULONG CallNumber, TAPE_STATUS /*LastStatus*/, PULONG /*RetryFlags*/)
{
    switch (CallNumber) {
    case 0:  // The class driver's readiness check is the whole answer.
        return TAPE_STATUS_CHECK_TEST_UNIT_READY;
    default:  // A drive that failed the check has already ended the request.
        return TAPE_STATUS_SUCCESS;
    }
}
