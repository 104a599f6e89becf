// The simulated QT-7310 answering SCSI commands: readiness, unit attentions, immediate
// operations, the commands that neither move nor change the tape, and the operator actions
// (insert, eject, power). Relies on nothing but the standard library.
#include <stdexcept>

#include "sim/drive_internal.h"

namespace sim {

bool DriveSettings::operator==(const DriveSettings& o) const
{
    return blockLength == o.blockLength && reportSetmarks == o.reportSetmarks &&
           compression == o.compression && decompression == o.decompression &&
           compressionAlgorithm == o.compressionAlgorithm &&
           decompressionAlgorithm == o.decompressionAlgorithm;
}

Cartridge Cartridge::Blank(uint64_t capacityBytes)
{
    Cartridge cartridge;
    cartridge.capacityBytes = capacityBytes;
    cartridge.partitions = {Partition{capacityBytes, {}}};
    return cartridge;
}

std::optional<std::string> Cartridge::Problem() const
{
    if (partitions.empty() || partitions.size() > kMaxPartitions) {
        return std::to_string(partitions.size()) + " partitions";
    }
    uint64_t total = 0;
    for (const auto& p : partitions) {
        if (p.capacityBytes > capacityBytes - total) {
            return std::string("partitions larger than the tape");
        }
        total += p.capacityBytes;
        for (const auto& object : p.objects) {
            if (object.data.size() > kMaximumBlockLength) {
                return std::string("block longer than the drive takes");
            }
        }
    }
    if (settings.blockLength > kMaximumBlockLength) {
        return std::string("block length out of range");
    }
    if (partition >= partitions.size() || position > partitions[partition].objects.size()) {
        return std::string("position beyond end of data");
    }
    return std::nullopt;
}

bool Cartridge::operator==(const Cartridge& o) const
{
    if (capacityBytes != o.capacityBytes || densityCode != o.densityCode ||
        writeProtected != o.writeProtected || partition != o.partition || position != o.position ||
        !(settings == o.settings) || partitions.size() != o.partitions.size()) {
        return false;
    }
    for (size_t p = 0; p < partitions.size(); ++p) {
        const auto& a = partitions[p];
        const auto& b = o.partitions[p];
        if (a.capacityBytes != b.capacityBytes || a.objects.size() != b.objects.size()) {
            return false;
        }
        for (size_t i = 0; i < a.objects.size(); ++i) {
            if (a.objects[i].kind != b.objects[i].kind || a.objects[i].data != b.objects[i].data) {
                return false;
            }
        }
    }
    return true;
}

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
        QueueUnitAttention(0x29, 0x00);
    }
}

Drive::Drive(Options options, std::unique_ptr<Medium> medium, uint32_t partition,
             uint64_t position, const DriveSettings& settings)
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
        QueueUnitAttention(0x29, 0x00);
    }
}

void Drive::QueueUnitAttention(uint8_t asc, uint8_t ascq)
{
    // A newer change of the medium supersedes the news of an older one.
    unitAttentions_.erase(std::remove_if(unitAttentions_.begin(), unitAttentions_.end(),
                                         [](const auto& ua) { return ua.first != 0x29; }),
                          unitAttentions_.end());
    if (asc != 0x29 || unitAttentions_.empty()) {
        unitAttentions_.emplace_back(asc, ascq);
    }
}

bool Drive::InsertCartridge(Cartridge cartridge)
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
    QueueUnitAttention(0x28, 0x00);
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
    QueueUnitAttention(0x3A, 0x00);
    return out;
}

