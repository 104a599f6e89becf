// The tape class driver's interface as this miniclass driver sees it: base types, the
// request block, inquiry data, request records, status codes, feature flags and the
// four class-driver services. Freestanding: nothing here needs a runtime.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The platform's calling convention: callee-cleaned stdcall on every i386 build (the
// Windows image and the 32-bit Linux loader), nothing on 64-bit hosts where it does not exist.
#if defined(__i386__) || defined(_M_IX86)
#if defined(_WIN32)
#define TAPECALL __stdcall
#else
#define TAPECALL __attribute__((stdcall))
#endif
#else
#define TAPECALL
#endif

// In the driver image the services are imports of TAPE.SYS, reached through its import table.
#if defined(_WIN32) && defined(VELMDAT_IMAGE)
#define TAPE_IMPORT __declspec(dllimport)
#else
#define TAPE_IMPORT
#endif

typedef unsigned char UCHAR;
typedef unsigned short USHORT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef unsigned char BOOLEAN;
typedef void VOID;
typedef void* PVOID;
typedef ULONG* PULONG;
typedef UCHAR* PUCHAR;

#define TRUE 1
#define FALSE 0

// 8-byte aligned on every target, as the platform lays it out; a 32-bit Linux build would
// otherwise place it at 4 and disagree with the image about every record that holds one.
typedef union alignas(8) _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    long long QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef enum _TAPE_STATUS {
    TAPE_STATUS_SEND_SRB_AND_CALLBACK = 0,
    TAPE_STATUS_CALLBACK = 1,
    TAPE_STATUS_CHECK_TEST_UNIT_READY = 2,
    TAPE_STATUS_SUCCESS = 3,
    TAPE_STATUS_INSUFFICIENT_RESOURCES = 4,
    TAPE_STATUS_NOT_IMPLEMENTED = 5,
    TAPE_STATUS_INVALID_DEVICE_REQUEST = 6,
    TAPE_STATUS_INVALID_PARAMETER = 7,
    TAPE_STATUS_MEDIA_CHANGED = 8,
    TAPE_STATUS_BUS_RESET = 9,
    TAPE_STATUS_SETMARK_DETECTED = 10,
    TAPE_STATUS_FILEMARK_DETECTED = 11,
    TAPE_STATUS_BEGINNING_OF_MEDIA = 12,
    TAPE_STATUS_END_OF_MEDIA = 13,
    TAPE_STATUS_BUFFER_OVERFLOW = 14,
    TAPE_STATUS_NO_DATA_DETECTED = 15,
    TAPE_STATUS_EOM_OVERFLOW = 16,
    TAPE_STATUS_NO_MEDIA = 17,
    TAPE_STATUS_IO_DEVICE_ERROR = 18,
    TAPE_STATUS_UNRECOGNIZED_MEDIA = 19,
    TAPE_STATUS_DEVICE_NOT_READY = 20,
    TAPE_STATUS_MEDIA_WRITE_PROTECTED = 21,
    TAPE_STATUS_DEVICE_DATA_ERROR = 22,
    TAPE_STATUS_NO_SUCH_DEVICE = 23,
    TAPE_STATUS_INVALID_BLOCK_LENGTH = 24,
    TAPE_STATUS_IO_TIMEOUT = 25,
    TAPE_STATUS_DEVICE_NOT_CONNECTED = 26,
    TAPE_STATUS_DATA_OVERRUN = 27,
    TAPE_STATUS_DEVICE_BUSY = 28,
    TAPE_STATUS_REQUIRES_CLEANING = 29,
    TAPE_STATUS_CLEANER_CARTRIDGE_INSTALLED = 30
} TAPE_STATUS,
    *PTAPE_STATUS;

typedef struct _SCSI_REQUEST_BLOCK {
    USHORT Length;
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR QueueTag;
    UCHAR QueueAction;
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    struct _SCSI_REQUEST_BLOCK* NextSrb;
    PVOID OriginalRequest;
    PVOID SrbExtension;
    ULONG QueueSortKey;
    UCHAR Cdb[16];
} SCSI_REQUEST_BLOCK, *PSCSI_REQUEST_BLOCK;

#define SRB_FLAGS_DATA_IN 0x00000040
#define SRB_FLAGS_DATA_OUT 0x00000080
#define RETURN_ERRORS 0x00020000

