// Buffers for the three mode pages the driver reads and writes back: the medium partition
// page, the device configuration page and the data compression page. Each pair obtains the
// buffer for MODE SENSE and, on the step after, finds the drive's answer in the same buffer.
#pragma once

#include "driver/velmdat.h"

// All six: ModeHeader receives the address of byte 0, BlockDescriptor is always set to none
// (these buffers carry no block descriptor), Page receives the address of byte 4 and
// BufferLength the length of the page's buffer.
BOOLEAN LocalAllocatePartPage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION MinitapeExtension,
                              PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                              PULONG BufferLength);
BOOLEAN LocalAllocateConfigPage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION MinitapeExtension,
                                PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                                PULONG BufferLength);
BOOLEAN LocalAllocateCompressPage(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION MinitapeExtension,
                                  PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                                  PULONG BufferLength);
VOID LocalGetPartPageData(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION MinitapeExtension,
                          PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                          PULONG BufferLength);
VOID LocalGetConfigPageData(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION MinitapeExtension,
                            PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                            PULONG BufferLength);
VOID LocalGetCompressPageData(PSCSI_REQUEST_BLOCK Srb, PMINITAPE_EXTENSION MinitapeExtension,
                              PUCHAR* ModeHeader, PUCHAR* BlockDescriptor, PUCHAR* Page,
                              PULONG BufferLength);
