// Every record the class driver and this driver share, pinned member by member to its i386
// layout. Compiled by both i386 builds: the mingw image build and the 32-bit Linux loader
// build, whose compilers disagree on the alignment of 8-byte members unless told otherwise.
#include <stddef.h>

#include "driver/velmdat.h"
#include "platform/tapeclass.h"

#if !(defined(__i386__) || defined(_M_IX86))
#error "layout_check.cpp pins the i386 layouts; build it only for i386"
#endif

static_assert(sizeof(PVOID) == 4 && sizeof(TAPE_PROCESS_COMMAND_ROUTINE) == 4, "32-bit pointers");
static_assert(sizeof(UCHAR) == 1 && sizeof(BOOLEAN) == 1, "byte types");
static_assert(sizeof(USHORT) == 2, "USHORT");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "32-bit ULONG and LONG");
static_assert(sizeof(TAPE_STATUS) == 4 && alignof(TAPE_STATUS) == 4, "TAPE_STATUS");

static_assert(sizeof(LARGE_INTEGER) == 8 && alignof(LARGE_INTEGER) == 8, "LARGE_INTEGER");
static_assert(offsetof(LARGE_INTEGER, u.LowPart) == 0, "LowPart first: little-endian");
static_assert(offsetof(LARGE_INTEGER, u.HighPart) == 4, "HighPart");

static_assert(sizeof(SCSI_REQUEST_BLOCK) == 64 && alignof(SCSI_REQUEST_BLOCK) == 4, "SRB");
static_assert(offsetof(SCSI_REQUEST_BLOCK, Length) == 0, "Length");
static_assert(offsetof(SCSI_REQUEST_BLOCK, Function) == 2, "Function");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbStatus) == 3, "SrbStatus");
static_assert(offsetof(SCSI_REQUEST_BLOCK, ScsiStatus) == 4, "ScsiStatus");
static_assert(offsetof(SCSI_REQUEST_BLOCK, PathId) == 5, "PathId");
static_assert(offsetof(SCSI_REQUEST_BLOCK, TargetId) == 6, "TargetId");
static_assert(offsetof(SCSI_REQUEST_BLOCK, Lun) == 7, "Lun");
static_assert(offsetof(SCSI_REQUEST_BLOCK, QueueTag) == 8, "QueueTag");
static_assert(offsetof(SCSI_REQUEST_BLOCK, QueueAction) == 9, "QueueAction");
static_assert(offsetof(SCSI_REQUEST_BLOCK, CdbLength) == 10, "CdbLength");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SenseInfoBufferLength) == 11, "SenseInfoBufferLength");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbFlags) == 12, "SrbFlags");
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataTransferLength) == 16, "DataTransferLength");
static_assert(offsetof(SCSI_REQUEST_BLOCK, TimeOutValue) == 20, "TimeOutValue");
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == 24, "DataBuffer");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SenseInfoBuffer) == 28, "SenseInfoBuffer");
static_assert(offsetof(SCSI_REQUEST_BLOCK, NextSrb) == 32, "NextSrb");
static_assert(offsetof(SCSI_REQUEST_BLOCK, OriginalRequest) == 36, "OriginalRequest");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbExtension) == 40, "SrbExtension");
static_assert(offsetof(SCSI_REQUEST_BLOCK, QueueSortKey) == 44, "QueueSortKey");
static_assert(offsetof(SCSI_REQUEST_BLOCK, Cdb) == 48, "Cdb");

static_assert(sizeof(TAPE_INIT_DATA) == 76 && alignof(TAPE_INIT_DATA) == 4, "TAPE_INIT_DATA");
static_assert(offsetof(TAPE_INIT_DATA, VerifyInquiry) == 0, "VerifyInquiry");
static_assert(offsetof(TAPE_INIT_DATA, QueryModeCapabilitiesPage) == 4, "QueryModeCapabilities");
static_assert(offsetof(TAPE_INIT_DATA, MinitapeExtensionSize) == 8, "MinitapeExtensionSize");
static_assert(offsetof(TAPE_INIT_DATA, ExtensionInit) == 12, "ExtensionInit");
static_assert(offsetof(TAPE_INIT_DATA, DefaultTimeOutValue) == 16, "DefaultTimeOutValue");
static_assert(offsetof(TAPE_INIT_DATA, TapeError) == 20, "TapeError");
static_assert(offsetof(TAPE_INIT_DATA, CommandExtensionSize) == 24, "CommandExtensionSize");
static_assert(offsetof(TAPE_INIT_DATA, CreatePartition) == 28, "CreatePartition");
static_assert(offsetof(TAPE_INIT_DATA, Erase) == 32, "Erase");
static_assert(offsetof(TAPE_INIT_DATA, GetDriveParameters) == 36, "GetDriveParameters");
static_assert(offsetof(TAPE_INIT_DATA, GetMediaParameters) == 40, "GetMediaParameters");
static_assert(offsetof(TAPE_INIT_DATA, GetPosition) == 44, "GetPosition");
static_assert(offsetof(TAPE_INIT_DATA, GetStatus) == 48, "GetStatus");
static_assert(offsetof(TAPE_INIT_DATA, Prepare) == 52, "Prepare");
static_assert(offsetof(TAPE_INIT_DATA, SetDriveParameters) == 56, "SetDriveParameters");
static_assert(offsetof(TAPE_INIT_DATA, SetMediaParameters) == 60, "SetMediaParameters");
static_assert(offsetof(TAPE_INIT_DATA, SetPosition) == 64, "SetPosition");
static_assert(offsetof(TAPE_INIT_DATA, WriteMarks) == 68, "WriteMarks");
static_assert(offsetof(TAPE_INIT_DATA, PreProcessReadWrite) == 72, "PreProcessReadWrite");

