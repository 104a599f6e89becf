// Reading and setting the tape position: READ POSITION, REWIND, LOCATE and SPACE, and the
// driver's record of the current partition, committed only after the drive accepted a move.
#include "driver/bytes.h"
#include "driver/request.h"
#include "driver/scsi.h"
#include "driver/velmdat.h"

namespace {

// SPACE code for each space method, TAPE_SPACE_END_OF_DATA first.
constexpr UCHAR kSpaceCodes[] = {
    scsi::kSpaceCodeEndOfData, scsi::kSpaceCodeBlocks,
    scsi::kSpaceCodeFilemarks, scsi::kSpaceCodeSequentialFilemarks,
    scsi::kSpaceCodeSetmarks,  scsi::kSpaceCodeSequentialSetmarks,
};
static_assert(sizeof(kSpaceCodes) == TAPE_SPACE_SEQUENTIAL_SMKS - TAPE_SPACE_END_OF_DATA + 1,
              "one code per space method");

// LOCATE(10) to the block address of the request, returning early when the request asks.
void LocalLocate(PSCSI_REQUEST_BLOCK Srb, const TAPE_SET_POSITION& request)
{
    UCHAR* const cdb = Srb->Cdb;
    Srb->CdbLength = scsi::kCdbLength10;
    cdb[0] = scsi::kOpLocate;
    if (LocalImmediateRequested(request.Immediate)) {
        cdb[1] = scsi::kLocateImmed;
    }
    PutBe32(&cdb[3], request.Offset.LowPart);
    Srb->TimeOutValue = scsi::kTimeoutLocateSeconds;
}

// A logical locate names its partition whenever the request names one and the tape is known
// to be partitioned, also when it is the partition the driver believes current: the drive
// changes partition behind the driver's back (a load leaves the tape in the first partition, an
// absolute locate can cross into the other), and a locate that trusted the remembered partition
// would land in the wrong one, report success and let the next write overwrite data there.
TAPE_STATUS LocalLogicalLocate(PSCSI_REQUEST_BLOCK Srb, const TAPE_SET_POSITION& request,
                               const MINITAPE_EXTENSION& extension, ULONG& pending)
{
    const ULONG current = extension.CurrentPartition;
    const bool carried = request.Partition != kNoPartition && current != kNoPartition;
    // Cdb[8] holds the 0-based partition in one byte; a wider number would be cut to its
    // low byte and move the tape into a partition the caller never named.
    if (carried && request.Partition - kPartitionNumberBase > scsi::kLocatePartitionFieldMax) {
        return TAPE_STATUS_INVALID_PARAMETER;
    }
    LocalLocate(Srb, request);
    if (carried) {
        Srb->Cdb[1] |= scsi::kLocateCp;
        Srb->Cdb[8] = static_cast<UCHAR>(request.Partition - kPartitionNumberBase);
    }
    pending = carried ? request.Partition : current;
    return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
}

// SPACE: the code replaces the low three bits of Cdb[1], the count goes in bytes 2 to 4.
TAPE_STATUS LocalSpace(PSCSI_REQUEST_BLOCK Srb, const TAPE_SET_POSITION& request)
{
    const bool counted = request.Method != TAPE_SPACE_END_OF_DATA;
    // SPACE carries a 24-bit two's-complement count; a wider value would be cut to
    // its low bits and move the tape somewhere the caller never asked for.
    const auto count = static_cast<LONG>(request.Offset.LowPart);
    if (counted && (count < scsi::kSpaceCountMin || count > scsi::kSpaceCountMax)) {
        return TAPE_STATUS_INVALID_PARAMETER;
    }
    UCHAR* const cdb = Srb->Cdb;
    cdb[0] = scsi::kOpSpace;
    const UCHAR code = kSpaceCodes[request.Method - TAPE_SPACE_END_OF_DATA];
    cdb[1] = static_cast<UCHAR>((cdb[1] & ~scsi::kSpaceCodeMask) | code);
    if (counted) {
        PutBe24(&cdb[2], request.Offset.LowPart);  // low 24 bits: -1 leaves as FF FF FF
    }
    // Spacing can run the whole tape; the default time-out would expire first.
    Srb->TimeOutValue = scsi::kTimeoutSpaceSeconds;
    return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
}

TAPE_STATUS LocalBuildPosition(PSCSI_REQUEST_BLOCK Srb, const TAPE_SET_POSITION& request,
                               const MINITAPE_EXTENSION& extension, COMMAND_EXTENSION& command)
{
    // The drive returns early only from rewind and locate.
    if (request.Immediate != 0 && request.Method > TAPE_LOGICAL_BLOCK) {
        return TAPE_STATUS_NOT_IMPLEMENTED;
    }
    UCHAR* const cdb = Srb->Cdb;
    TapeClassZeroMemory(cdb, scsi::kCdbClearBytes);
    Srb->CdbLength = scsi::kCdbLength6;
    ULONG pending = 0;
    TAPE_STATUS status = TAPE_STATUS_SEND_SRB_AND_CALLBACK;
    switch (request.Method) {
    case TAPE_REWIND:
        cdb[0] = scsi::kOpRewind;
        if (LocalImmediateRequested(request.Immediate)) {
            cdb[1] = scsi::kRewindImmed;
        }
        Srb->TimeOutValue = scsi::kTimeoutRewindSeconds;
        break;
    case TAPE_ABSOLUTE_BLOCK:
        LocalLocate(Srb, request);
        cdb[1] |= scsi::kLocateBt;  // the drive's own block address, as READ POSITION gives
        break;
    case TAPE_LOGICAL_BLOCK:
        status = LocalLogicalLocate(Srb, request, extension, pending);
        break;
    case TAPE_SPACE_END_OF_DATA:
    case TAPE_SPACE_RELATIVE_BLOCKS:
    case TAPE_SPACE_FILEMARKS:
    case TAPE_SPACE_SEQUENTIAL_FMKS:
    case TAPE_SPACE_SETMARKS:
    case TAPE_SPACE_SEQUENTIAL_SMKS:
        status = LocalSpace(Srb, request);
        break;
    default:  // the drive has no pseudo-logical form, and no other method exists
        return TAPE_STATUS_NOT_IMPLEMENTED;
    }
    if (status != TAPE_STATUS_SEND_SRB_AND_CALLBACK) {
        return status;
    }
    Srb->DataTransferLength = 0;
    command.PendingPartition = pending;
    return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
}

}  // namespace

