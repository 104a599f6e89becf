// Refinement of the class driver's error status from the drive's fixed-format sense data:
// the two conditions where the QT-7310's sense says more than the generic translation.
#include "driver/velmdat.h"

#include "driver/scsi.h"

namespace {

// An undelivered sense byte counts as "no match": the status passes unchanged, always safe.
bool LocalSenseByte(const SCSI_REQUEST_BLOCK& srb, ULONG index, UCHAR& value)
{
    if (srb.SenseInfoBuffer == nullptr || index >= srb.SenseInfoBufferLength) {
        return false;
    }
    value = static_cast<const UCHAR*>(srb.SenseInfoBuffer)[index];
    return true;
}

}  // namespace

VOID TAPECALL TapeError(PVOID /*MinitapeExtension*/, PSCSI_REQUEST_BLOCK Srb,
                        PTAPE_STATUS TapeStatus)
{
    if (Srb == nullptr || TapeStatus == nullptr) {
        return;
    }
    UCHAR asc = 0;
    UCHAR ascq = 0;
    UCHAR key = 0;
    switch (*TapeStatus) {
    case TAPE_STATUS_BUS_RESET:
        // The drive reports a removed cartridge as a unit attention; say what it means.
        if (LocalSenseByte(*Srb, scsi::kSenseAscByte, asc) &&
            LocalSenseByte(*Srb, scsi::kSenseAscqByte, ascq) && asc == scsi::kAscMediumNotPresent &&
            ascq == scsi::kAscqMediumNotPresent) {
            *TapeStatus = TAPE_STATUS_NO_MEDIA;
        }
        break;
    case TAPE_STATUS_IO_DEVICE_ERROR:
        // An aborted command is the drive declining for now, not a broken device: the caller
        // may try again once it is ready.
        if (LocalSenseByte(*Srb, scsi::kSenseKeyByte, key) &&
            (key & scsi::kSenseKeyMask) == scsi::kSenseKeyAbortedCommand) {
            *TapeStatus = TAPE_STATUS_DEVICE_NOT_READY;
        }
        break;
    default:
        break;
    }
}