// Standard inquiry data in its first 36 bytes; the platform's record goes on to 96.
typedef struct _INQUIRYDATA {
    UCHAR DeviceType : 5;
    UCHAR DeviceTypeQualifier : 3;
    UCHAR DeviceTypeModifier : 7;
    UCHAR RemovableMedia : 1;
    UCHAR Versions;
    UCHAR ResponseDataFormat;
    UCHAR AdditionalLength;
    UCHAR Reserved[2];
    UCHAR SoftReset : 1;
    UCHAR CommandQueue : 1;
    UCHAR Reserved2 : 1;
    UCHAR LinkedCommands : 1;
    UCHAR Synchronous : 1;
    UCHAR Wide16Bit : 1;
    UCHAR Wide32Bit : 1;
    UCHAR RelativeAddressing : 1;
    UCHAR VendorId[8];
    UCHAR ProductId[16];
    UCHAR ProductRevisionLevel[4];
    UCHAR VendorSpecific[20];
    UCHAR Reserved3[40];
} INQUIRYDATA, *PINQUIRYDATA;

// Handed to the miniclass by the class driver; this driver never asks for it or reads it.
typedef struct _MODE_CAPABILITIES_PAGE {
    UCHAR PageCode;
    UCHAR PageLength;
    UCHAR Parameters[18];
} MODE_CAPABILITIES_PAGE, *PMODE_CAPABILITIES_PAGE;

// Request records.
typedef struct _TAPE_CREATE_PARTITION {
    ULONG Method;
    ULONG Count;
    ULONG Size;
} TAPE_CREATE_PARTITION, *PTAPE_CREATE_PARTITION;

typedef struct _TAPE_ERASE {
    ULONG Type;
    BOOLEAN Immediate;
} TAPE_ERASE, *PTAPE_ERASE;

typedef struct _TAPE_PREPARE {
    ULONG Operation;
    BOOLEAN Immediate;
} TAPE_PREPARE, *PTAPE_PREPARE;

typedef struct _TAPE_WRITE_MARKS {
    ULONG Type;
    ULONG Count;
    BOOLEAN Immediate;
} TAPE_WRITE_MARKS, *PTAPE_WRITE_MARKS;

typedef struct _TAPE_GET_POSITION {
    ULONG Type;
    ULONG Partition;
    LARGE_INTEGER Offset;
} TAPE_GET_POSITION, *PTAPE_GET_POSITION;

typedef struct _TAPE_SET_POSITION {
    ULONG Method;
    ULONG Partition;
    LARGE_INTEGER Offset;
    BOOLEAN Immediate;
} TAPE_SET_POSITION, *PTAPE_SET_POSITION;

typedef struct _TAPE_GET_DRIVE_PARAMETERS {
    BOOLEAN ECC;
    BOOLEAN Compression;
    BOOLEAN DataPadding;
    BOOLEAN ReportSetmarks;
    ULONG DefaultBlockSize;
    ULONG MaximumBlockSize;
    ULONG MinimumBlockSize;
    ULONG MaximumPartitionCount;
    ULONG FeaturesLow;
    ULONG FeaturesHigh;
    ULONG EOTWarningZoneSize;
} TAPE_GET_DRIVE_PARAMETERS, *PTAPE_GET_DRIVE_PARAMETERS;

typedef struct _TAPE_SET_DRIVE_PARAMETERS {
    BOOLEAN ECC;
    BOOLEAN Compression;
    BOOLEAN DataPadding;
    BOOLEAN ReportSetmarks;
    ULONG EOTWarningZoneSize;
} TAPE_SET_DRIVE_PARAMETERS, *PTAPE_SET_DRIVE_PARAMETERS;

typedef struct _TAPE_GET_MEDIA_PARAMETERS {
    LARGE_INTEGER Capacity;
    LARGE_INTEGER Remaining;
    ULONG BlockSize;
    ULONG PartitionCount;
    BOOLEAN WriteProtected;
} TAPE_GET_MEDIA_PARAMETERS, *PTAPE_GET_MEDIA_PARAMETERS;

typedef struct _TAPE_SET_MEDIA_PARAMETERS {
    ULONG BlockSize;
} TAPE_SET_MEDIA_PARAMETERS, *PTAPE_SET_MEDIA_PARAMETERS;

// TAPE_SET_POSITION methods.
#define TAPE_REWIND 0
#define TAPE_ABSOLUTE_BLOCK 1
#define TAPE_LOGICAL_BLOCK 2
#define TAPE_PSEUDO_LOGICAL_BLOCK 3
#define TAPE_SPACE_END_OF_DATA 4
#define TAPE_SPACE_RELATIVE_BLOCKS 5
#define TAPE_SPACE_FILEMARKS 6
#define TAPE_SPACE_SEQUENTIAL_FMKS 7
#define TAPE_SPACE_SETMARKS 8
#define TAPE_SPACE_SEQUENTIAL_SMKS 9

