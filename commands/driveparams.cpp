// Drive parameters: block limits, setmark reporting, compression and the feature flags of the
// QT-7310, read from the device configuration and data compression pages and READ BLOCK
// LIMITS; setmark reporting and compression changed by editing those pages in place.
#include "commands/modecommands.h"
#include "driver/bytes.h"
#include "driver/scsi.h"
#include "driver/velmdat.h"
#include "modepages/modepages.h"

namespace {

constexpr ULONG kDefaultBlockSize = 512;
constexpr ULONG kMaximumPartitionCount = 2;  // initiator partitions: one or two

// Features every drive of this family offers.
constexpr ULONG kFeaturesLowCommon = TAPE_DRIVE_INITIATOR | TAPE_DRIVE_ERASE_SHORT |
                                     TAPE_DRIVE_ERASE_IMMEDIATE | TAPE_DRIVE_FIXED_BLOCK |
                                     TAPE_DRIVE_VARIABLE_BLOCK | TAPE_DRIVE_WRITE_PROTECT |
                                     TAPE_DRIVE_REPORT_SMKS | TAPE_DRIVE_GET_ABSOLUTE_BLK |
                                     TAPE_DRIVE_GET_LOGICAL_BLK | TAPE_DRIVE_EJECT_MEDIA;
constexpr ULONG kFeaturesHighCommon =
    TAPE_DRIVE_LOAD_UNLOAD | TAPE_DRIVE_LOCK_UNLOCK | TAPE_DRIVE_REWIND_IMMEDIATE |
    TAPE_DRIVE_SET_BLOCK_SIZE | TAPE_DRIVE_LOAD_UNLD_IMMED | TAPE_DRIVE_SET_REPORT_SMKS |
    TAPE_DRIVE_ABSOLUTE_BLK | TAPE_DRIVE_LOGICAL_BLK | TAPE_DRIVE_END_OF_DATA |
    TAPE_DRIVE_RELATIVE_BLKS | TAPE_DRIVE_FILEMARKS | TAPE_DRIVE_SEQUENTIAL_FMKS |
    TAPE_DRIVE_SETMARKS | TAPE_DRIVE_REVERSE_POSITION | TAPE_DRIVE_WRITE_SETMARKS |
    TAPE_DRIVE_WRITE_FILEMARKS | TAPE_DRIVE_WRITE_MARK_IMMED;

// The QT-7310 erases only the long way, reports capacity, locates immediately and spaces
// over sequential setmarks.
constexpr ULONG kFeaturesLowQt7310Removed = TAPE_DRIVE_ERASE_SHORT;
constexpr ULONG kFeaturesLowQt7310Added =
    TAPE_DRIVE_ERASE_LONG | TAPE_DRIVE_TAPE_CAPACITY | TAPE_DRIVE_TAPE_REMAINING;
constexpr ULONG kFeaturesHighQt7310Added =
    TAPE_DRIVE_ABS_BLK_IMMED | TAPE_DRIVE_LOG_BLK_IMMED | TAPE_DRIVE_SEQUENTIAL_SMKS;

static_assert(kFeaturesLowCommon == 0x01381C94u, "common low feature set");
static_assert(kFeaturesHighCommon == 0x935F583Du, "common high feature set, with bit 31");
static_assert(kFeaturesHighQt7310Added == 0x8020A000u, "model high features, with bit 31");

BOOLEAN LocalFlag(UCHAR byte, UCHAR bit)
{
    return (byte & bit) != 0 ? TRUE : FALSE;
}

// Sends the MODE SENSE of one page on a freshly cleared block; its failure comes back.
TAPE_STATUS LocalSensePage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION extension,
                           LocalAllocateModeBuffer allocate, UCHAR pageCode, PULONG RetryFlags)
{
    if (!LocalSenseModePage(Srb, extension, allocate, pageCode)) {
        return TAPE_STATUS_INSUFFICIENT_RESOURCES;
    }
    *RetryFlags = RETURN_ERRORS;
    return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
}

TAPE_STATUS LocalSenseConfigPage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION extension,
                                 PULONG RetryFlags)
{
    return LocalSensePage(Srb, extension, LocalAllocateConfigPage, scsi::kPageDeviceConfiguration,
                          RetryFlags);
}

TAPE_STATUS LocalSenseCompressPage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION extension,
                                   PULONG RetryFlags)
{
    return LocalSensePage(Srb, extension, LocalAllocateCompressPage, scsi::kPageDataCompression,
                          RetryFlags);
}