TAPE_STATUS TAPECALL GetPosition(PVOID /*MinitapeExtension*/, PVOID /*CommandExtension*/,
                                 PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb, ULONG CallNumber,
                                 TAPE_STATUS /*LastStatus*/, PULONG /*RetryFlags*/)
{
    auto* request = static_cast<TAPE_GET_POSITION*>(CommandParameters);
    switch (CallNumber) {
    case 0: {  // Clear the answer; the class driver checks readiness first.
        const ULONG type = request->Type;
        TapeClassZeroMemory(request, sizeof(*request));
        request->Type = type;
        return TAPE_STATUS_CHECK_TEST_UNIT_READY;
    }
    case 1: {  // READ POSITION.
        if (request->Type > TAPE_LOGICAL_POSITION) {
            return TAPE_STATUS_NOT_IMPLEMENTED;  // the drive has no pseudo-logical form
        }
        if (!TapeClassAllocateSrbBuffer(Srb, scsi::kReadPositionLength)) {
            return TAPE_STATUS_INSUFFICIENT_RESOURCES;
        }
        UCHAR* const cdb = Srb->Cdb;
        TapeClassZeroMemory(cdb, scsi::kCdbClearBytes);
        Srb->CdbLength = scsi::kCdbLength10;
        cdb[0] = scsi::kOpReadPosition;
        if (request->Type == TAPE_ABSOLUTE_POSITION) {
            cdb[1] = scsi::kReadPositionBt;
        }
        Srb->DataTransferLength = scsi::kReadPositionLength;
        return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
    }
    default: {  // The drive's answer becomes the record.
        const auto* data = static_cast<const UCHAR*>(Srb->DataBuffer);
        if (data[scsi::kRposFlagsByte] & scsi::kRposBpu) {
            return TAPE_STATUS_INVALID_DEVICE_REQUEST;
        }
        if (request->Type == TAPE_LOGICAL_POSITION) {
            // The drive counts partitions from 0, tape requests from 1.
            request->Partition = data[scsi::kRposPartitionByte] + kPartitionNumberBase;
        }
        request->Offset.HighPart = 0;
        request->Offset.LowPart = GetBe32(&data[scsi::kRposFirstBlockByte]);
        return TAPE_STATUS_SUCCESS;
    }
    }
}

TAPE_STATUS TAPECALL SetPosition(PVOID MinitapeExtension, PVOID CommandExtension,
                                 PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb, ULONG CallNumber,
                                 TAPE_STATUS /*LastStatus*/, PULONG /*RetryFlags*/)
{
    auto* extension = static_cast<MINITAPE_EXTENSION*>(MinitapeExtension);
    auto* command = static_cast<COMMAND_EXTENSION*>(CommandExtension);
    const auto* request = static_cast<const TAPE_SET_POSITION*>(CommandParameters);
    switch (CallNumber) {
    case 0:  // One REWIND, LOCATE or SPACE.
        return LocalBuildPosition(Srb, *request, *extension, *command);
    default:  // The drive accepted the move: only now does a partition change count.
        if (request->Method == TAPE_LOGICAL_BLOCK) {
            extension->CurrentPartition = command->PendingPartition;
        }
        return TAPE_STATUS_SUCCESS;
    }
}
