// The SCSI vocabulary the driver speaks to the QT-7310: operation codes, command bits, the
// byte positions of every answer and parameter list it reads or writes, lengths and time-outs.
// Page bytes count from the page code byte; buffer bytes from the start of the data buffer.
#pragma once

#include "platform/tapeclass.h"

namespace scsi {

// Command blocks.
inline constexpr UCHAR kCdbLength6 = 6;
inline constexpr UCHAR kCdbLength10 = 10;
inline constexpr ULONG kCdbClearBytes = 12;  // every command starts from these zeroed

// Operation codes.
inline constexpr UCHAR kOpRewind = 0x01;
inline constexpr UCHAR kOpReadBlockLimits = 0x05;
inline constexpr UCHAR kOpWriteFilemarks = 0x10;
inline constexpr UCHAR kOpSpace = 0x11;
inline constexpr UCHAR kOpModeSelect6 = 0x15;
inline constexpr UCHAR kOpErase = 0x19;
inline constexpr UCHAR kOpModeSense6 = 0x1A;
inline constexpr UCHAR kOpLoadUnload = 0x1B;
inline constexpr UCHAR kOpPreventAllow = 0x1E;
inline constexpr UCHAR kOpLocate = 0x2B;
inline constexpr UCHAR kOpReadPosition = 0x34;
inline constexpr UCHAR kOpLogSense = 0x4D;

// REWIND.
inline constexpr UCHAR kRewindImmed = 0x01;

// LOCATE(10).
inline constexpr UCHAR kLocateImmed = 0x01;
inline constexpr UCHAR kLocateCp = 0x02;                 // byte 8 names the partition to move to
inline constexpr UCHAR kLocateBt = 0x04;                 // address is the drive's own, not logical
inline constexpr ULONG kLocatePartitionFieldMax = 0xFF;  // byte 8: 0-based partition

// SPACE: a 3-bit code in byte 1 and a 24-bit two's-complement count in bytes 2 to 4.
inline constexpr UCHAR kSpaceCodeMask = 0x07;
inline constexpr UCHAR kSpaceCodeBlocks = 0;
inline constexpr UCHAR kSpaceCodeFilemarks = 1;
inline constexpr UCHAR kSpaceCodeSequentialFilemarks = 2;
inline constexpr UCHAR kSpaceCodeEndOfData = 3;
inline constexpr UCHAR kSpaceCodeSetmarks = 4;
inline constexpr UCHAR kSpaceCodeSequentialSetmarks = 5;
inline constexpr LONG kSpaceCountMin = -8388608;  // -2^23
inline constexpr LONG kSpaceCountMax = 8388607;   // 2^23 - 1

// READ POSITION and its 20-byte answer.
inline constexpr UCHAR kReadPositionBt = 0x01;
inline constexpr ULONG kReadPositionLength = 20;
inline constexpr ULONG kRposFlagsByte = 0;
inline constexpr UCHAR kRposBpu = 0x04;  // drive cannot say where it is
inline constexpr ULONG kRposPartitionByte = 1;
inline constexpr ULONG kRposFirstBlockByte = 4;

// LOAD UNLOAD (byte 4 carries the action).
inline constexpr UCHAR kLoadUnloadImmed = 0x01;
inline constexpr UCHAR kLoadUnloadLoad = 0x01;
inline constexpr UCHAR kLoadUnloadUnload = 0x00;

// PREVENT ALLOW MEDIUM REMOVAL (byte 4 carries the action).
inline constexpr UCHAR kPreventAllowPrevent = 0x01;
inline constexpr UCHAR kPreventAllowAllow = 0x00;

// ERASE: unlike the other commands, IMMED is bit 1 here.
inline constexpr UCHAR kEraseLong = 0x01;
inline constexpr UCHAR kEraseImmed = 0x02;

// WRITE FILEMARKS: a 24-bit count in bytes 2 to 4.
inline constexpr UCHAR kWriteFilemarksImmed = 0x01;
inline constexpr UCHAR kWriteFilemarksWsmk = 0x02;  // write setmarks instead of filemarks
inline constexpr ULONG kWriteFilemarksCountMax = 0xFFFFFF;

// READ BLOCK LIMITS and its 6-byte answer.
inline constexpr ULONG kBlockLimitsLength = 6;
inline constexpr ULONG kBlockLimitsMaximumByte = 1;  // 24 bits
inline constexpr ULONG kBlockLimitsMinimumByte = 4;  // 16 bits

// MODE SENSE(6) / MODE SELECT(6).
inline constexpr UCHAR kModeSenseDbd = 0x08;       // no block descriptor in the answer
inline constexpr UCHAR kModeSelectPf = 0x10;       // parameter list in page format
inline constexpr UCHAR kModeSelectNoPages = 0x00;  // PF clear: header and descriptor only

// Mode parameter header of the six-byte commands.
inline constexpr ULONG kModeHeaderLength = 4;
inline constexpr ULONG kModeDataLengthByte = 0;
inline constexpr ULONG kModeMediumTypeByte = 1;
inline constexpr ULONG kModeDeviceSpecificByte = 2;
inline constexpr ULONG kModeBlockDescriptorLengthByte = 3;
inline constexpr UCHAR kModeWriteProtect = 0x80;
inline constexpr UCHAR kModeBufferedMode1 = 0x10;       // buffered mode 1, speed 0, WP clear
inline constexpr UCHAR kModeDataLengthReserved = 0x00;  // reserved in MODE SELECT
inline constexpr UCHAR kModeMediumTypeDefault = 0x00;
inline constexpr UCHAR kModeNoBlockDescriptor = 0x00;

// Block descriptor (8 bytes after the header).
inline constexpr ULONG kBlockDescriptorLength = 8;
inline constexpr ULONG kDescriptorDensityByte = 0;
inline constexpr ULONG kDescriptorBlockLengthByte = 5;  // 24 bits
inline constexpr UCHAR kDensityKeepCurrent = 0x7F;
inline constexpr ULONG kBlockLengthMax = 0xFFFFFF;

// Every mode page.
inline constexpr ULONG kPageCodeByte = 0;
inline constexpr ULONG kPageLengthByte = 1;
inline constexpr ULONG kPageHeaderLength = 2;  // code and length bytes before the fields
inline constexpr UCHAR kPageCodeMask = 0x3F;
inline constexpr UCHAR kPageFlagsMask = 0xC0;  // PS and the bit beside it

// Device configuration page.
inline constexpr UCHAR kPageDeviceConfiguration = 0x10;
inline constexpr UCHAR kConfigPageLength = 0x0E;
inline constexpr ULONG kConfigActivePartitionByte = 3;
inline constexpr ULONG kConfigRsmkByte = 8;
inline constexpr UCHAR kConfigRsmk = 0x20;  // report setmarks
inline constexpr ULONG kConfigBufferLength = 20;

// Data compression page.
inline constexpr UCHAR kPageDataCompression = 0x0F;
inline constexpr UCHAR kCompressionPageLength = 0x0E;
inline constexpr ULONG kCompressionDceByte = 2;
inline constexpr UCHAR kCompressionDce = 0x80;  // compression enabled
inline constexpr ULONG kCompressionDccByte = 2;
inline constexpr UCHAR kCompressionDcc = 0x40;  // drive capable of compression
inline constexpr ULONG kCompressionDdeByte = 3;
inline constexpr UCHAR kCompressionDde = 0x80;           // decompression enabled
inline constexpr ULONG kCompressionAlgorithmByte = 4;    // 32 bits
inline constexpr ULONG kDecompressionAlgorithmByte = 8;  // 32 bits
inline constexpr ULONG kCompressionAlgorithmDclz = 0x20;
inline constexpr ULONG kCompressionAlgorithmNone = 0;
inline constexpr ULONG kCompressBufferLength = 20;

// Medium partition page.
inline constexpr UCHAR kPageMediumPartition = 0x11;
inline constexpr ULONG kPartMaximumAdditionalByte = 2;
inline constexpr ULONG kPartAdditionalDefinedByte = 3;
inline constexpr ULONG kPartFlagsByte = 4;
inline constexpr UCHAR kPartFlagsKeptMask = 0xC7;  // FDP, SDP and bits 2-0 from the drive
inline constexpr UCHAR kPartIdp = 0x20;            // initiator-defined partitions
inline constexpr UCHAR kPartPsumMegabytes = 0x10;  // PSUM 10b: sizes in megabytes
inline constexpr ULONG kPartMediumFormatByte = 5;
inline constexpr UCHAR kPartMediumFormatRecognition = 3;
inline constexpr ULONG kPartSizeDescriptorByte = 8;  // 16 bits, partition 0
inline constexpr UCHAR kPartPageLengthOne = 6;       // no size descriptor
inline constexpr UCHAR kPartPageLengthTwo = 8;       // one size descriptor
inline constexpr UCHAR kPartMaximumAdditionalNone = 0;
inline constexpr UCHAR kPartAdditionalOne = 0;
inline constexpr UCHAR kPartAdditionalTwo = 1;
inline constexpr ULONG kPartSizeMax = 0xFFFF;
inline constexpr ULONG kPartBufferLength = 16;
// Header and a page with one size descriptor: the buffer less its two spare bytes.
inline constexpr ULONG kPartSenseLength = 14;

// Medium partition page read with its block descriptor (buffer bytes).
inline constexpr ULONG kPartWithDescriptorLength = 24;
inline constexpr ULONG kPartWithDescriptorBlockLengthByte =
    kModeHeaderLength + kDescriptorBlockLengthByte;
inline constexpr ULONG kPartWithDescriptorAdditionalDefinedByte =
    kModeHeaderLength + kBlockDescriptorLength + kPartAdditionalDefinedByte;

// Block-size parameter list: header and block descriptor, no page.
inline constexpr ULONG kBlockSizeListLength = kModeHeaderLength + kBlockDescriptorLength;

// LOG SENSE(10) of the drive's capacity log page and its answer.
inline constexpr UCHAR kLogSensePcCumulative = 0x40;  // current cumulative values
inline constexpr UCHAR kPageCapacityLog = 0x31;
inline constexpr ULONG kCapacityLogLength = 36;
inline constexpr ULONG kCapacityLogBufferLength = 92;
inline constexpr ULONG kCapacityRemaining1Byte = 8;  // 32 bits, units of 1024 bytes
inline constexpr ULONG kCapacityRemaining2Byte = 16;
inline constexpr ULONG kCapacityMaximum1Byte = 24;
inline constexpr ULONG kCapacityMaximum2Byte = 32;
inline constexpr unsigned kCapacityUnitShift = 10;  // 1024 bytes

// Fixed-format sense data.
inline constexpr ULONG kSenseKeyByte = 2;
inline constexpr UCHAR kSenseKeyMask = 0x0F;  // the upper bits are FILEMARK, EOM, ILI
inline constexpr ULONG kSenseAscByte = 12;
inline constexpr ULONG kSenseAscqByte = 13;
inline constexpr UCHAR kSenseKeyAbortedCommand = 0x0B;
inline constexpr UCHAR kAscMediumNotPresent = 0x3A;
inline constexpr UCHAR kAscqMediumNotPresent = 0x00;

// Time-outs.
inline constexpr ULONG kTimeoutDefaultSeconds = 360;
inline constexpr ULONG kTimeoutRewindSeconds = 360;
inline constexpr ULONG kTimeoutLocateSeconds = 480;
inline constexpr ULONG kTimeoutSpaceSeconds = 480;
inline constexpr ULONG kTimeoutLoadUnloadSeconds = 390;
inline constexpr ULONG kTimeoutPreventAllowSeconds = 180;
inline constexpr ULONG kTimeoutEraseLongSeconds = 16500;
inline constexpr ULONG kTimeoutWriteFilemarksSeconds = 360;
inline constexpr ULONG kTimeoutPartitionSeconds = 16500;

}  // namespace scsi