// Device configuration page with RSmk as the request asks; every other bit as the drive said.
void LocalEditConfigPage(PUCHAR header, PUCHAR page, BOOLEAN reportSetmarks)
{
    // The descriptor length travels back as the drive gave it.
    LocalModeSelectHeader(header, header[scsi::kModeBlockDescriptorLengthByte]);
    LocalModeSelectPageHeader(page, scsi::kPageDeviceConfiguration, scsi::kConfigPageLength);
    if (reportSetmarks != 0) {
        page[scsi::kConfigRsmkByte] |= scsi::kConfigRsmk;
    } else {
        page[scsi::kConfigRsmkByte] &= static_cast<UCHAR>(~scsi::kConfigRsmk);
    }
}

// Data compression page with DCE as the request asks; decompression stays on so that tapes
// written compressed can always be read back.
void LocalEditCompressPage(PUCHAR header, PUCHAR page, BOOLEAN compression)
{
    LocalModeSelectHeader(header, scsi::kModeNoBlockDescriptor);
    LocalModeSelectPageHeader(page, scsi::kPageDataCompression, scsi::kCompressionPageLength);
    if (compression != 0) {
        page[scsi::kCompressionDceByte] |= scsi::kCompressionDce;
    } else {
        page[scsi::kCompressionDceByte] &= static_cast<UCHAR>(~scsi::kCompressionDce);
    }
    page[scsi::kCompressionDdeByte] |= scsi::kCompressionDde;
    PutBe32(&page[scsi::kCompressionAlgorithmByte],
            compression != 0 ? scsi::kCompressionAlgorithmDclz : scsi::kCompressionAlgorithmNone);
    PutBe32(&page[scsi::kDecompressionAlgorithmByte], scsi::kCompressionAlgorithmNone);
}

// Compression members from the data compression page; the drive may not compress at all.
void LocalTakeCompression(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION extension,
                          TAPE_GET_DRIVE_PARAMETERS& request)
{
    UCHAR* const page = LocalFindModeAnswer(Srb, extension, LocalGetCompressPageData).page;
    if ((page[scsi::kCompressionDccByte] & scsi::kCompressionDcc) == 0) {
        return;
    }
    request.FeaturesLow |= TAPE_DRIVE_COMPRESSION;
    request.FeaturesHigh |= TAPE_DRIVE_SET_COMPRESSION;
    request.Compression = LocalFlag(page[scsi::kCompressionDceByte], scsi::kCompressionDce);
}

// Block limits and the fixed description of the drive; no tape leaves the limits at 0.
TAPE_STATUS LocalFinishDriveParameters(PSCSI_REQUEST_BLOCK Srb, TAPE_STATUS LastStatus,
                                       TAPE_GET_DRIVE_PARAMETERS& request)
{
    if (LastStatus == TAPE_STATUS_SUCCESS) {
        const auto* data = static_cast<const UCHAR*>(Srb->DataBuffer);
        request.MaximumBlockSize = GetBe24(&data[scsi::kBlockLimitsMaximumByte]);
        request.MinimumBlockSize = GetBe16(&data[scsi::kBlockLimitsMinimumByte]);
    } else if (LastStatus != TAPE_STATUS_NO_MEDIA) {
        return LastStatus;
    }
    request.DefaultBlockSize = kDefaultBlockSize;
    request.MaximumPartitionCount = kMaximumPartitionCount;
    request.FeaturesLow |= kFeaturesLowCommon;
    request.FeaturesLow &= ~kFeaturesLowQt7310Removed;
    request.FeaturesLow |= kFeaturesLowQt7310Added;
    // The platform writes the high flags with bit 31; the record holds them without it.
    request.FeaturesHigh |= kFeaturesHighCommon | kFeaturesHighQt7310Added;
    request.FeaturesHigh &= ~static_cast<ULONG>(TAPE_DRIVE_HIGH_FEATURES);
    return TAPE_STATUS_SUCCESS;
}

}  // namespace