static_assert(sizeof(INQUIRYDATA) == 96 && alignof(INQUIRYDATA) == 1, "INQUIRYDATA");
static_assert(offsetof(INQUIRYDATA, Versions) == 2, "Versions");
static_assert(offsetof(INQUIRYDATA, ResponseDataFormat) == 3, "ResponseDataFormat");
static_assert(offsetof(INQUIRYDATA, AdditionalLength) == 4, "AdditionalLength");
static_assert(offsetof(INQUIRYDATA, VendorId) == 8, "VendorId");
static_assert(offsetof(INQUIRYDATA, ProductId) == 16, "ProductId");
static_assert(offsetof(INQUIRYDATA, ProductRevisionLevel) == 32, "ProductRevisionLevel");
static_assert(offsetof(INQUIRYDATA, VendorSpecific) == 36, "VendorSpecific");
static_assert(offsetof(INQUIRYDATA, Reserved3) == 56, "Reserved3");
static_assert(sizeof(MODE_CAPABILITIES_PAGE) == 20, "MODE_CAPABILITIES_PAGE");

static_assert(sizeof(TAPE_CREATE_PARTITION) == 12, "TAPE_CREATE_PARTITION");
static_assert(offsetof(TAPE_CREATE_PARTITION, Count) == 4, "CreatePartition.Count");
static_assert(offsetof(TAPE_CREATE_PARTITION, Size) == 8, "CreatePartition.Size");
static_assert(sizeof(TAPE_ERASE) == 8 && offsetof(TAPE_ERASE, Immediate) == 4, "TAPE_ERASE");
static_assert(sizeof(TAPE_PREPARE) == 8 && offsetof(TAPE_PREPARE, Immediate) == 4, "TAPE_PREPARE");
static_assert(sizeof(TAPE_WRITE_MARKS) == 12, "TAPE_WRITE_MARKS");
static_assert(offsetof(TAPE_WRITE_MARKS, Count) == 4, "WriteMarks.Count");
static_assert(offsetof(TAPE_WRITE_MARKS, Immediate) == 8, "WriteMarks.Immediate");
static_assert(sizeof(TAPE_GET_POSITION) == 16 && alignof(TAPE_GET_POSITION) == 8, "GET_POSITION");
static_assert(offsetof(TAPE_GET_POSITION, Partition) == 4, "GetPosition.Partition");
static_assert(offsetof(TAPE_GET_POSITION, Offset) == 8, "GetPosition.Offset");
static_assert(sizeof(TAPE_SET_POSITION) == 24 && alignof(TAPE_SET_POSITION) == 8, "SET_POSITION");
static_assert(offsetof(TAPE_SET_POSITION, Partition) == 4, "SetPosition.Partition");
static_assert(offsetof(TAPE_SET_POSITION, Offset) == 8, "SetPosition.Offset");
static_assert(offsetof(TAPE_SET_POSITION, Immediate) == 16, "SetPosition.Immediate");
static_assert(sizeof(TAPE_GET_DRIVE_PARAMETERS) == 32, "TAPE_GET_DRIVE_PARAMETERS");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, Compression) == 1, "Compression");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, DataPadding) == 2, "DataPadding");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, ReportSetmarks) == 3, "ReportSetmarks");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, DefaultBlockSize) == 4, "DefaultBlockSize");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, MaximumBlockSize) == 8, "MaximumBlockSize");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, MinimumBlockSize) == 12, "MinimumBlockSize");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, MaximumPartitionCount) == 16, "MaxPartitions");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, FeaturesLow) == 20, "FeaturesLow");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, FeaturesHigh) == 24, "FeaturesHigh");
static_assert(offsetof(TAPE_GET_DRIVE_PARAMETERS, EOTWarningZoneSize) == 28, "EOTWarningZone");
static_assert(sizeof(TAPE_SET_DRIVE_PARAMETERS) == 8, "TAPE_SET_DRIVE_PARAMETERS");
static_assert(offsetof(TAPE_SET_DRIVE_PARAMETERS, EOTWarningZoneSize) == 4, "Set EOTWarningZone");
static_assert(sizeof(TAPE_GET_MEDIA_PARAMETERS) == 32, "TAPE_GET_MEDIA_PARAMETERS");
static_assert(alignof(TAPE_GET_MEDIA_PARAMETERS) == 8, "8-byte aligned as on the platform");
static_assert(offsetof(TAPE_GET_MEDIA_PARAMETERS, Remaining) == 8, "Remaining");
static_assert(offsetof(TAPE_GET_MEDIA_PARAMETERS, BlockSize) == 16, "BlockSize");
static_assert(offsetof(TAPE_GET_MEDIA_PARAMETERS, PartitionCount) == 20, "PartitionCount");
static_assert(offsetof(TAPE_GET_MEDIA_PARAMETERS, WriteProtected) == 24, "WriteProtected");
static_assert(sizeof(TAPE_SET_MEDIA_PARAMETERS) == 4, "TAPE_SET_MEDIA_PARAMETERS");

static_assert(sizeof(MINITAPE_EXTENSION) == 8 && alignof(MINITAPE_EXTENSION) == 4, "extension");
static_assert(offsetof(MINITAPE_EXTENSION, DriveType) == 0, "DriveType");
static_assert(offsetof(MINITAPE_EXTENSION, CurrentPartition) == 4, "CurrentPartition");
static_assert(sizeof(COMMAND_EXTENSION) == 4 && alignof(COMMAND_EXTENSION) == 4, "command ext");
