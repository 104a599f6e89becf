// The simulated drive's command table: one row for each operation code the drive knows (its
// CDB length, whether it needs the cartridge, whether it moves the tape, its IMMED bit and its
// handler) and a default row that refuses any other code as ILLEGAL REQUEST 5/20/00.
#include <array>

#include "sim/drive_internal.h"

namespace sim {
namespace {

constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpRewind = 0x01;
constexpr uint8_t kOpRequestSense = 0x03;
constexpr uint8_t kOpReadBlockLimits = 0x05;
constexpr uint8_t kOpRead6 = 0x08;
constexpr uint8_t kOpWrite6 = 0x0A;
constexpr uint8_t kOpWriteFilemarks = 0x10;
constexpr uint8_t kOpSpace = 0x11;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpModeSelect6 = 0x15;
constexpr uint8_t kOpErase = 0x19;
constexpr uint8_t kOpModeSense6 = 0x1A;
constexpr uint8_t kOpLoadUnload = 0x1B;
constexpr uint8_t kOpPreventAllow = 0x1E;
constexpr uint8_t kOpLocate10 = 0x2B;
constexpr uint8_t kOpReadPosition = 0x34;
constexpr uint8_t kOpLogSense = 0x4D;

constexpr uint8_t kCdb6 = 6;
constexpr uint8_t kCdb10 = 10;
constexpr uint8_t kImmed = 0x01;
constexpr uint8_t kEraseImmed = 0x02;  // bit 0 of ERASE is LONG
constexpr uint8_t kNoImmed = 0;

constexpr bool kNeedsMedium = true;
constexpr bool kAnyMedium = false;
constexpr bool kMoves = true;
constexpr bool kStill = false;
constexpr bool kPassesAttention = true;
constexpr bool kReportsAttention = false;

}  // namespace

const Drive::CommandRow& Drive::RowFor(uint8_t opcode)
{
    // REQUEST SENSE and INQUIRY answer in any state; LOAD UNLOAD is how a cartridge becomes
    // ready and says itself when there is none; PREVENT ALLOW only sets the lock.
    static const std::array<CommandRow, 17> kRows = {{
        {kOpTestUnitReady, kCdb6, kNeedsMedium, kMoves, kReportsAttention, kNoImmed,
         &Drive::TestUnitReady},
        {kOpRewind, kCdb6, kNeedsMedium, kMoves, kReportsAttention, kImmed, &Drive::Rewind},
        {kOpRequestSense, kCdb6, kAnyMedium, kStill, kPassesAttention, kNoImmed,
         &Drive::RequestSense},
        {kOpReadBlockLimits, kCdb6, kNeedsMedium, kStill, kReportsAttention, kNoImmed,
         &Drive::ReadBlockLimits},
        {kOpRead6, kCdb6, kNeedsMedium, kMoves, kReportsAttention, kNoImmed, &Drive::Read},
        {kOpWrite6, kCdb6, kNeedsMedium, kMoves, kReportsAttention, kNoImmed, &Drive::Write},
        {kOpWriteFilemarks, kCdb6, kNeedsMedium, kMoves, kReportsAttention, kImmed,
         &Drive::WriteFilemarks},
        {kOpSpace, kCdb6, kNeedsMedium, kMoves, kReportsAttention, kNoImmed, &Drive::Space},
        {kOpInquiry, kCdb6, kAnyMedium, kStill, kPassesAttention, kNoImmed, &Drive::Inquiry},
        {kOpModeSelect6, kCdb6, kNeedsMedium, kMoves, kReportsAttention, kNoImmed,
         &Drive::ModeSelect},
        {kOpErase, kCdb6, kNeedsMedium, kMoves, kReportsAttention, kEraseImmed, &Drive::Erase},
        {kOpModeSense6, kCdb6, kNeedsMedium, kStill, kReportsAttention, kNoImmed,
         &Drive::ModeSense},
        {kOpLoadUnload, kCdb6, kAnyMedium, kMoves, kReportsAttention, kImmed, &Drive::LoadUnload},
        {kOpPreventAllow, kCdb6, kAnyMedium, kStill, kReportsAttention, kNoImmed,
         &Drive::PreventAllow},
        {kOpLocate10, kCdb10, kNeedsMedium, kMoves, kReportsAttention, kImmed, &Drive::Locate},
        {kOpReadPosition, kCdb10, kNeedsMedium, kMoves, kReportsAttention, kNoImmed,
         &Drive::ReadPosition},
        {kOpLogSense, kCdb10, kNeedsMedium, kStill, kReportsAttention, kNoImmed, &Drive::LogSense},
    }};
    static const CommandRow kUnknown = {
        0, 0, kAnyMedium, kStill, kPassesAttention, kNoImmed, &Drive::InvalidOperationCode};
    for (const CommandRow& row : kRows) {
        if (row.opcode == opcode) {
            return row;
        }
    }
    return kUnknown;
}

Result Drive::InvalidOperationCode(const Call& /*call*/)
{
    return Check(kInvalidCommandOperationCode);
}

}  // namespace sim