// TAPE_GET_POSITION types.
#define TAPE_ABSOLUTE_POSITION 0
#define TAPE_LOGICAL_POSITION 1
#define TAPE_PSEUDO_LOGICAL_POSITION 2

// TAPE_PREPARE operations.
#define TAPE_LOAD 0
#define TAPE_UNLOAD 1
#define TAPE_TENSION 2
#define TAPE_LOCK 3
#define TAPE_UNLOCK 4
#define TAPE_FORMAT 5

// TAPE_ERASE types.
#define TAPE_ERASE_SHORT 0
#define TAPE_ERASE_LONG 1

// TAPE_WRITE_MARKS types.
#define TAPE_SETMARKS 0
#define TAPE_FILEMARKS 1
#define TAPE_SHORT_FILEMARKS 2
#define TAPE_LONG_FILEMARKS 3

// TAPE_CREATE_PARTITION methods.
#define TAPE_FIXED_PARTITIONS 0
#define TAPE_SELECT_PARTITIONS 1
#define TAPE_INITIATOR_PARTITIONS 2

// Low feature flags (FeaturesLow).
#define TAPE_DRIVE_INITIATOR 0x00000004
#define TAPE_DRIVE_ERASE_SHORT 0x00000010
#define TAPE_DRIVE_ERASE_LONG 0x00000020
#define TAPE_DRIVE_ERASE_IMMEDIATE 0x00000080
#define TAPE_DRIVE_TAPE_CAPACITY 0x00000100
#define TAPE_DRIVE_TAPE_REMAINING 0x00000200
#define TAPE_DRIVE_FIXED_BLOCK 0x00000400
#define TAPE_DRIVE_VARIABLE_BLOCK 0x00000800
#define TAPE_DRIVE_WRITE_PROTECT 0x00001000
#define TAPE_DRIVE_COMPRESSION 0x00020000
#define TAPE_DRIVE_REPORT_SMKS 0x00080000
#define TAPE_DRIVE_GET_ABSOLUTE_BLK 0x00100000
#define TAPE_DRIVE_GET_LOGICAL_BLK 0x00200000
#define TAPE_DRIVE_SET_EOT_WZ_SIZE 0x00400000
#define TAPE_DRIVE_EJECT_MEDIA 0x01000000

// High feature flags, written with bit 31 as the platform does; FeaturesHigh holds them
// without it.
#define TAPE_DRIVE_HIGH_FEATURES 0x80000000
#define TAPE_DRIVE_LOAD_UNLOAD 0x80000001
#define TAPE_DRIVE_TENSION 0x80000002
#define TAPE_DRIVE_LOCK_UNLOCK 0x80000004
#define TAPE_DRIVE_REWIND_IMMEDIATE 0x80000008
#define TAPE_DRIVE_SET_BLOCK_SIZE 0x80000010
#define TAPE_DRIVE_LOAD_UNLD_IMMED 0x80000020
#define TAPE_DRIVE_SET_ECC 0x80000100
#define TAPE_DRIVE_SET_COMPRESSION 0x80000200
#define TAPE_DRIVE_SET_PADDING 0x80000400
#define TAPE_DRIVE_SET_REPORT_SMKS 0x80000800
#define TAPE_DRIVE_ABSOLUTE_BLK 0x80001000
#define TAPE_DRIVE_ABS_BLK_IMMED 0x80002000
#define TAPE_DRIVE_LOGICAL_BLK 0x80004000
#define TAPE_DRIVE_LOG_BLK_IMMED 0x80008000
#define TAPE_DRIVE_END_OF_DATA 0x80010000
#define TAPE_DRIVE_RELATIVE_BLKS 0x80020000
#define TAPE_DRIVE_FILEMARKS 0x80040000
#define TAPE_DRIVE_SEQUENTIAL_FMKS 0x80080000
#define TAPE_DRIVE_SETMARKS 0x80100000
#define TAPE_DRIVE_SEQUENTIAL_SMKS 0x80200000
#define TAPE_DRIVE_REVERSE_POSITION 0x80400000
#define TAPE_DRIVE_SPACE_IMMEDIATE 0x80800000
#define TAPE_DRIVE_WRITE_SETMARKS 0x81000000
#define TAPE_DRIVE_WRITE_FILEMARKS 0x82000000
#define TAPE_DRIVE_WRITE_SHORT_FMKS 0x84000000
#define TAPE_DRIVE_WRITE_LONG_FMKS 0x88000000
#define TAPE_DRIVE_WRITE_MARK_IMMED 0x90000000
#define TAPE_DRIVE_FORMAT 0xA0000000

