// The simulated QT-7310 answering SCSI commands: the command table's checks before a handler
// runs (length, link bit, unit attentions, immediate operations, readiness), the sense every
// refusal carries, and the operator actions (insert, eject, power). Standard library only.
#include <stdexcept>

#include "sim/drive_internal.h"

namespace sim {

namespace {

constexpr uint8_t kControlLink = 0x01;  // bit 0 of the last CDB byte
constexpr uint8_t kControlLinkBit = 0;

}  // namespace

Drive::Drive(Options options, std::optional<Cartridge> cartridge) : options_(std::move(options))
{
    if (cartridge) {
        if (const auto problem = cartridge->Problem()) {
            throw std::invalid_argument("impossible cartridge: " + *problem);
        }
        medium_ = std::make_unique<MemoryMedium>(*cartridge);
        partition_ = cartridge->partition;
        position_ = cartridge->position;
        loaded_ = true;
        settings_ = cartridge->settings;
    }
    if (options_.unitAttentionAtPowerOn) {
        QueueUnitAttention(kPowerOnReset);
    }
}

Drive::Drive(Options options, std::unique_ptr<Medium> medium, uint32_t partition, uint64_t position,
             const DriveSettings& settings)
    : options_(std::move(options)), medium_(std::move(medium)), settings_(settings)
{
    if (medium_) {
        if (partition >= medium_->PartitionCount() || position > medium_->EndOfData(partition)) {
            throw std::invalid_argument("impossible cartridge: position beyond end of data");
        }
        partition_ = partition;
        position_ = position;
        loaded_ = true;
    }
    if (options_.unitAttentionAtPowerOn) {
        QueueUnitAttention(kPowerOnReset);
    }
}

void Drive::QueueUnitAttention(const SenseCode& code)
{
    const auto powerOn = [](uint8_t asc, uint8_t ascq) {
        return asc == kPowerOnReset.asc && ascq == kPowerOnReset.ascq;
    };
    // A newer change of the medium supersedes the news of an older one.
    unitAttentions_.erase(
        std::remove_if(unitAttentions_.begin(), unitAttentions_.end(),
                       [&](const auto& ua) { return !powerOn(ua.first, ua.second); }),
        unitAttentions_.end());
    if (!powerOn(code.asc, code.ascq) || unitAttentions_.empty()) {
        unitAttentions_.emplace_back(code.asc, code.ascq);
    }
}

bool Drive::InsertCartridge(const Cartridge& cartridge)
{
    if (medium_) {
        return false;
    }
    if (const auto problem = cartridge.Problem()) {
        throw std::invalid_argument("impossible cartridge: " + *problem);
    }
    return InsertMedium(std::make_unique<MemoryMedium>(cartridge));
}

bool Drive::InsertMedium(std::unique_ptr<Medium> medium)
{
    if (medium_ || !medium) {
        return false;
    }
    medium_ = std::move(medium);
    partition_ = 0;
    position_ = 0;
    loaded_ = true;
    positionKnown_ = true;
    QueueUnitAttention(kMediumMayHaveChanged);
    return true;
}

std::optional<Cartridge> Drive::RemoveCartridge()
{
    const std::unique_ptr<Medium> medium = EjectMedium();
    if (!medium) {
        return std::nullopt;
    }
    Cartridge out = ReadWholeTape(*medium);  // ejecting winds the tape back to its beginning
    out.settings = settings_;
    return out;
}

std::unique_ptr<Medium> Drive::EjectMedium()
{
    if (!medium_ || prevented_) {
        return nullptr;
    }
    std::unique_ptr<Medium> out = std::move(medium_);
    partition_ = 0;
    position_ = 0;
    loaded_ = false;
    busy_ = {};
    QueueUnitAttention(kMediumRemoved);
    return out;
}

void Drive::PowerCycle()
{
    prevented_ = false;
    busy_ = {};
    positionKnown_ = true;
    unitAttentions_.clear();
    unitAttentions_.emplace_back(kPowerOnReset.asc, kPowerOnReset.ascq);
    if (medium_) {
        loaded_ = true;
        partition_ = 0;
        position_ = 0;
    }
}

void Drive::SetWriteProtected(bool writeProtected)
{
    if (medium_) {
        medium_->SetWriteProtected(writeProtected);
    }
}

std::optional<Cartridge> Drive::CurrentCartridge() const
{
    if (!medium_) {
        return std::nullopt;
    }
    Cartridge copy = ReadWholeTape(*medium_);
    copy.partition = partition_;
    copy.position = position_;
    copy.settings = settings_;
    return copy;
}

uint64_t Drive::Remaining(uint32_t partition) const
{
    const uint64_t capacity = medium_->PartitionCapacity(partition);
    const uint64_t used = medium_->UsedBytes(partition);
    return used >= capacity ? 0 : capacity - used;
}

Result Drive::Check(const Sense& s)
{
    Result result;
    result.status = kStatusCheckCondition;
    result.transferred = s.transferred;
    result.sense.assign(kSenseLength, 0);
    auto& b = result.sense;
    b[0] = kSenseCurrent | (s.information ? kSenseValid : 0);
    b[2] = static_cast<uint8_t>(s.flags | s.key);
    if (s.information) {
        PutBe32(&b[3], static_cast<uint32_t>(*s.information));
    }
    b[7] = kSenseAdditionalLength;
    b[12] = s.asc;
    b[13] = s.ascq;
    if (s.fieldPointer) {
        b[15] = static_cast<uint8_t>(kSksv | (s.inCdb ? kSksCommand : 0) |
                                     (s.bit ? (kSksBitValid | *s.bit) : 0));
        PutBe16(&b[16], *s.fieldPointer);
    }
    return result;
}

Result Drive::Check(const SenseCode& code)
{
    return Check(Sense::Of(code));
}

std::optional<Result> Drive::NotReady()
{
    if (!medium_) {
        return Check(kMediumNotPresent);
    }
    if (!loaded_) {
        // The cartridge is in but unloaded: a LOAD is needed first.
        return Check(kInitializingCommandRequired);
    }
    return std::nullopt;
}

void Drive::StartImmediate(Operation operation)
{
    if (options_.immediateOperationCommands > 0) {
        busy_.operation = operation;
        busy_.remaining = options_.immediateOperationCommands;
    }
}

// While an immediate operation runs, a command that needs the tape is told the drive is not
// ready yet. A second command that asks for an immediate return is aborted instead: the drive
// cannot start a second motion, and an immediate command has no later completion in which
// to report that it waited; the initiator retries it once the drive is ready.
std::optional<Result> Drive::BusyAnswer(const Call& call)
{
    if (busy_.remaining == 0) {
        return std::nullopt;
    }
    const Operation operation = busy_.operation;
    if (--busy_.remaining == 0) {
        busy_.operation = Operation::None;
    }
    if (!call.row->movesMedium) {
        return std::nullopt;
    }
    if (call.AsksImmediate()) {
        return Check(kImmediateRefusedInProgress);
    }
    return BusyNotReady(operation);
}

Result Drive::BusyNotReady(Operation operation)
{
    switch (operation) {
    case Operation::Load:
        return Check(kBecomingReady);
    case Operation::Erase:
        return Check(kEraseInProgress);
    case Operation::Locate:
        return Check(kLocateInProgress);
    case Operation::Rewind:
        return Check(kRewindInProgress);
    default:
        return Check(kOperationInProgress);
    }
}

Result Drive::Execute(const uint8_t* cdb, size_t cdbLength, Direction direction, uint8_t* data,
                      size_t dataLength)
{
    ++commandCount_;
    if (cdb == nullptr || cdbLength == 0) {
        return Check(kInvalidCommandOperationCode);
    }
    const uint8_t opcode = cdb[0];
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        const bool numberMatches = !it->commandNumber || *it->commandNumber == commandCount_;
        const bool opcodeMatches = !it->opcode || *it->opcode == opcode;
        if (numberMatches && opcodeMatches) {
            const Fault fault = *it;
            faults_.erase(it);
            if (fault.losePosition) {
                positionKnown_ = false;
            }
            return Check(Sense::Make(fault.senseKey, fault.asc, fault.ascq));
        }
    }
    const CommandRow& row = RowFor(opcode);
    const Call call{cdb, cdbLength, direction, data, dataLength, &row};
    if (row.cdbLength == 0) {
        return (this->*row.handler)(call);  // the default row: a code this drive does not have
    }
    if (cdbLength < row.cdbLength) {
        return Check(Sense::CdbField(0));
    }
    // Linked commands are not supported.
    const uint16_t control = static_cast<uint16_t>(row.cdbLength - 1);
    if (cdb[control] & kControlLink) {
        return Check(Sense::CdbField(control, kControlLinkBit));
    }
    if (!row.passesUnitAttention && !unitAttentions_.empty()) {
        const auto ua = unitAttentions_.front();
        unitAttentions_.pop_front();
        return Check(Sense::Make(kKeyUnitAttention, ua.first, ua.second));
    }
    // Every command counts towards the end of a running operation, REQUEST SENSE too.
    running_ = busy_.remaining > 0 ? busy_.operation : Operation::None;
    if (auto busy = BusyAnswer(call)) {
        return *busy;
    }
    if (row.needsMedium) {
        if (auto notReady = NotReady()) {
            return *notReady;
        }
    }
    return (this->*row.handler)(call);
}

}  // namespace sim
