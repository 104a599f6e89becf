// Media parameters: the loaded tape's block size, partitions, write protection, capacity and
// remaining space, bringing the driver's current partition up to date on the way; and the
// block size set through a block descriptor.
#include "commands/modecommands.h"
#include "driver/bytes.h"
#include "driver/request.h"
#include "driver/scsi.h"
#include "driver/velmdat.h"
#include "modepages/modepages.h"

namespace {

constexpr ULONG kSinglePartition = 1;

// The capacity log counts in units of 1024 bytes; the record wants bytes in 64 bits.
long long LocalBytes(const UCHAR* data, ULONG firstByte, ULONG secondByte)
{
    const uint64_t first = uint64_t{GetBe32(&data[firstByte])} << scsi::kCapacityUnitShift;
    const uint64_t second = uint64_t{GetBe32(&data[secondByte])} << scsi::kCapacityUnitShift;
    const uint64_t total = first + second;  // below 2^43: no overflow
    return static_cast<long long>(total);
}

// Records the active partition, then MODE SENSE of the medium partition page with its block
// descriptor into a buffer of its own.
TAPE_STATUS LocalSensePartitionPage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION extension,
                                    PULONG RetryFlags)
{
    TapeClassZeroMemory(Srb->Cdb, scsi::kCdbClearBytes);
    UCHAR* const page = LocalFindModeAnswer(Srb, extension, LocalGetConfigPageData).page;
    // Read before the next allocation, which hands over a zero-filled buffer in its place.
    extension->CurrentPartition = page[scsi::kConfigActivePartitionByte] + kPartitionNumberBase;
    if (!TapeClassAllocateSrbBuffer(Srb, scsi::kPartWithDescriptorLength)) {
        return TAPE_STATUS_INSUFFICIENT_RESOURCES;
    }
    LocalModeSense6(Srb, scsi::kPageMediumPartition, scsi::kPartWithDescriptorLength);
    *RetryFlags = RETURN_ERRORS;
    return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
}

// Block size, partitions and write protection; then LOG SENSE of the capacity page.
TAPE_STATUS LocalSenseCapacity(PSCSI_REQUEST_BLOCK Srb, TAPE_STATUS LastStatus,
                               TAPE_GET_MEDIA_PARAMETERS& request)
{
    // A short answer is still an answer: bytes the drive did not send read as 0.
    if (LastStatus != TAPE_STATUS_SUCCESS && LastStatus != TAPE_STATUS_DATA_OVERRUN) {
        return LastStatus;
    }
    const auto* data = static_cast<const UCHAR*>(Srb->DataBuffer);
    request.BlockSize = GetBe24(&data[scsi::kPartWithDescriptorBlockLengthByte]);
    request.PartitionCount =
        data[scsi::kPartWithDescriptorAdditionalDefinedByte] + kPartitionNumberBase;
    request.WriteProtected =
        (data[scsi::kModeDeviceSpecificByte] & scsi::kModeWriteProtect) != 0 ? TRUE : FALSE;
    if (!TapeClassAllocateSrbBuffer(Srb, scsi::kCapacityLogBufferLength)) {
        return TAPE_STATUS_INSUFFICIENT_RESOURCES;
    }
    UCHAR* const cdb = Srb->Cdb;
    TapeClassZeroMemory(cdb, scsi::kCdbClearBytes);
    Srb->CdbLength = scsi::kCdbLength10;
    cdb[0] = scsi::kOpLogSense;
    cdb[2] = scsi::kLogSensePcCumulative | scsi::kPageCapacityLog;
    PutBe16(&cdb[7], scsi::kCapacityLogLength);
    Srb->DataTransferLength = scsi::kCapacityLogLength;
    return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
}

}  // namespace

TAPE_STATUS TAPECALL GetMediaParameters(PVOID MinitapeExtension, PVOID /*CommandExtension*/,
                                        PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb,
                                        ULONG CallNumber, TAPE_STATUS LastStatus, PULONG RetryFlags)
{
    auto* extension = static_cast<PMINITAPE_EXTENSION>(MinitapeExtension);
    auto* request = static_cast<TAPE_GET_MEDIA_PARAMETERS*>(CommandParameters);
    switch (CallNumber) {
    case 0:  // Clear the record; the class driver checks readiness first.
        TapeClassZeroMemory(request, sizeof(*request));
        return TAPE_STATUS_CHECK_TEST_UNIT_READY;
    case 1:  // MODE SENSE of the device configuration page: which partition is active.
        if (!LocalSenseModePage(Srb, extension, LocalAllocateConfigPage,
                                scsi::kPageDeviceConfiguration)) {
            return TAPE_STATUS_INSUFFICIENT_RESOURCES;
        }
        return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
    case 2:  // Active partition; MODE SENSE of the medium partition page.
        return LocalSensePartitionPage(Srb, extension, RetryFlags);
    case 3:  // Block size, partitions, protection; LOG SENSE of the capacity page.
        return LocalSenseCapacity(Srb, LastStatus, *request);
    default: {  // Capacity and remaining space; a single partition means none is current.
        const auto* data = static_cast<const UCHAR*>(Srb->DataBuffer);
        request->Remaining.QuadPart =
            LocalBytes(data, scsi::kCapacityRemaining1Byte, scsi::kCapacityRemaining2Byte);
        request->Capacity.QuadPart =
            LocalBytes(data, scsi::kCapacityMaximum1Byte, scsi::kCapacityMaximum2Byte);
        if (request->PartitionCount == kSinglePartition) {
            extension->CurrentPartition = kNoPartition;
        }
        return TAPE_STATUS_SUCCESS;
    }
    }
}

TAPE_STATUS TAPECALL SetMediaParameters(PVOID /*MinitapeExtension*/, PVOID /*CommandExtension*/,
                                        PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb,
                                        ULONG CallNumber, TAPE_STATUS /*LastStatus*/,
                                        PULONG /*RetryFlags*/)
{
    const auto* request = static_cast<const TAPE_SET_MEDIA_PARAMETERS*>(CommandParameters);
    switch (CallNumber) {
    case 0:  // The class driver checks readiness first.
        return TAPE_STATUS_CHECK_TEST_UNIT_READY;
    case 1: {  // MODE SELECT of a block descriptor carrying the new block length.
        // The descriptor carries a 24-bit block length; a wider one would be cut to its low
        // bits and set a block size the caller never asked for.
        if (request->BlockSize > scsi::kBlockLengthMax) {
            return TAPE_STATUS_INVALID_PARAMETER;
        }
        if (!TapeClassAllocateSrbBuffer(Srb, scsi::kBlockSizeListLength)) {
            return TAPE_STATUS_INSUFFICIENT_RESOURCES;
        }
        // The buffer arrives zero-filled: number of blocks and the reserved byte stay 0.
        auto* const list = static_cast<UCHAR*>(Srb->DataBuffer);
        LocalModeSelectHeader(list, scsi::kBlockDescriptorLength);
        UCHAR* const descriptor = &list[scsi::kModeHeaderLength];
        descriptor[scsi::kDescriptorDensityByte] = scsi::kDensityKeepCurrent;
        PutBe24(&descriptor[scsi::kDescriptorBlockLengthByte], request->BlockSize);
        TapeClassZeroMemory(Srb->Cdb, scsi::kCdbClearBytes);
        LocalModeSelect6(Srb, scsi::kBlockSizeListLength, scsi::kModeSelectNoPages);
        return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
    }
    default:  // Only a MODE SELECT that succeeded leads here.
        return TAPE_STATUS_SUCCESS;
    }
}