// Routine types of the registration record.
typedef BOOLEAN(TAPECALL* TAPE_VERIFY_INQUIRY_ROUTINE)(
    PINQUIRYDATA InquiryData, PMODE_CAPABILITIES_PAGE ModeCapabilitiesPage);
typedef VOID(TAPECALL* TAPE_EXTENSION_INIT_ROUTINE)(PVOID MinitapeExtension,
                                                    PINQUIRYDATA InquiryData,
                                                    PMODE_CAPABILITIES_PAGE ModeCapabilitiesPage);
typedef VOID(TAPECALL* TAPE_ERROR_ROUTINE)(PVOID MinitapeExtension, PSCSI_REQUEST_BLOCK Srb,
                                           PTAPE_STATUS TapeStatus);
typedef TAPE_STATUS(TAPECALL* TAPE_PROCESS_COMMAND_ROUTINE)(
    PVOID MinitapeExtension, PVOID CommandExtension, PVOID CommandParameters,
    PSCSI_REQUEST_BLOCK Srb, ULONG CallNumber, TAPE_STATUS LastStatus, PULONG RetryFlags);
// Never registered by this driver; typed so the record has the platform's shape.
typedef VOID(TAPECALL* TAPE_PRE_PROCESS_READ_WRITE_ROUTINE)(PVOID MinitapeExtension,
                                                            PVOID CommandExtension,
                                                            PVOID CommandParameters,
                                                            PSCSI_REQUEST_BLOCK Srb,
                                                            ULONG DataLength, ULONG TransferLength);

typedef struct _TAPE_INIT_DATA {
    TAPE_VERIFY_INQUIRY_ROUTINE VerifyInquiry;
    BOOLEAN QueryModeCapabilitiesPage;
    ULONG MinitapeExtensionSize;
    TAPE_EXTENSION_INIT_ROUTINE ExtensionInit;
    ULONG DefaultTimeOutValue;
    TAPE_ERROR_ROUTINE TapeError;
    ULONG CommandExtensionSize;
    TAPE_PROCESS_COMMAND_ROUTINE CreatePartition;
    TAPE_PROCESS_COMMAND_ROUTINE Erase;
    TAPE_PROCESS_COMMAND_ROUTINE GetDriveParameters;
    TAPE_PROCESS_COMMAND_ROUTINE GetMediaParameters;
    TAPE_PROCESS_COMMAND_ROUTINE GetPosition;
    TAPE_PROCESS_COMMAND_ROUTINE GetStatus;
    TAPE_PROCESS_COMMAND_ROUTINE Prepare;
    TAPE_PROCESS_COMMAND_ROUTINE SetDriveParameters;
    TAPE_PROCESS_COMMAND_ROUTINE SetMediaParameters;
    TAPE_PROCESS_COMMAND_ROUTINE SetPosition;
    TAPE_PROCESS_COMMAND_ROUTINE WriteMarks;
    TAPE_PRE_PROCESS_READ_WRITE_ROUTINE PreProcessReadWrite;
} TAPE_INIT_DATA, *PTAPE_INIT_DATA;

// Services of the tape class driver.
extern "C" {
TAPE_IMPORT ULONG TAPECALL TapeClassInitialize(PVOID Argument1, PVOID Argument2,
                                               TAPE_INIT_DATA* TapeInitData);
TAPE_IMPORT VOID TAPECALL TapeClassZeroMemory(PVOID Buffer, ULONG Length);
TAPE_IMPORT ULONG TAPECALL TapeClassCompareMemory(PVOID Source1, PVOID Source2, ULONG Length);
TAPE_IMPORT BOOLEAN TAPECALL TapeClassAllocateSrbBuffer(PSCSI_REQUEST_BLOCK Srb,
                                                        ULONG SrbBufferSize);
}

