// Buffers for the mode pages read with MODE SENSE(6) and written back with MODE SELECT(6).
// The allocating routine serves the step that sends MODE SENSE; the locating one the step
// after it, when the drive's answer lies in the same buffer (the class driver keeps it).
#include "modepages/modepages.h"

#include "driver/scsi.h"

namespace {

// These buffers carry no block descriptor, so the page follows the header directly.
VOID LocalLocate(PSCSI_REQUEST_BLOCK Srb, ULONG length, PUCHAR* ModeHeader, PUCHAR* BlockDescriptor,
                 PUCHAR* Page, PULONG BufferLength)
{
    const auto header = static_cast<PUCHAR>(Srb->DataBuffer);
    *ModeHeader = header;
    *BlockDescriptor = nullptr;
    *Page = header + scsi::kModeHeaderLength;
    *BufferLength = length;
}

}  // namespace

VOID LocalGetPartPageData(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION /*MinitapeExtension*/,
                          PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                          PULONG BufferLength)
{
    LocalLocate(Srb, scsi::kPartBufferLength, ModeHeader, BlockDescriptor, Page, BufferLength);
}

VOID LocalGetConfigPageData(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION /*MinitapeExtension*/,
                            PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                            PULONG BufferLength)
{
    LocalLocate(Srb, scsi::kConfigBufferLength, ModeHeader, BlockDescriptor, Page, BufferLength);
}

VOID LocalGetCompressPageData(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION /*MinitapeExtension*/,
                              PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                              PULONG BufferLength)
{
    LocalLocate(Srb, scsi::kCompressBufferLength, ModeHeader, BlockDescriptor, Page, BufferLength);
}

// DBD is left to the caller: partitioning asks for no descriptor itself.
BOOLEAN LocalAllocatePartPage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION MinitapeExtension,
                              PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                              PULONG BufferLength)
{
    if (!TapeClassAllocateSrbBuffer(Srb, scsi::kPartBufferLength)) {
        return FALSE;
    }
    LocalGetPartPageData(Srb, MinitapeExtension, ModeHeader, BlockDescriptor, Page, BufferLength);
    return TRUE;
}

BOOLEAN LocalAllocateConfigPage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION MinitapeExtension,
                                PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                                PULONG BufferLength)
{
    // The buffer has no room for a block descriptor: the MODE SENSE must not ask for one.
    Srb->Cdb[1] |= scsi::kModeSenseDbd;
    if (!TapeClassAllocateSrbBuffer(Srb, scsi::kConfigBufferLength)) {
        return FALSE;
    }
    LocalGetConfigPageData(Srb, MinitapeExtension, ModeHeader, BlockDescriptor, Page, BufferLength);
    return TRUE;
}

BOOLEAN LocalAllocateCompressPage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION MinitapeExtension,
                                  PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                                  PULONG BufferLength)
{
    // The buffer has no room for a block descriptor: the MODE SENSE must not ask for one.
    Srb->Cdb[1] |= scsi::kModeSenseDbd;
    if (!TapeClassAllocateSrbBuffer(Srb, scsi::kCompressBufferLength)) {
        return FALSE;
    }
    LocalGetCompressPageData(Srb, MinitapeExtension, ModeHeader, BlockDescriptor, Page,
                             BufferLength);
    return TRUE;
}
