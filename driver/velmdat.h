// The VELM QT-7310 miniclass driver as the class driver and its stand-ins see it: the
// per-device and per-request records it registers, and every routine it hands over.
#pragma once

#include "platform/tapeclass.h"

// Per device, allocated by the class driver at the registered size and kept for the
// device's life.
typedef struct _MINITAPE_EXTENSION {
    ULONG DriveType;         // drive-type code of the claimed model
    ULONG CurrentPartition;  // 0: not partitioned or unknown; else the 1-based partition
} MINITAPE_EXTENSION, *PMINITAPE_EXTENSION;

// Per request, kept by the class driver across all calls of one request.
typedef struct _COMMAND_EXTENSION {
    ULONG PendingPartition;  // partition to commit on the request's last step
} COMMAND_EXTENSION, *PCOMMAND_EXTENSION;

static_assert(sizeof(MINITAPE_EXTENSION) == 8, "registered extension size");
static_assert(offsetof(MINITAPE_EXTENSION, CurrentPartition) == 4, "CurrentPartition");
static_assert(sizeof(COMMAND_EXTENSION) == 4, "registered command extension size");

extern "C" ULONG TAPECALL DriverEntry(PVOID DriverObject, PVOID RegistryPath);

BOOLEAN TAPECALL VerifyInquiry(PINQUIRYDATA InquiryData,
                               PMODE_CAPABILITIES_PAGE ModeCapabilitiesPage);
VOID TAPECALL ExtensionInit(PVOID MinitapeExtension, PINQUIRYDATA InquiryData,
                            PMODE_CAPABILITIES_PAGE ModeCapabilitiesPage);
VOID TAPECALL TapeError(PVOID MinitapeExtension, PSCSI_REQUEST_BLOCK Srb, PTAPE_STATUS TapeStatus);

#define VELMDAT_COMMAND_ROUTINE(name)                                                             \
    TAPE_STATUS TAPECALL name(PVOID MinitapeExtension, PVOID CommandExtension,                    \
                              PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb, ULONG CallNumber, \
                              TAPE_STATUS LastStatus, PULONG RetryFlags)

VELMDAT_COMMAND_ROUTINE(CreatePartition);
VELMDAT_COMMAND_ROUTINE(Erase);
VELMDAT_COMMAND_ROUTINE(GetDriveParameters);
VELMDAT_COMMAND_ROUTINE(GetMediaParameters);
VELMDAT_COMMAND_ROUTINE(GetPosition);
VELMDAT_COMMAND_ROUTINE(GetStatus);
VELMDAT_COMMAND_ROUTINE(Prepare);
VELMDAT_COMMAND_ROUTINE(SetDriveParameters);
VELMDAT_COMMAND_ROUTINE(SetMediaParameters);
VELMDAT_COMMAND_ROUTINE(SetPosition);
VELMDAT_COMMAND_ROUTINE(WriteMarks);

#undef VELMDAT_COMMAND_ROUTINE
