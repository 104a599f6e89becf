// Buffers for the mode pages read with MODE SENSE(6) and written back with MODE SELECT(6).
// The allocating routine serves the step that sends MODE SENSE; the locating one the step
// after it, when the drive's answer lies in the same buffer (the class driver keeps it).
#include "modepages/modepages.h"

#include "driver/scsi.h"

namespace {

// What the driver knows of one page's buffer: its length, and the MODE SENSE bits the
// buffer itself demands.
struct ModeBuffer {
    ULONG length;
    UCHAR senseFlags;  // ORed into Cdb[1] before the allocation
};

// Partitioning asks for no descriptor itself; the other two buffers have no room for one.
constexpr ModeBuffer kPartBuffer = {scsi::kPartBufferLength, 0};
constexpr ModeBuffer kConfigBuffer = {scsi::kConfigBufferLength, scsi::kModeSenseDbd};
constexpr ModeBuffer kCompressBuffer = {scsi::kCompressBufferLength, scsi::kModeSenseDbd};

// Obtains the buffer (allocate) or finds the answer in the one the class driver kept; these
// buffers carry no block descriptor, so the page follows the header directly. A refused
// allocation leaves every output as it was.
BOOLEAN LocalModeBuffer(PSCSI_REQUEST_BLOCK Srb, const ModeBuffer& buffer, bool allocate,
                        PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                        PULONG BufferLength)
{
    if (allocate) {
        Srb->Cdb[1] |= buffer.senseFlags;
        if (!TapeClassAllocateSrbBuffer(Srb, buffer.length)) {
            return FALSE;
        }
    }
    const auto header = static_cast<PUCHAR>(Srb->DataBuffer);
    *ModeHeader = header;
    *BlockDescriptor = nullptr;
    *Page = header + scsi::kModeHeaderLength;
    *BufferLength = buffer.length;
    return TRUE;
}

}  // namespace

VOID LocalGetPartPageData(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION /*MinitapeExtension*/,
                          PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                          PULONG BufferLength)
{
    LocalModeBuffer(Srb, kPartBuffer, false, ModeHeader, BlockDescriptor, Page, BufferLength);
}

VOID LocalGetConfigPageData(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION /*MinitapeExtension*/,
                            PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                            PULONG BufferLength)
{
    LocalModeBuffer(Srb, kConfigBuffer, false, ModeHeader, BlockDescriptor, Page, BufferLength);
}

VOID LocalGetCompressPageData(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION /*MinitapeExtension*/,
                              PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                              PULONG BufferLength)
{
    LocalModeBuffer(Srb, kCompressBuffer, false, ModeHeader, BlockDescriptor, Page, BufferLength);
}

BOOLEAN LocalAllocatePartPage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION /*MinitapeExtension*/,
                              PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                              PULONG BufferLength)
{
    return LocalModeBuffer(Srb, kPartBuffer, true, ModeHeader, BlockDescriptor, Page, BufferLength);
}

BOOLEAN LocalAllocateConfigPage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION /*MinitapeExtension*/,
                                PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                                PULONG BufferLength)
{
    return LocalModeBuffer(Srb, kConfigBuffer, true, ModeHeader, BlockDescriptor, Page,
                           BufferLength);
}

BOOLEAN LocalAllocateCompressPage(PSCSI_REQUEST_BLOCK Srb,
                                  PMINITAPE_EXTENSION /*MinitapeExtension*/, PUCHAR* ModeHeader,
                                  PUCHAR* BlockDescriptor, PUCHAR* Page, PULONG BufferLength)
{
    return LocalModeBuffer(Srb, kCompressBuffer, true, ModeHeader, BlockDescriptor, Page,
                           BufferLength);
}