void Drive::PowerCycle()
{
    prevented_ = false;
    busy_ = {};
    positionKnown_ = true;
    unitAttentions_.clear();
    unitAttentions_.emplace_back(0x29, 0x00);
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

std::optional<Result> Drive::NotReady()
{
    if (!medium_) {
        return Check(Sense::Make(kKeyNotReady, 0x3A, 0x00));
    }
    if (!loaded_) {
        // The cartridge is in but unloaded: a LOAD is needed first.
        return Check(Sense::Make(kKeyNotReady, 0x04, 0x02));
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
    const uint8_t opcode = call.cdb[0];
    if (!MovesMedium(opcode)) {
        return std::nullopt;
    }
    if (AsksImmediate(call.cdb)) {
        return Check(Sense::Make(kKeyAbortedCommand, 0x00, 0x16));
    }
    return BusyNotReady(operation);
}

Result Drive::BusyNotReady(Operation operation)
{
    switch (operation) {
    case Operation::Load:
        return Check(Sense::Make(kKeyNotReady, 0x04, 0x01));
    case Operation::Erase:
        return Check(Sense::Make(kKeyNotReady, 0x00, 0x18));
    case Operation::Locate:
        return Check(Sense::Make(kKeyNotReady, 0x00, 0x19));
    case Operation::Rewind:
        return Check(Sense::Make(kKeyNotReady, 0x00, 0x1A));
    default:
        return Check(Sense::Make(kKeyNotReady, 0x00, 0x16));
    }
}

Result Drive::Execute(const uint8_t* cdb, size_t cdbLength, Direction direction, uint8_t* data,
                      size_t dataLength)
{
    ++commandCount_;
    if (cdb == nullptr || cdbLength == 0) {
        return Check(Sense::Make(kKeyIllegalRequest, 0x20, 0x00));
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
    if (!Known(opcode)) {
        return Check(Sense::Make(kKeyIllegalRequest, 0x20, 0x00));
    }
    if (cdbLength < CdbLengthFor(opcode)) {
        return Check(Sense::CdbField(0));
    }
    const Call call{cdb, cdbLength, direction, data, dataLength};
    // Linked commands are not supported.
    if (cdb[CdbLengthFor(opcode) - 1] & 0x01) {
        return Check(Sense::CdbField(static_cast<uint16_t>(CdbLengthFor(opcode) - 1), 0));
    }
    if (opcode != kOpInquiry && opcode != kOpRequestSense && !unitAttentions_.empty()) {
        const auto ua = unitAttentions_.front();
        unitAttentions_.pop_front();
        return Check(Sense::Make(kKeyUnitAttention, ua.first, ua.second));
    }
    // Every command counts towards the end of a running operation, REQUEST SENSE too.
    running_ = busy_.remaining > 0 ? busy_.operation : Operation::None;
    if (auto busy = BusyAnswer(call)) {
        return *busy;
    }
    if (NeedsMedium(opcode) && opcode != kOpLoadUnload) {
        if (auto notReady = NotReady()) {
            return *notReady;
        }
    }
    return Dispatch(call);
}

Result Drive::Dispatch(const Call& call)
{
    switch (call.cdb[0]) {
    case kOpTestUnitReady:
        return TestUnitReady(call);
    case kOpRewind:
        return Rewind(call);
    case kOpRequestSense:
        return RequestSense(call);
    case kOpReadBlockLimits:
        return ReadBlockLimits(call);
    case kOpRead6:
        return Read(call);
    case kOpWrite6:
        return Write(call);
    case kOpWriteFilemarks:
        return WriteFilemarks(call);
    case kOpSpace:
        return Space(call);
    case kOpInquiry:
        return Inquiry(call);
    case kOpModeSelect6:
        return ModeSelect(call);
    case kOpErase:
        return Erase(call);
    case kOpModeSense6:
        return ModeSense(call);
    case kOpLoadUnload:
        return LoadUnload(call);
    case kOpPreventAllow:
        return PreventAllow(call);
    case kOpLocate10:
        return Locate(call);
    case kOpReadPosition:
        return ReadPosition(call);
    case kOpLogSense:
        return LogSense(call);
    default:
        return Check(Sense::Make(kKeyIllegalRequest, 0x20, 0x00));
    }
}

Result Drive::TestUnitReady(const Call& /*call*/)
{
    return Result{};
}

Result Drive::Rewind(const Call& call)
{
    position_ = 0;
    positionKnown_ = true;
    if (call.cdb[1] & 0x01) {
        StartImmediate(Operation::Rewind);
    }
    return Result{};
}

Result Drive::RequestSense(const Call& call)
{
    // The sense of the drive's present condition, delivered as data with GOOD status.
    Result built;
    if (!unitAttentions_.empty()) {
        const auto ua = unitAttentions_.front();
        unitAttentions_.pop_front();
        built = Check(Sense::Make(kKeyUnitAttention, ua.first, ua.second));
    } else if (running_ != Operation::None) {
        built = BusyNotReady(running_);
    } else if (auto notReady = NotReady()) {
        built = *notReady;
    } else {
        built = Check(Sense{});
    }
    return call.Send(built.sense, call.cdb[4]);
}

Result Drive::ReadBlockLimits(const Call& call)
{
    std::vector<uint8_t> answer(6, 0);
    PutBe24(&answer[1], kMaximumBlockLength);
    PutBe16(&answer[4], 1);
    return call.Send(answer, answer.size());
}

Result Drive::Inquiry(const Call& call)
{
    const bool evpd = call.cdb[1] & 0x01;
    if (call.cdb[1] & 0x02) {
        return Check(Sense::CdbField(1, 1));
    }
    const uint8_t page = call.cdb[2];
    std::vector<uint8_t> answer;
    const Identity& id = options_.identity;
    if (!evpd) {
        if (page != 0) {
            return Check(Sense::CdbField(2));
        }
        answer.assign(36, 0);
        answer[0] = id.peripheralDeviceType & 0x1F;
        answer[1] = 0x80;  // removable medium
        answer[2] = 0x02;  // SCSI-2
        answer[3] = 0x02;  // response data format
        answer[4] = static_cast<uint8_t>(answer.size() - 5);
        PadCopy(&answer[8], id.vendor, 8);
        PadCopy(&answer[16], id.product, 16);
        PadCopy(&answer[32], id.revision, 4);
    } else if (page == 0x00) {
        answer = {
            static_cast<uint8_t>(id.peripheralDeviceType & 0x1F), 0x00, 0x00, 0x02, 0x00, 0x80};
    } else if (page == 0x80) {
        answer = {static_cast<uint8_t>(id.peripheralDeviceType & 0x1F), 0x80, 0x00,
                  static_cast<uint8_t>(id.serialNumber.size())};
        answer.insert(answer.end(), id.serialNumber.begin(), id.serialNumber.end());
    } else {
        return Check(Sense::CdbField(2));
    }
    return call.Send(answer, call.cdb[4]);
}

Result Drive::LoadUnload(const Call& call)
{
    const bool immediate = call.cdb[1] & 0x01;
    const uint8_t what = call.cdb[4];
    if (what & 0xFE) {
        return Check(Sense::CdbField(4));  // no retension, no unload at end of tape
    }
    if (!medium_) {
        return Check(Sense::Make(kKeyNotReady, 0x3A, 0x00));
    }
    const bool load = what & 0x01;
    if (!load && prevented_) {
        return Check(Sense::Make(kKeyIllegalRequest, 0x53, 0x02));
    }
    // Both ways the tape ends at the beginning of the first partition.
    loaded_ = load;
    partition_ = 0;
    position_ = 0;
    positionKnown_ = true;
    if (immediate) {
        StartImmediate(load ? Operation::Load : Operation::Unload);
    }
    return Result{};
}

Result Drive::PreventAllow(const Call& call)
{
    const uint8_t prevent = call.cdb[4];
    if (prevent > 1) {
        return Check(Sense::CdbField(4));
    }
    prevented_ = prevent == 1;
    return Result{};
}

}  // namespace sim