// Layouts the class driver and the driver must agree on, on every target.
static_assert(sizeof(ULONG) == 4, "ULONG is 32 bits on every target");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER is 8 bytes");
static_assert(alignof(LARGE_INTEGER) == 8, "LARGE_INTEGER is aligned at 8, as on the platform");
static_assert(sizeof(TAPE_STATUS) == 4, "TAPE_STATUS is passed as a 32-bit value");
static_assert(sizeof(INQUIRYDATA) == 96, "inquiry record is 96 bytes");
static_assert(offsetof(INQUIRYDATA, VendorId) == 8, "vendor id at inquiry byte 8");
static_assert(offsetof(INQUIRYDATA, ProductId) == 16, "product id at inquiry byte 16");
static_assert(offsetof(INQUIRYDATA, ProductRevisionLevel) == 32, "revision at byte 32");
static_assert(sizeof(TAPE_CREATE_PARTITION) == 12, "TAPE_CREATE_PARTITION");
static_assert(sizeof(TAPE_ERASE) == 8, "TAPE_ERASE");
static_assert(sizeof(TAPE_PREPARE) == 8, "TAPE_PREPARE");
static_assert(sizeof(TAPE_WRITE_MARKS) == 12, "TAPE_WRITE_MARKS");
static_assert(sizeof(TAPE_GET_POSITION) == 16, "TAPE_GET_POSITION");
static_assert(offsetof(TAPE_GET_POSITION, Offset) == 8, "TAPE_GET_POSITION.Offset");
static_assert(sizeof(TAPE_SET_POSITION) == 24, "TAPE_SET_POSITION");
static_assert(offsetof(TAPE_SET_POSITION, Offset) == 8, "TAPE_SET_POSITION.Offset");
static_assert(offsetof(TAPE_SET_POSITION, Immediate) == 16, "TAPE_SET_POSITION.Immediate");
static_assert(sizeof(TAPE_GET_DRIVE_PARAMETERS) == 32, "TAPE_GET_DRIVE_PARAMETERS");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, DefaultBlockSize) == 4, "DefaultBlockSize");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, EOTWarningZoneSize) == 28, "EOTWarningZone");
static_assert(sizeof(TAPE_SET_DRIVE_PARAMETERS) == 8, "TAPE_SET_DRIVE_PARAMETERS");
static_assert(sizeof(TAPE_GET_MEDIA_PARAMETERS) == 32, "TAPE_GET_MEDIA_PARAMETERS");
static_assert(offsetof(TAPE_GET_MEDIA_PARAMETERS, BlockSize) == 16, "BlockSize");
static_assert(offsetof(TAPE_GET_MEDIA_PARAMETERS, WriteProtected) == 24, "WriteProtected");
static_assert(sizeof(TAPE_SET_MEDIA_PARAMETERS) == 4, "TAPE_SET_MEDIA_PARAMETERS");

// Pointer-carrying records differ between targets; the i386 layouts are the platform's.
#if defined(__i386__) || defined(_M_IX86)
static_assert(sizeof(SCSI_REQUEST_BLOCK) == 64, "SCSI_REQUEST_BLOCK is 64 bytes on i386");
static_assert(offsetof(SCSI_REQUEST_BLOCK, CdbLength) == 10, "CdbLength");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbFlags) == 12, "SrbFlags");
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataTransferLength) == 16, "DataTransferLength");
static_assert(offsetof(SCSI_REQUEST_BLOCK, TimeOutValue) == 20, "TimeOutValue");
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == 24, "DataBuffer");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SenseInfoBuffer) == 28, "SenseInfoBuffer");
static_assert(offsetof(SCSI_REQUEST_BLOCK, QueueSortKey) == 44, "QueueSortKey");
static_assert(offsetof(SCSI_REQUEST_BLOCK, Cdb) == 48, "Cdb");
static_assert(sizeof(TAPE_INIT_DATA) == 76, "TAPE_INIT_DATA is 76 bytes on i386");
static_assert(offsetof(TAPE_INIT_DATA, MinitapeExtensionSize) == 8, "MinitapeExtensionSize");
static_assert(offsetof(TAPE_INIT_DATA, DefaultTimeOutValue) == 16, "DefaultTimeOutValue");
static_assert(offsetof(TAPE_INIT_DATA, CommandExtensionSize) == 24, "CommandExtensionSize");
static_assert(offsetof(TAPE_INIT_DATA, CreatePartition) == 28, "CreatePartition");
static_assert(offsetof(TAPE_INIT_DATA, WriteMarks) == 68, "WriteMarks");
static_assert(offsetof(TAPE_INIT_DATA, PreProcessReadWrite) == 72, "PreProcessReadWrite");
#endif
