// Every condition the simulated drive reports, named once: the sense keys, the flags of sense
// byte 2, and each key with its additional sense code and qualifier. Only the drive's own
// sources include this; the host decodes sense with its own names.
#pragma once

#include <cstdint>

namespace sim {
namespace internal {

// Sense keys.
constexpr uint8_t kKeyNoSense = 0x0;
constexpr uint8_t kKeyNotReady = 0x2;
constexpr uint8_t kKeyMediumError = 0x3;
constexpr uint8_t kKeyIllegalRequest = 0x5;
constexpr uint8_t kKeyUnitAttention = 0x6;
constexpr uint8_t kKeyDataProtect = 0x7;
constexpr uint8_t kKeyBlankCheck = 0x8;
constexpr uint8_t kKeyAbortedCommand = 0xB;
constexpr uint8_t kKeyVolumeOverflow = 0xD;

// Flags in sense byte 2.
constexpr uint8_t kSenseFilemark = 0x80;
constexpr uint8_t kSenseEom = 0x40;
constexpr uint8_t kSenseIli = 0x20;

// A sense key with its additional sense code and qualifier.
struct SenseCode {
    uint8_t key;
    uint8_t asc;
    uint8_t ascq;
};

// Marks, ends and lengths met while reading, writing or spacing.
constexpr SenseCode kNoAdditionalSense{kKeyNoSense, 0x00, 0x00};  // with ILI: a block's length
constexpr SenseCode kFilemarkDetected{kKeyNoSense, 0x00, 0x01};
constexpr SenseCode kSetmarkDetected{kKeyNoSense, 0x00, 0x03};
constexpr SenseCode kBeginningOfPartition{kKeyNoSense, 0x00, 0x04};
constexpr SenseCode kEndOfPartition{kKeyVolumeOverflow, 0x00, 0x02};
constexpr SenseCode kEndOfData{kKeyBlankCheck, 0x00, 0x05};

// The drive cannot do it now.
constexpr SenseCode kMediumNotPresent{kKeyNotReady, 0x3A, 0x00};
constexpr SenseCode kBecomingReady{kKeyNotReady, 0x04, 0x01};
constexpr SenseCode kInitializingCommandRequired{kKeyNotReady, 0x04, 0x02};  // in, not loaded
constexpr SenseCode kOperationInProgress{kKeyNotReady, 0x00, 0x16};
constexpr SenseCode kEraseInProgress{kKeyNotReady, 0x00, 0x18};
constexpr SenseCode kLocateInProgress{kKeyNotReady, 0x00, 0x19};
constexpr SenseCode kRewindInProgress{kKeyNotReady, 0x00, 0x1A};
// A second immediate command while one runs: it has no later completion to wait for.
constexpr SenseCode kImmediateRefusedInProgress{kKeyAbortedCommand, 0x00, 0x16};
constexpr SenseCode kDataPhaseError{kKeyAbortedCommand, 0x4B, 0x00};

// The tape or the cartridge refuses.
constexpr SenseCode kSequentialPositioningError{kKeyMediumError, 0x3B, 0x00};
// A block whose recorded bytes cannot be read back as written.
constexpr SenseCode kUnrecoveredReadError{kKeyMediumError, 0x11, 0x00};
constexpr SenseCode kWriteProtected{kKeyDataProtect, 0x27, 0x00};

// The initiator asked for something this drive does not do.
constexpr SenseCode kParameterListLengthError{kKeyIllegalRequest, 0x1A, 0x00};
constexpr SenseCode kInvalidCommandOperationCode{kKeyIllegalRequest, 0x20, 0x00};
constexpr SenseCode kInvalidFieldInCdb{kKeyIllegalRequest, 0x24, 0x00};
constexpr SenseCode kInvalidFieldInParameterList{kKeyIllegalRequest, 0x26, 0x00};
constexpr SenseCode kMediumRemovalPrevented{kKeyIllegalRequest, 0x53, 0x02};

// Unit attentions: news of a change the initiator did not cause.
constexpr SenseCode kMediumMayHaveChanged{kKeyUnitAttention, 0x28, 0x00};
constexpr SenseCode kPowerOnReset{kKeyUnitAttention, 0x29, 0x00};
constexpr SenseCode kMediumRemoved{kKeyUnitAttention, 0x3A, 0x00};

}  // namespace internal
}  // namespace sim
