// The simulated VELM QT-7310 DDS-2 DAT drive: a second, independent implementation of the
// drive the driver talks to, written from SCSI-2/SSC-2 behaviour with the standard library
// only, so that a wrong constant in the driver cannot be wrong here too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/drive_types.h"
#include "sim/medium.h"

namespace sim {

enum class Direction { None, In, Out };

namespace internal {
struct Sense;
struct SenseCode;
struct PageContext;
struct SelectPlan;
}  // namespace internal

inline constexpr uint8_t kStatusGood = 0x00;
inline constexpr uint8_t kStatusCheckCondition = 0x02;

struct Result {
    uint8_t status = kStatusGood;
    std::vector<uint8_t> sense;  // 18 bytes of fixed-format sense with CHECK CONDITION
    size_t transferred = 0;      // bytes moved in the data phase
};

struct Identity {
    uint8_t peripheralDeviceType = 0x01;  // sequential-access device
    std::string vendor = "VELM";          // padded with spaces to 8 bytes
    std::string product = "QT-7310";      // to 16
    std::string revision = "0100";        // to 4
    std::string serialNumber = "VQ731000001";
};

// A command answered with chosen sense instead of being carried out. With neither selector
// set it hits the next command; with both, the numbered command only if its opcode matches.
struct Fault {
    std::optional<uint64_t> commandNumber;  // 1-based count of commands this drive received
    std::optional<uint8_t> opcode;          // the next command with this operation code
    uint8_t senseKey = 0x04;
    uint8_t asc = 0x44;
    uint8_t ascq = 0x00;
    bool losePosition = false;  // the drive no longer knows where the tape stands (BPU)
};

struct Options {
    Identity identity;
    bool unitAttentionAtPowerOn = false;  // 6/29/00 pending on the first command
    bool refuseCompressionPage = false;   // page 0x0F unknown to this drive
    size_t modeSenseShortBy = 0;          // MODE SENSE answers delivered this many bytes short
    // Commands an operation started with IMMED stays busy for (0: done at once).
    unsigned immediateOperationCommands = 0;
};

class Drive {
public:
    // Powers on with the cartridge (if any) loaded and ready; the drive takes the cartridge's
    // saved settings. No unit attention is pending unless the options ask for one. A
    // cartridge with a Problem() is a caller's mistake: std::invalid_argument, here and in
    // InsertCartridge. The cartridge is held in a MemoryMedium.
    explicit Drive(Options options = {}, std::optional<Cartridge> cartridge = Cartridge{});
    // Powers on with any medium (nullptr: no cartridge) loaded and ready, the tape standing at
    // `partition`, `position`, and the drive taking `settings` (a cartridge store keeps them
    // between runs). A place outside the medium: std::invalid_argument.
    Drive(Options options, std::unique_ptr<Medium> medium, uint32_t partition, uint64_t position,
          const DriveSettings& settings);

    // One command. Data in: at most min(allocation or transfer length, dataLength) bytes are
    // written to `data`; a READ whose whole transfer would not fit is aborted (0B/4B/00)
    // before the tape moves. Data out: exactly dataLength bytes are read from `data`, and
    // they must be what the CDB announces (parameter list length, transfer length), else
    // 0B/4B/00. Every failure is CHECK CONDITION with 18 bytes of fixed-format sense.
    Result Execute(const uint8_t* cdb, size_t cdbLength, Direction direction, uint8_t* data,
                   size_t dataLength);

    // Operator actions. Insert loads the cartridge (6/28/00 pending) and keeps the drive's
    // settings; false when a cartridge is already in. Remove is the eject button: it unloads
    // and hands the cartridge out (6/3A/00 pending), or nothing when removal is prevented or
    // the drive is empty. PowerCycle clears the prevention and any running operation.
    bool InsertCartridge(const Cartridge& cartridge);
    std::optional<Cartridge> RemoveCartridge();
    void PowerCycle();
    // The same operator actions for any medium: Insert takes ownership (false, and the medium
    // is dropped, when a cartridge is already in); Eject gives it back, nullptr when removal
    // is prevented or the drive is empty. Neither reads the tape.
    bool InsertMedium(std::unique_ptr<Medium> medium);
    std::unique_ptr<Medium> EjectMedium();

    Options& options() { return options_; }
    void InjectFault(const Fault& fault) { faults_.push_back(fault); }
    void SetWriteProtected(bool writeProtected);  // the cartridge's tab; no-op when empty

