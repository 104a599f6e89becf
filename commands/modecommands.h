// The two six-byte mode commands as the request groups build them, on a command block the
// caller has cleared and on a buffer obtained through the mode-buffer helpers.
#pragma once

#include "driver/scsi.h"
#include "platform/tapeclass.h"

// MODE SENSE(6) of one page's current values; DBD is whatever the buffer helper set.
inline void LocalModeSense6(PSCSI_REQUEST_BLOCK Srb, UCHAR pageCode, ULONG length)
{
    UCHAR* const cdb = Srb->Cdb;
    Srb->CdbLength = scsi::kCdbLength6;
    cdb[0] = scsi::kOpModeSense6;
    cdb[2] = pageCode;                    // PC 00b: current values
    cdb[4] = static_cast<UCHAR>(length);  // allocation length: the buffer helper's length
    Srb->DataTransferLength = length;
}

// MODE SELECT(6) of a page-format parameter list that lies in the data buffer.
inline void LocalModeSelect6(PSCSI_REQUEST_BLOCK Srb, ULONG length)
{
    UCHAR* const cdb = Srb->Cdb;
    Srb->CdbLength = scsi::kCdbLength6;
    cdb[0] = scsi::kOpModeSelect6;
    cdb[1] = scsi::kModeSelectPf;  // SP clear: the drive keeps no saved copy
    cdb[4] = static_cast<UCHAR>(length);
    Srb->DataTransferLength = length;
    Srb->SrbFlags |= SRB_FLAGS_DATA_OUT;  // the class driver's other flags stay
}
