// The two six-byte mode commands as the request groups build them, on a command block the
// caller has cleared and on a buffer obtained through the mode-buffer helpers, and the headers
// every MODE SELECT parameter list starts with.
#pragma once

#include "driver/scsi.h"
#include "driver/velmdat.h"
#include "modepages/modepages.h"
#include "platform/tapeclass.h"

// The mode-buffer routines of modepages/, as the request groups choose among them.
using LocalAllocateModeBuffer = BOOLEAN (*)(PSCSI_REQUEST_BLOCK, PMINITAPE_EXTENSION, PUCHAR*,
                                            PUCHAR*, PUCHAR*, PULONG);
using LocalLocateModeBuffer = VOID (*)(PSCSI_REQUEST_BLOCK, PMINITAPE_EXTENSION, PUCHAR*, PUCHAR*,
                                       PUCHAR*, PULONG);

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

// MODE SELECT(6) of the parameter list that lies in the data buffer; listFormat says whether
// it holds pages (kModeSelectPf) or only a block descriptor.
inline void LocalModeSelect6(PSCSI_REQUEST_BLOCK Srb, ULONG length, UCHAR listFormat)
{
    UCHAR* const cdb = Srb->Cdb;
    Srb->CdbLength = scsi::kCdbLength6;
    cdb[0] = scsi::kOpModeSelect6;
    cdb[1] = listFormat;  // SP clear: the drive keeps no saved copy
    cdb[4] = static_cast<UCHAR>(length);
    Srb->DataTransferLength = length;
    Srb->SrbFlags |= SRB_FLAGS_DATA_OUT;  // the class driver's other flags stay
}

// Clears the block, obtains the page's buffer (DBD set where the buffer has no room for a
// descriptor) and builds the MODE SENSE of the page; FALSE when no buffer was granted.
inline BOOLEAN LocalSenseModePage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION extension,
                                  LocalAllocateModeBuffer allocate, UCHAR pageCode)
{
    PUCHAR header = nullptr;
    PUCHAR descriptor = nullptr;
    PUCHAR page = nullptr;
    ULONG length = 0;
    TapeClassZeroMemory(Srb->Cdb, scsi::kCdbClearBytes);
    if (!allocate(Srb, extension, &header, &descriptor, &page, &length)) {
        return FALSE;
    }
    LocalModeSense6(Srb, pageCode, length);
    return TRUE;
}

// The drive's answer of the MODE SENSE step before, in the buffer the class driver kept.
struct LocalModeAnswer {
    PUCHAR header;
    PUCHAR page;
    ULONG length;
};

inline LocalModeAnswer LocalFindModeAnswer(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION extension,
                                           LocalLocateModeBuffer locate)
{
    PUCHAR header = nullptr;
    PUCHAR descriptor = nullptr;
    PUCHAR page = nullptr;
    ULONG length = 0;
    locate(Srb, extension, &header, &descriptor, &page, &length);
    return LocalModeAnswer{header, page, length};
}

// The parameter list header of every MODE SELECT: the mode data length is reserved there, the
// medium type the default, and the device-specific byte buffered mode 1 with write protection
// clear (the drive reports protection, an initiator never sets it).
inline void LocalModeSelectHeader(PUCHAR header, UCHAR blockDescriptorLength)
{
    header[scsi::kModeDataLengthByte] = scsi::kModeDataLengthReserved;
    header[scsi::kModeMediumTypeByte] = scsi::kModeMediumTypeDefault;
    header[scsi::kModeDeviceSpecificByte] = scsi::kModeBufferedMode1;
    header[scsi::kModeBlockDescriptorLengthByte] = blockDescriptorLength;
}

// A page sent back: its code and length as this driver writes it, PS and the bit beside it as
// the drive returned them.
inline void LocalModeSelectPageHeader(PUCHAR page, UCHAR pageCode, UCHAR pageLength)
{
    page[scsi::kPageCodeByte] =
        static_cast<UCHAR>((page[scsi::kPageCodeByte] & scsi::kPageFlagsMask) | pageCode);
    page[scsi::kPageLengthByte] = pageLength;
}