    // Inspection.
    bool HasCartridge() const { return medium_ != nullptr; }
    bool Loaded() const { return medium_ != nullptr && loaded_; }
    bool RemovalPrevented() const { return prevented_; }
    bool Busy() const { return busy_.remaining > 0; }
    bool PositionKnown() const { return positionKnown_; }
    uint64_t CommandCount() const { return commandCount_; }
    const DriveSettings& settings() const { return settings_; }
    // The cartridge as it would come out now: contents, position and the drive's settings.
    // Reads the whole tape: for tests and small media.
    std::optional<Cartridge> CurrentCartridge() const;
    // The medium in the drive (nullptr when empty) and where the tape stands on it.
    const Medium* medium() const { return medium_.get(); }
    uint32_t Partition() const { return partition_; }
    uint64_t Position() const { return position_; }

private:
    struct Call;
    struct CommandRow;
    enum class Operation { None, Load, Unload, Rewind, Locate, Erase, WriteMarks };
    struct BusyState {
        Operation operation = Operation::None;
        unsigned remaining = 0;
    };

    // The row of the command table for an operation code; the default row for one this drive
    // does not have.
    static const CommandRow& RowFor(uint8_t opcode);
    Result Check(const internal::Sense& sense);
    Result Check(const internal::SenseCode& code);
    std::optional<Result> NotReady();
    std::optional<Result> BusyAnswer(const Call& call);
    Result BusyNotReady(Operation operation);
    void StartImmediate(Operation operation);

    // Handlers, one per operation code (sim/command_table.cpp), grouped by kind: the drive
    // itself (drive_status.cpp), position (drive_position.cpp), data (drive_data.cpp), media
    // (drive_media.cpp), mode and log pages (drive_modes.cpp, drive_log.cpp).
    Result InvalidOperationCode(const Call& call);
    Result TestUnitReady(const Call& call);
    Result RequestSense(const Call& call);
    Result ReadBlockLimits(const Call& call);
    Result Inquiry(const Call& call);
    Result Rewind(const Call& call);
    Result Space(const Call& call);
    Result Locate(const Call& call);
    Result ReadPosition(const Call& call);
    Result Read(const Call& call);
    Result Write(const Call& call);
    Result WriteFilemarks(const Call& call);
    Result Erase(const Call& call);
    Result LoadUnload(const Call& call);
    Result PreventAllow(const Call& call);
    Result ModeSense(const Call& call);
    Result ModeSelect(const Call& call);
    Result LogSense(const Call& call);

    Result SpaceOffTheEnd(bool forward, int64_t undone);
    Result SpaceCounting(ObjectKind counted, int32_t count);
    Result SpaceSequential(ObjectKind kind, int32_t count);
    Result ReadFixed(const Call& call, uint32_t length);
    Result ReadVariable(const Call& call, uint32_t length, bool sili);
    std::optional<Result> StartRecording();
    // Refuses a transfer the drive cannot carry out as asked; the bytes it moves otherwise.
    std::optional<Result> CheckTransfer(bool fixed, uint32_t length, uint64_t& expected);
    // What the mode pages report now.
    internal::PageContext Pages() const;
    Result CommitSelect(const internal::SelectPlan& plan);

    void Truncate() { medium_->TruncateAt(partition_, position_); }  // end of data moves here
    uint64_t EndOfData() const { return medium_->EndOfData(partition_); }
    uint64_t Remaining(uint32_t partition) const;
    bool SetmarkVisible() const { return settings_.reportSetmarks; }
    void QueueUnitAttention(const internal::SenseCode& code);

    Options options_;
    std::unique_ptr<Medium> medium_;
    uint32_t partition_ = 0;  // where the tape stands: partition,
    uint64_t position_ = 0;   // and logical address in it
    bool loaded_ = false;
    bool prevented_ = false;
    bool positionKnown_ = true;
    DriveSettings settings_;
    BusyState busy_;
    Operation running_ = Operation::None;  // what was running when this command arrived
    std::deque<std::pair<uint8_t, uint8_t>> unitAttentions_;  // ASC, ASCQ
    std::vector<Fault> faults_;
    uint64_t commandCount_ = 0;
};

// Cartridge files (format in sim/README.md). Loading refuses a file that is truncated,
// damaged, of another version or not a cartridge file, and says why in `error`; saving
// writes a temporary file beside the target, flushes it to disk and renames it over the
// target, so a failed save leaves the old file as it was and no temporary file behind.
std::vector<uint8_t> EncodeCartridge(const Cartridge& cartridge);
std::optional<Cartridge> DecodeCartridge(const std::vector<uint8_t>& bytes, std::string& error);
bool SaveCartridge(const Cartridge& cartridge, const std::string& path, std::string& error);
std::optional<Cartridge> LoadCartridge(const std::string& path, std::string& error);

inline constexpr uint32_t kCartridgeFileVersion = 1;

}  // namespace sim
