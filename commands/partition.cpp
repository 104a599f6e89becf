// Partitioning: the tape laid out as one partition or as two initiator-defined ones by
// writing the medium partition page back, then the driver's current partition brought in
// line with where the drive stands.
#include "commands/modecommands.h"
#include "driver/bytes.h"
#include "driver/request.h"
#include "driver/scsi.h"
#include "driver/velmdat.h"
#include "modepages/modepages.h"

namespace {

constexpr ULONG kTwoPartitionCount = 2;
constexpr ULONG kPendingUnpartitioned = 0;  // one partition: no partition is current
constexpr ULONG kPendingPartitioned = 2;    // two partitions: ask the drive which is active

// Which layout the request asks for, or the status that refuses it.
TAPE_STATUS LocalDecideLayout(const TAPE_CREATE_PARTITION& request, bool& two)
{
    two = false;
    if (request.Count == 0) {
        return TAPE_STATUS_SUCCESS;  // one partition, whatever the method
    }
    if (request.Count > kTwoPartitionCount) {
        return TAPE_STATUS_INVALID_DEVICE_REQUEST;
    }
    // The drive accepts only partitions whose sizes the initiator gives.
    if (request.Method != TAPE_INITIATOR_PARTITIONS) {
        return TAPE_STATUS_NOT_IMPLEMENTED;
    }
    two = request.Count == kTwoPartitionCount;
    return TAPE_STATUS_SUCCESS;
}

// The drive's medium partition page, rewritten in place as the requested layout; returns the
// parameter list length. FDP, SDP, PS and the reserved bytes travel back as the drive sent.
ULONG LocalWriteLayout(PUCHAR header, PUCHAR page, bool two, ULONG size)
{
    LocalModeSelectHeader(header, scsi::kModeNoBlockDescriptor);
    const UCHAR pageLength = two ? scsi::kPartPageLengthTwo : scsi::kPartPageLengthOne;
    LocalModeSelectPageHeader(page, scsi::kPageMediumPartition, pageLength);
    page[scsi::kPartMaximumAdditionalByte] = scsi::kPartMaximumAdditionalNone;
    page[scsi::kPartAdditionalDefinedByte] =
        two ? scsi::kPartAdditionalTwo : scsi::kPartAdditionalOne;
    page[scsi::kPartMediumFormatByte] = scsi::kPartMediumFormatRecognition;
    page[scsi::kPartFlagsByte] =
        static_cast<UCHAR>((page[scsi::kPartFlagsByte] & scsi::kPartFlagsKeptMask) |
                           scsi::kPartIdp | scsi::kPartPsumMegabytes);
    if (two) {
        PutBe16(&page[scsi::kPartSizeDescriptorByte], size);  // only partition 0 is sized
    }
    return scsi::kModeHeaderLength + scsi::kPageHeaderLength + pageLength;
}

TAPE_STATUS LocalSelectLayout(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION extension,
                              const TAPE_CREATE_PARTITION& request, COMMAND_EXTENSION& command)
{
    const LocalModeAnswer answer = LocalFindModeAnswer(Srb, extension, LocalGetPartPageData);
    bool two = false;
    const TAPE_STATUS decision = LocalDecideLayout(request, two);
    if (decision != TAPE_STATUS_SUCCESS) {
        return decision;
    }
    // The size descriptor holds 16 bits; a wider size would be cut to its low bits and lay
    // out a first partition of a size the caller never asked for.
    if (two && request.Size > scsi::kPartSizeMax) {
        return TAPE_STATUS_INVALID_PARAMETER;
    }
    const ULONG listLength = LocalWriteLayout(answer.header, answer.page, two, request.Size);
    TapeClassZeroMemory(Srb->Cdb, scsi::kCdbClearBytes);
    LocalModeSelect6(Srb, listLength, scsi::kModeSelectPf);
    // Laying out a tape rewrites it from end to end.
    Srb->TimeOutValue = scsi::kTimeoutPartitionSeconds;
    command.PendingPartition = two ? kPendingPartitioned : kPendingUnpartitioned;
    return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
}

}  // namespace

TAPE_STATUS TAPECALL CreatePartition(PVOID MinitapeExtension, PVOID CommandExtension,
                                     PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb,
                                     ULONG CallNumber, TAPE_STATUS /*LastStatus*/,
                                     PULONG /*RetryFlags*/)
{
    auto* extension = static_cast<PMINITAPE_EXTENSION>(MinitapeExtension);
    auto* command = static_cast<COMMAND_EXTENSION*>(CommandExtension);
    const auto* request = static_cast<const TAPE_CREATE_PARTITION*>(CommandParameters);
    switch (CallNumber) {
    case 0:  // The class driver checks readiness first.
        return TAPE_STATUS_CHECK_TEST_UNIT_READY;
    case 1: {  // MODE SENSE of the medium partition page, the base of the new one.
        PUCHAR header = nullptr;
        PUCHAR descriptor = nullptr;
        PUCHAR page = nullptr;
        ULONG length = 0;
        if (!LocalAllocatePartPage(Srb, extension, &header, &descriptor, &page, &length)) {
            return TAPE_STATUS_INSUFFICIENT_RESOURCES;
        }
        TapeClassZeroMemory(Srb->Cdb, scsi::kCdbClearBytes);
        // No descriptor, and only as far as one size descriptor: the buffer's spare bytes
        // stay out of the answer.
        Srb->Cdb[1] = scsi::kModeSenseDbd;
        LocalModeSense6(Srb, scsi::kPageMediumPartition, scsi::kPartSenseLength);
        return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
    }
    case 2:  // MODE SELECT of the new layout.
        return LocalSelectLayout(Srb, extension, *request, *command);
    case 3:  // One partition: done. Two: MODE SENSE of the device configuration page.
        if (command->PendingPartition == kPendingUnpartitioned) {
            extension->CurrentPartition = kNoPartition;
            return TAPE_STATUS_SUCCESS;
        }
        if (!LocalSenseModePage(Srb, extension, LocalAllocateConfigPage,
                                scsi::kPageDeviceConfiguration)) {
            return TAPE_STATUS_INSUFFICIENT_RESOURCES;
        }
        return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
    case 4: {  // The partition the drive now stands in.
        UCHAR* const page = LocalFindModeAnswer(Srb, extension, LocalGetConfigPageData).page;
        extension->CurrentPartition = page[scsi::kConfigActivePartitionByte] + kPartitionNumberBase;
        return TAPE_STATUS_SUCCESS;
    }
    default:
        return TAPE_STATUS_SUCCESS;
    }
}