TAPE_STATUS TAPECALL GetDriveParameters(PVOID MinitapeExtension, PVOID /*CommandExtension*/,
                                        PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb,
                                        ULONG CallNumber, TAPE_STATUS LastStatus, PULONG RetryFlags)
{
    auto* extension = static_cast<PMINITAPE_EXTENSION>(MinitapeExtension);
    auto* request = static_cast<TAPE_GET_DRIVE_PARAMETERS*>(CommandParameters);
    switch (CallNumber) {
    case 0:  // Clear the record; MODE SENSE of the device configuration page.
        TapeClassZeroMemory(request, sizeof(*request));
        return LocalSenseConfigPage(Srb, extension, RetryFlags);
    case 1: {  // Setmark reporting; MODE SENSE of the data compression page.
        // Without a tape the drive still answers for itself: a zero-filled page at worst.
        if (LastStatus != TAPE_STATUS_SUCCESS && LastStatus != TAPE_STATUS_NO_MEDIA) {
            return LastStatus;
        }
        UCHAR* const page = LocalFindModeAnswer(Srb, extension, LocalGetConfigPageData).page;
        request->ReportSetmarks = LocalFlag(page[scsi::kConfigRsmkByte], scsi::kConfigRsmk);
        return LocalSenseCompressPage(Srb, extension, RetryFlags);
    }
    case 2:  // Compression, unless the drive refused the page.
        if (LastStatus == TAPE_STATUS_INVALID_DEVICE_REQUEST) {
            return TAPE_STATUS_CALLBACK;
        }
        if (LastStatus != TAPE_STATUS_SUCCESS && LastStatus != TAPE_STATUS_NO_MEDIA) {
            return LastStatus;
        }
        LocalTakeCompression(Srb, extension, *request);
        return TAPE_STATUS_CALLBACK;
    case 3: {  // READ BLOCK LIMITS.
        if (LastStatus != TAPE_STATUS_SUCCESS && LastStatus != TAPE_STATUS_NO_MEDIA &&
            LastStatus != TAPE_STATUS_CALLBACK) {
            return LastStatus;
        }
        if (!TapeClassAllocateSrbBuffer(Srb, scsi::kBlockLimitsLength)) {
            return TAPE_STATUS_INSUFFICIENT_RESOURCES;
        }
        Srb->CdbLength = scsi::kCdbLength6;
        TapeClassZeroMemory(Srb->Cdb, scsi::kCdbClearBytes);
        Srb->Cdb[0] = scsi::kOpReadBlockLimits;
        Srb->DataTransferLength = scsi::kBlockLimitsLength;
        *RetryFlags = RETURN_ERRORS;
        return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
    }
    default:  // Block limits and the drive's fixed description.
        return LocalFinishDriveParameters(Srb, LastStatus, *request);
    }
}

TAPE_STATUS TAPECALL SetDriveParameters(PVOID MinitapeExtension, PVOID /*CommandExtension*/,
                                        PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb,
                                        ULONG CallNumber, TAPE_STATUS LastStatus, PULONG RetryFlags)
{
    auto* extension = static_cast<PMINITAPE_EXTENSION>(MinitapeExtension);
    const auto* request = static_cast<const TAPE_SET_DRIVE_PARAMETERS*>(CommandParameters);
    LocalModeAnswer answer{};
    switch (CallNumber) {
    case 0:  // MODE SENSE of the device configuration page.
        return LocalSenseConfigPage(Srb, extension, RetryFlags);
    case 1:  // MODE SELECT with setmark reporting, if the page could be read.
        if (LastStatus != TAPE_STATUS_SUCCESS) {
            return TAPE_STATUS_CALLBACK;  // leave setmark reporting, go on with compression
        }
        answer = LocalFindModeAnswer(Srb, extension, LocalGetConfigPageData);
        LocalEditConfigPage(answer.header, answer.page, request->ReportSetmarks);
        TapeClassZeroMemory(Srb->Cdb, scsi::kCdbClearBytes);
        LocalModeSelect6(Srb, answer.length, scsi::kModeSelectPf);
        return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
    case 2:  // MODE SENSE of the data compression page.
        return LocalSenseCompressPage(Srb, extension, RetryFlags);
    case 3:  // MODE SELECT with compression, if the drive can compress.
        if (LastStatus == TAPE_STATUS_INVALID_DEVICE_REQUEST) {
            return TAPE_STATUS_SUCCESS;  // the drive has no compression page
        }
        // A page that was not read must never be written back as if it had been.
        if (LastStatus != TAPE_STATUS_SUCCESS) {
            return LastStatus;
        }
        answer = LocalFindModeAnswer(Srb, extension, LocalGetCompressPageData);
        if ((answer.page[scsi::kCompressionDccByte] & scsi::kCompressionDcc) == 0) {
            return TAPE_STATUS_SUCCESS;
        }
        LocalEditCompressPage(answer.header, answer.page, request->Compression);
        TapeClassZeroMemory(Srb->Cdb, scsi::kCdbClearBytes);
        LocalModeSelect6(Srb, answer.length, scsi::kModeSelectPf);
        return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
    default:  // Only a MODE SELECT that succeeded leads here.
        return TAPE_STATUS_SUCCESS;
    }
}
