// The simulated QT-7310 answering SCSI commands: readiness, unit attentions, immediate
// operations, positioning, data and marks, mode pages and the capacity log page. Relies on
// nothing but the standard library.
#include "sim/drive.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

// Operation codes the drive knows.
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

constexpr size_t kSenseLength = 18;
constexpr uint8_t kSenseCurrent = 0x70;
constexpr uint8_t kSenseValid = 0x80;
constexpr uint8_t kSenseAdditionalLength = 10;
constexpr uint8_t kSksv = 0x80;
constexpr uint8_t kSksCommand = 0x40;  // the field pointer names a CDB byte
constexpr uint8_t kSksBitValid = 0x08;

constexpr size_t kModeHeaderLength = 4;
constexpr size_t kBlockDescriptorLength = 8;
constexpr uint8_t kPageCodeMask = 0x3F;
constexpr uint8_t kPageSaveable = 0x80;
constexpr uint8_t kPageCompression = 0x0F;
constexpr uint8_t kPageConfiguration = 0x10;
constexpr uint8_t kPagePartition = 0x11;
constexpr uint8_t kPageAll = 0x3F;
constexpr uint8_t kConfigPageLength = 0x0E;
constexpr uint8_t kCompressionPageLength = 0x0E;
constexpr uint8_t kPartitionPageLength = 0x0A;  // two size descriptors
constexpr uint8_t kDensityKeep = 0x7F;
constexpr uint8_t kDeviceSpecificWp = 0x80;
constexpr uint8_t kBufferedMode1 = 0x10;

constexpr uint8_t kPcCurrent = 0;
constexpr uint8_t kPcChangeable = 1;
constexpr uint8_t kPcDefault = 2;

constexpr uint8_t kLogPageSupported = 0x00;
constexpr uint8_t kLogPageCapacity = 0x31;
constexpr size_t kCapacityParameters = 4;

constexpr uint64_t kBytesPerMegabyte = 1000000;
constexpr uint64_t kBytesPerKilobyte = 1000;
constexpr uint64_t kLogUnitBytes = 1024;
constexpr uint32_t kMaxPartitions = 2;

// A device-specific (BT) block address carries the partition in its top two bits.
constexpr unsigned kBtPartitionShift = 30;
constexpr uint32_t kBtAddressMask = 0x3FFFFFFF;

uint32_t GetBe16(const uint8_t* p)
{
    return (uint32_t(p[0]) << 8) | uint32_t(p[1]);
}
uint32_t GetBe24(const uint8_t* p)
{
    return (uint32_t(p[0]) << 16) | GetBe16(p + 1);
}
uint32_t GetBe32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | GetBe24(p + 1);
}
void PutBe16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void PutBe24(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 16);
    PutBe16(p + 1, v);
}
void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    PutBe24(p + 1, v);
}
int32_t SignExtend24(uint32_t v)
{
    return (v & 0x800000) ? static_cast<int32_t>(v | 0xFF000000u) : static_cast<int32_t>(v);
}

size_t CdbLengthFor(uint8_t opcode)
{
    return opcode < 0x20 ? 6 : 10;
}

bool Known(uint8_t opcode)
{
    switch (opcode) {
    case kOpTestUnitReady:
    case kOpRewind:
    case kOpRequestSense:
    case kOpReadBlockLimits:
    case kOpRead6:
    case kOpWrite6:
    case kOpWriteFilemarks:
    case kOpSpace:
    case kOpInquiry:
    case kOpModeSelect6:
    case kOpErase:
    case kOpModeSense6:
    case kOpLoadUnload:
    case kOpPreventAllow:
    case kOpLocate10:
    case kOpReadPosition:
    case kOpLogSense:
        return true;
    default:
        return false;
    }
}

// Commands that need the tape, and so wait for a running operation or a missing cartridge.
bool NeedsMedium(uint8_t opcode)
{
    switch (opcode) {
    case kOpInquiry:
    case kOpRequestSense:
    case kOpPreventAllow:
        return false;
    default:
        return true;
    }
}

// Commands that neither move nor change the tape may run beside an immediate operation.
bool MovesMedium(uint8_t opcode)
{
    switch (opcode) {
    case kOpModeSense6:
    case kOpLogSense:
    case kOpReadBlockLimits:
    case kOpInquiry:
    case kOpRequestSense:
    case kOpPreventAllow:
        return false;
    default:
        return true;
    }
}

bool AsksImmediate(const uint8_t* cdb)
{
    switch (cdb[0]) {
    case kOpRewind:
    case kOpWriteFilemarks:
    case kOpLoadUnload:
    case kOpLocate10:
        return (cdb[1] & 0x01) != 0;
    case kOpErase:
        return (cdb[1] & 0x02) != 0;
    default:
        return false;
    }
}

void PadCopy(uint8_t* dst, const std::string& text, size_t width)
{
    for (size_t i = 0; i < width; ++i) {
        dst[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
    }
}

}  // namespace

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

struct Drive::Call {
    const uint8_t* cdb;
    size_t cdbLength;
    Direction direction;
    uint8_t* data;
    size_t dataLength;

    // Answer bytes go no further than the allocation length and the initiator's buffer.
    Result Send(const std::vector<uint8_t>& answer, size_t allocation) const
    {
        Result result;
        const size_t room = direction == Direction::In && data != nullptr ? dataLength : 0;
        const size_t n = std::min({answer.size(), allocation, room});
        if (n > 0) {
            std::memcpy(data, answer.data(), n);
        }
        result.transferred = n;
        return result;
    }
};

struct Drive::Sense {
    uint8_t key = kKeyNoSense;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    uint8_t flags = 0;
    std::optional<int32_t> information;
    std::optional<uint16_t> fieldPointer;  // byte of the CDB or the parameter list
    bool inCdb = true;
    std::optional<uint8_t> bit;
    size_t transferred = 0;

    static Sense Make(uint8_t key, uint8_t asc, uint8_t ascq)
    {
        Sense s;
        s.key = key;
        s.asc = asc;
        s.ascq = ascq;
        return s;
    }
    static Sense CdbField(uint16_t byte, std::optional<uint8_t> bit = std::nullopt)
    {
        Sense s = Make(kKeyIllegalRequest, 0x24, 0x00);
        s.fieldPointer = byte;
        s.bit = bit;
        return s;
    }
    static Sense ListField(uint16_t byte, std::optional<uint8_t> bit = std::nullopt)
    {
        Sense s = Make(kKeyIllegalRequest, 0x26, 0x00);
        s.fieldPointer = byte;
        s.inCdb = false;
        s.bit = bit;
        return s;
    }
    static Sense ListLength() { return Make(kKeyIllegalRequest, 0x1A, 0x00); }
    // The initiator's data phase does not match what the command asks for.
    static Sense DataPhase() { return Make(kKeyAbortedCommand, 0x4B, 0x00); }
    Sense& Info(int64_t value)
    {
        information = static_cast<int32_t>(value);
        return *this;
    }
    Sense& Flags(uint8_t f)
    {
        flags = f;
        return *this;
    }
    Sense& Moved(size_t bytes)
    {
        transferred = bytes;
        return *this;
    }
};

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

Result Drive::Read(const Call& call)
{
    const bool fixed = call.cdb[1] & 0x01;
    const bool sili = call.cdb[1] & 0x02;
    const uint32_t length = GetBe24(&call.cdb[2]);
    if (fixed && sili) {
        return Check(Sense::CdbField(1, 1));
    }
    if (fixed && settings_.blockLength == 0) {
        return Check(Sense::CdbField(1, 0));
    }
    if (length == 0) {
        return Result{};
    }
    const uint64_t expected = fixed ? uint64_t(length) * settings_.blockLength : length;
    // The tape would move past data the initiator has no room for.
    if (call.direction != Direction::In || call.data == nullptr || call.dataLength < expected) {
        return Check(Sense::DataPhase());
    }
    if (!positionKnown_) {
        return Check(Sense::Make(kKeyMediumError, 0x3B, 0x00));
    }
    const Medium& medium = *medium_;
    const uint64_t end = EndOfData();
    if (fixed) {
        const uint32_t blockLength = settings_.blockLength;
        size_t out = 0;
        uint32_t done = 0;
        while (done < length) {
            // Runs of blocks of the drive's length come off the tape together.
            const uint64_t run = medium.ReadBlocks(partition_, position_, blockLength,
                                                   length - done, call.data + out);
            position_ += run;
            done += static_cast<uint32_t>(run);
            out += static_cast<size_t>(run * blockLength);
            if (done == length) {
                break;
            }
            if (position_ == end) {
                return Check(
                    Sense::Make(kKeyBlankCheck, 0x00, 0x05).Info(length - done).Moved(out));
            }
            const ObjectInfo object = medium.At(partition_, position_++);
            if (object.kind == ObjectKind::Filemark) {
                return Check(Sense::Make(kKeyNoSense, 0x00, 0x01)
                                 .Flags(kSenseFilemark)
                                 .Info(length - done)
                                 .Moved(out));
            }
            if (object.kind == ObjectKind::Setmark) {
                if (SetmarkVisible()) {
                    return Check(Sense::Make(kKeyNoSense, 0x00, 0x03)
                                     .Flags(kSenseFilemark)
                                     .Info(length - done)
                                     .Moved(out));
                }
                continue;
            }
            // A block of another length: passed over; the count excludes it.
            return Check(Sense::Make(kKeyNoSense, 0x00, 0x00)
                             .Flags(kSenseIli)
                             .Info(length - done)
                             .Moved(out));
        }
        Result result;
        result.transferred = out;
        return result;
    }
    while (true) {
        if (position_ == end) {
            return Check(Sense::Make(kKeyBlankCheck, 0x00, 0x05).Info(length));
        }
        const uint64_t address = position_++;
        const ObjectInfo object = medium.At(partition_, address);
        if (object.kind == ObjectKind::Filemark) {
            return Check(Sense::Make(kKeyNoSense, 0x00, 0x01).Flags(kSenseFilemark).Info(length));
        }
        if (object.kind == ObjectKind::Setmark) {
            if (SetmarkVisible()) {
                return Check(
                    Sense::Make(kKeyNoSense, 0x00, 0x03).Flags(kSenseFilemark).Info(length));
            }
            continue;
        }
        const size_t n = std::min<size_t>(object.length, length);
        if (n == object.length) {
            medium.ReadBlock(partition_, address, call.data);
        } else if (n > 0) {
            // The initiator has room for the head of the block only.
            std::vector<uint8_t> block(object.length);
            medium.ReadBlock(partition_, address, block.data());
            std::memcpy(call.data, block.data(), n);
        }
        const bool overlength = object.length > length;
        const bool underlength = object.length < length;
        // SILI forgives a short block only: the tail of a long one is lost, and that is never
        // passed over in silence.
        const bool report = overlength || (underlength && !sili);
        if (report) {
            return Check(Sense::Make(kKeyNoSense, 0x00, 0x00)
                             .Flags(kSenseIli)
                             .Info(int64_t(length) - int64_t(object.length))
                             .Moved(n));
        }
        Result result;
        result.transferred = n;
        return result;
    }
}

Result Drive::Write(const Call& call)
{
    const bool fixed = call.cdb[1] & 0x01;
    const uint32_t length = GetBe24(&call.cdb[2]);
    if (call.cdb[1] & 0x1E) {
        return Check(Sense::CdbField(1));
    }
    if (fixed && settings_.blockLength == 0) {
        return Check(Sense::CdbField(1, 0));
    }
    if (length == 0) {
        return Result{};
    }
    const uint64_t expected = fixed ? uint64_t(length) * settings_.blockLength : length;
    if (call.direction != Direction::Out || call.data == nullptr || call.dataLength != expected) {
        return Check(Sense::DataPhase());
    }
    if (medium_->WriteProtected()) {
        return Check(Sense::Make(kKeyDataProtect, 0x27, 0x00));
    }
    if (!positionKnown_) {
        return Check(Sense::Make(kKeyMediumError, 0x3B, 0x00));
    }
    Truncate();
    const uint64_t room = Remaining(partition_);
    if (!fixed) {
        if (length > room) {
            return Check(Sense::Make(kKeyVolumeOverflow, 0x00, 0x02).Flags(kSenseEom).Info(length));
        }
        medium_->AppendBlocks(partition_, call.data, length, 1);
        ++position_;
        Result result;
        result.transferred = length;
        return result;
    }
    const uint64_t fits = std::min<uint64_t>(length, room / settings_.blockLength);
    if (fits > 0) {
        medium_->AppendBlocks(partition_, call.data, settings_.blockLength, fits);
        position_ += fits;
    }
    const size_t moved = static_cast<size_t>(fits * settings_.blockLength);
    if (fits < length) {
        return Check(Sense::Make(kKeyVolumeOverflow, 0x00, 0x02)
                         .Flags(kSenseEom)
                         .Info(length - fits)
                         .Moved(moved));
    }
    Result result;
    result.transferred = moved;
    return result;
}

Result Drive::WriteFilemarks(const Call& call)
{
    const bool immediate = call.cdb[1] & 0x01;
    const bool setmarks = call.cdb[1] & 0x02;
    const uint32_t count = GetBe24(&call.cdb[2]);
    if (call.cdb[1] & 0x1C) {
        return Check(Sense::CdbField(1));
    }
    if (count > 0) {
        if (medium_->WriteProtected()) {
            return Check(Sense::Make(kKeyDataProtect, 0x27, 0x00));
        }
        if (!positionKnown_) {
            return Check(Sense::Make(kKeyMediumError, 0x3B, 0x00));
        }
        Truncate();
        medium_->AppendMarks(partition_, setmarks ? ObjectKind::Setmark : ObjectKind::Filemark,
                             count);
        position_ += count;
    }
    if (immediate) {
        StartImmediate(Operation::WriteMarks);
    }
    return Result{};
}

Result Drive::Space(const Call& call)
{
    const uint8_t code = call.cdb[1] & 0x07;
    const int32_t count = SignExtend24(GetBe24(&call.cdb[2]));
    if (call.cdb[1] & 0x18) {
        return Check(Sense::CdbField(1));
    }
    if (code > 5) {
        return Check(Sense::CdbField(1, 2));
    }
    if (!positionKnown_ && code != 3) {
        return Check(Sense::Make(kKeyMediumError, 0x3B, 0x00));
    }
    if (code == 3) {
        position_ = EndOfData();
        positionKnown_ = true;
        return Result{};
    }
    if (count == 0) {
        return Result{};
    }
    switch (code) {
    case 0:
        return SpaceCounting(ObjectKind::Block, count);
    case 1:
        return SpaceCounting(ObjectKind::Filemark, count);
    case 2:
        return SpaceSequential(ObjectKind::Filemark, count);
    case 4:
        return SpaceCounting(ObjectKind::Setmark, count);
    default:
        return SpaceSequential(ObjectKind::Setmark, count);
    }
}

// SPACE ran into end of data going forward, or the beginning of the partition going back:
// the residue is what was left undone, negative for a reverse space.
Result Drive::SpaceOffTheEnd(bool forward, int64_t undone)
{
    if (forward) {
        return Check(Sense::Make(kKeyBlankCheck, 0x00, 0x05).Info(undone));
    }
    return Check(Sense::Make(kKeyNoSense, 0x00, 0x04).Flags(kSenseEom).Info(-undone));
}

// SPACE over blocks, filemarks or setmarks, counting objects of `counted` kind. Crossing a
// filemark stops a space over blocks; a setmark stops a space over blocks or filemarks, but
// only when setmarks are reported. The tape then stands past the mark going forward, before it
// going back. The medium's mark index finds the marks, so the cost does not grow with the
// distance.
Result Drive::SpaceCounting(ObjectKind counted, int32_t count)
{
    const bool forward = count > 0;
    const uint64_t wanted = forward ? uint64_t(count) : uint64_t(-int64_t(count));
    const int64_t sign = forward ? 1 : -1;
    const uint64_t from = position_;
    const uint64_t end = EndOfData();
    const auto marksIn = [&](uint64_t a, uint64_t b, ObjectKind kind) {
        return medium_->CountMarks(partition_, a, b, kind);
    };
    // What lies in the way: a filemark for blocks, a reported setmark for blocks and filemarks.
    std::optional<std::pair<uint64_t, ObjectKind>> stop;
    for (const ObjectKind kind : {ObjectKind::Filemark, ObjectKind::Setmark}) {
        const bool stops = kind == ObjectKind::Filemark ? counted == ObjectKind::Block
                                                        : counted != ObjectKind::Setmark &&
                                                              SetmarkVisible();
        if (!stops) {
            continue;
        }
        const MarkSearch found = medium_->FindMark(partition_, from, forward, kind, 1);
        if (found.address && (!stop || (forward ? *found.address < stop->first
                                                : *found.address > stop->first))) {
            stop = std::make_pair(*found.address, kind);
        }
    }
    const auto stopAt = [&](uint64_t done) {
        position_ = forward ? stop->first + 1 : stop->first;
        const bool filemark = stop->second == ObjectKind::Filemark;
        return Check(Sense::Make(kKeyNoSense, 0x00, filemark ? 0x01 : 0x03)
                         .Flags(kSenseFilemark)
                         .Info(sign * int64_t(wanted - done)));
    };
    if (counted != ObjectKind::Block) {
        const MarkSearch target = medium_->FindMark(partition_, from, forward, counted, wanted);
        if (stop && (!target.address ||
                     (forward ? stop->first < *target.address : stop->first > *target.address))) {
            return stopAt(forward ? marksIn(from, stop->first, counted)
                                  : marksIn(stop->first + 1, from, counted));
        }
        if (target.address) {
            position_ = forward ? *target.address + 1 : *target.address;
            return Result{};
        }
        position_ = forward ? end : 0;
        return SpaceOffTheEnd(forward, int64_t(wanted - target.passed));
    }
    // Blocks: everything up to the stopping mark is a block or an unreported setmark, which is
    // passed over without being counted.
    const uint64_t low = forward ? from : (stop ? stop->first + 1 : 0);
    const uint64_t high = forward ? (stop ? stop->first : end) : from;
    const uint64_t blocks = (high - low) - marksIn(low, high, ObjectKind::Setmark);
    if (blocks >= wanted) {
        // The address that leaves exactly `wanted` blocks behind, setmarks between included.
        uint64_t at = forward ? from + wanted : from - wanted;
        while (true) {
            const uint64_t skipped =
                forward ? marksIn(from, at, ObjectKind::Setmark) : marksIn(at, from, ObjectKind::Setmark);
            const uint64_t next = forward ? from + wanted + skipped : from - wanted - skipped;
            if (next == at) {
                break;
            }
            at = next;
        }
        position_ = at;
        return Result{};
    }
    if (stop) {
        return stopAt(blocks);
    }
    position_ = forward ? end : 0;
    return SpaceOffTheEnd(forward, int64_t(wanted - blocks));
}

// SPACE to the first run of `count` consecutive marks of `kind`: forward the tape stands past
// the run's last mark, back before its first. Only marks of the kind are visited, each with a
// lookup in the medium's index.
Result Drive::SpaceSequential(ObjectKind kind, int32_t count)
{
    const uint64_t run = count > 0 ? uint64_t(count) : uint64_t(-int64_t(count));
    const auto wholeRun = [&](uint64_t start) {
        return medium_->CountMarks(partition_, start, start + run, kind) == run;
    };
    if (count > 0) {
        MarkSearch mark = medium_->FindMark(partition_, position_, true, kind, 1);
        while (mark.address) {
            if (wholeRun(*mark.address)) {
                position_ = *mark.address + run;  // past the last mark of the run
                return Result{};
            }
            mark = medium_->FindMark(partition_, *mark.address + 1, true, kind, 1);
        }
        position_ = EndOfData();
        return Check(Sense::Make(kKeyBlankCheck, 0x00, 0x05).Info(count));
    }
    MarkSearch mark = medium_->FindMark(partition_, position_, false, kind, 1);
    while (mark.address) {
        const uint64_t end = *mark.address + 1;
        if (end >= run && wholeRun(end - run)) {
            position_ = end - run;  // before the first mark of the run
            return Result{};
        }
        mark = medium_->FindMark(partition_, *mark.address, false, kind, 1);
    }
    position_ = 0;
    return Check(Sense::Make(kKeyNoSense, 0x00, 0x04).Flags(kSenseEom).Info(count));
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

Result Drive::Erase(const Call& call)
{
    const bool longErase = call.cdb[1] & 0x01;
    const bool immediate = call.cdb[1] & 0x02;
    if (!longErase) {
        // A DAT drive has no short erase: the gap it would write means nothing on DDS.
        return Check(Sense::CdbField(1, 0));
    }
    if (medium_->WriteProtected()) {
        return Check(Sense::Make(kKeyDataProtect, 0x27, 0x00));
    }
    if (!positionKnown_) {
        return Check(Sense::Make(kKeyMediumError, 0x3B, 0x00));
    }
    Truncate();
    if (immediate) {
        StartImmediate(Operation::Erase);
    }
    return Result{};
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

Result Drive::Locate(const Call& call)
{
    const bool bt = call.cdb[1] & 0x04;
    const bool cp = call.cdb[1] & 0x02;
    const bool immediate = call.cdb[1] & 0x01;
    uint32_t address = GetBe32(&call.cdb[3]);
    uint32_t partition = partition_;
    if (bt) {
        partition = address >> kBtPartitionShift;
        address &= kBtAddressMask;
    }
    if (cp) {
        partition = call.cdb[8];
    }
    if (partition >= medium_->PartitionCount()) {
        return Check(cp ? Sense::CdbField(8) : Sense::CdbField(3));
    }
    partition_ = partition;
    positionKnown_ = true;
    const uint64_t end = medium_->EndOfData(partition);
    if (immediate) {
        StartImmediate(Operation::Locate);
    }
    if (address > end) {
        position_ = end;
        return Check(Sense::Make(kKeyBlankCheck, 0x00, 0x05));
    }
    position_ = address;
    return Result{};
}

Result Drive::ReadPosition(const Call& call)
{
    const bool bt = call.cdb[1] & 0x01;
    if (call.cdb[1] & 0x1E) {
        return Check(Sense::CdbField(1));  // only the short form
    }
    std::vector<uint8_t> answer(20, 0);
    if (!positionKnown_) {
        answer[0] = 0x04;  // BPU
        return call.Send(answer, answer.size());
    }
    const uint32_t partition = partition_;
    const uint64_t position = position_;
    const bool atEnd = position == EndOfData();
    answer[0] = static_cast<uint8_t>((position == 0 ? 0x80 : 0) |
                                     (atEnd && Remaining(partition) == 0 ? 0x40 : 0));
    answer[1] = static_cast<uint8_t>(partition);
    const uint32_t address =
        bt ? (partition << kBtPartitionShift) | static_cast<uint32_t>(position & kBtAddressMask)
           : static_cast<uint32_t>(position);
    PutBe32(&answer[4], address);
    PutBe32(&answer[8], address);  // nothing waits in the buffer
    return call.Send(answer, answer.size());
}

Result Drive::LogSense(const Call& call)
{
    if (call.cdb[1] & 0x03) {
        return Check(Sense::CdbField(1));  // no saving, no parameter change tracking
    }
    const uint8_t page = call.cdb[2] & kPageCodeMask;
    const uint32_t pointer = GetBe16(&call.cdb[5]);
    const uint32_t allocation = GetBe16(&call.cdb[7]);
    std::vector<uint8_t> answer;
    if (page == kLogPageSupported) {
        if (pointer != 0) {
            return Check(Sense::CdbField(5));
        }
        answer = {kLogPageSupported, 0x00, 0x00, 0x02, kLogPageSupported, kLogPageCapacity};
        return call.Send(answer, allocation);
    }
    if (page != kLogPageCapacity) {
        return Check(Sense::CdbField(2));
    }
    if (pointer > kCapacityParameters) {
        return Check(Sense::CdbField(5));
    }
    uint64_t values[kCapacityParameters] = {};
    for (uint32_t p = 0; p < medium_->PartitionCount() && p < kMaxPartitions; ++p) {
        values[p] = Remaining(p) / kLogUnitBytes;
        values[p + 2] = medium_->PartitionCapacity(p) / kLogUnitBytes;
    }
    answer.assign(4, 0);
    answer[0] = kLogPageCapacity;
    for (uint32_t code = 1; code <= kCapacityParameters; ++code) {
        if (code < pointer) {
            continue;
        }
        const size_t at = answer.size();
        answer.resize(at + 8, 0);
        PutBe16(&answer[at], code);
        answer[at + 3] = 4;
        PutBe32(&answer[at + 4],
                static_cast<uint32_t>(std::min<uint64_t>(values[code - 1], 0xFFFFFFFF)));
    }
    PutBe16(&answer[2], static_cast<uint32_t>(answer.size() - 4));
    return call.Send(answer, allocation);
}

std::vector<uint8_t> Drive::ConfigPage(uint8_t pageControl) const
{
    std::vector<uint8_t> p(2 + kConfigPageLength, 0);
    p[0] = kPageSaveable | kPageConfiguration;
    p[1] = kConfigPageLength;
    if (pageControl == kPcChangeable) {
        p[8] = 0x20;   // RSmk
        p[14] = 0xFF;  // select data compression algorithm
        return p;
    }
    const DriveSettings settings = pageControl == kPcDefault ? DriveSettings{} : settings_;
    p[3] = static_cast<uint8_t>(partition_);                        // active partition
    p[8] = static_cast<uint8_t>(0x40 | (settings.reportSetmarks ? 0x20 : 0));  // BIS, RSmk
    p[10] = 0x18;                                                              // EEG, SEW
    p[14] = settings.compression ? 1 : 0;
    return p;
}

std::vector<uint8_t> Drive::CompressionPage(uint8_t pageControl) const
{
    std::vector<uint8_t> p(2 + kCompressionPageLength, 0);
    p[0] = kPageSaveable | kPageCompression;
    p[1] = kCompressionPageLength;
    if (pageControl == kPcChangeable) {
        p[2] = 0x80;  // DCE
        p[3] = 0x80;  // DDE
        std::fill(p.begin() + 4, p.begin() + 12, 0xFF);
        return p;
    }
    const DriveSettings settings = pageControl == kPcDefault ? DriveSettings{} : settings_;
    p[2] = static_cast<uint8_t>(0x40 | (settings.compression ? 0x80 : 0));  // DCC, DCE
    p[3] = settings.decompression ? 0x80 : 0;
    PutBe32(&p[4], settings.compressionAlgorithm);
    PutBe32(&p[8], settings.decompressionAlgorithm);
    return p;
}

std::vector<uint8_t> Drive::PartitionPage(uint8_t pageControl) const
{
    std::vector<uint8_t> p(2 + kPartitionPageLength, 0);
    p[0] = kPagePartition;
    p[1] = kPartitionPageLength;
    if (pageControl == kPcChangeable) {
        p[3] = 0x01;
        p[4] = 0x38;  // IDP, PSUM
        std::fill(p.begin() + 8, p.end(), 0xFF);
        return p;
    }
    p[2] = kMaxPartitions - 1;
    const uint32_t partitions = medium_->PartitionCount();
    p[3] = static_cast<uint8_t>(partitions - 1);
    p[4] = static_cast<uint8_t>(0x10 | (partitions > 1 ? 0x20 : 0));
    p[5] = 0x03;  // the drive recognises format and partitions
    for (uint32_t i = 0; i < partitions && i < kMaxPartitions; ++i) {
        const uint64_t megabytes = medium_->PartitionCapacity(i) / kBytesPerMegabyte;
        PutBe16(&p[8 + 2 * i], static_cast<uint32_t>(std::min<uint64_t>(megabytes, 0xFFFF)));
    }
    return p;
}

std::vector<uint8_t> Drive::ModeHeaderAndPages(uint8_t pageControl, bool blockDescriptor,
                                               const std::vector<uint8_t>& pageCodes) const
{
    std::vector<uint8_t> answer(kModeHeaderLength, 0);
    if (pageControl != kPcChangeable) {
        answer[2] = static_cast<uint8_t>((medium_->WriteProtected() ? kDeviceSpecificWp : 0) |
                                         kBufferedMode1);
    }
    if (blockDescriptor) {
        answer[3] = kBlockDescriptorLength;
        std::vector<uint8_t> bd(kBlockDescriptorLength, 0);
        if (pageControl == kPcChangeable) {
            PutBe24(&bd[5], 0xFFFFFF);
        } else {
            bd[0] = medium_->DensityCode();
            PutBe24(&bd[5],
                    pageControl == kPcDefault ? kDefaultBlockLength : settings_.blockLength);
        }
        answer.insert(answer.end(), bd.begin(), bd.end());
    }
    for (const uint8_t code : pageCodes) {
        std::vector<uint8_t> page;
        switch (code) {
        case kPageCompression:
            page = CompressionPage(pageControl);
            break;
        case kPageConfiguration:
            page = ConfigPage(pageControl);
            break;
        default:
            page = PartitionPage(pageControl);
            break;
        }
        answer.insert(answer.end(), page.begin(), page.end());
    }
    answer[0] = static_cast<uint8_t>(answer.size() - 1);
    return answer;
}

Result Drive::ModeSense(const Call& call)
{
    const bool dbd = call.cdb[1] & 0x08;
    const uint8_t pageControl = call.cdb[2] >> 6;  // saved values are the current ones
    const uint8_t page = call.cdb[2] & kPageCodeMask;
    if (call.cdb[1] & 0x17 || call.cdb[3] != 0) {
        return Check(Sense::CdbField(call.cdb[3] != 0 ? 3 : 1));
    }
    std::vector<uint8_t> codes;
    switch (page) {
    case kPageCompression:
        if (options_.refuseCompressionPage) {
            return Check(Sense::CdbField(2, 5));
        }
        codes = {kPageCompression};
        break;
    case kPageConfiguration:
    case kPagePartition:
        codes = {page};
        break;
    case kPageAll:
        if (!options_.refuseCompressionPage) {
            codes.push_back(kPageCompression);
        }
        codes.push_back(kPageConfiguration);
        codes.push_back(kPagePartition);
        break;
    default:
        return Check(Sense::CdbField(2, 5));
    }
    const std::vector<uint8_t> answer = ModeHeaderAndPages(pageControl, !dbd, codes);
    size_t allocation = call.cdb[4];
    const size_t full = std::min(allocation, answer.size());
    allocation = full > options_.modeSenseShortBy ? full - options_.modeSenseShortBy : 0;
    return call.Send(answer, allocation);
}

Result Drive::ModeSelect(const Call& call)
{
    const bool pf = call.cdb[1] & 0x10;
    if (call.cdb[1] & 0x0E) {
        return Check(Sense::CdbField(1));
    }
    const size_t length = call.cdb[4];
    if (length == 0) {
        return Result{};
    }
    if (call.direction != Direction::Out || call.data == nullptr || call.dataLength != length) {
        return Check(Sense::DataPhase());
    }
    const uint8_t* list = call.data;
    if (length < kModeHeaderLength) {
        return Check(Sense::ListLength());
    }
    // The mode data length (byte 0) is reserved here and the WP bit is the drive's to report.
    if (list[1] != 0) {
        return Check(Sense::ListField(1));
    }
    if ((list[2] & 0x70) > kBufferedMode1 || (list[2] & 0x0F) != 0) {
        return Check(Sense::ListField(2));
    }
    const size_t bdLength = list[3];
    if (bdLength != 0 && bdLength != kBlockDescriptorLength) {
        return Check(Sense::ListField(3));
    }
    if (kModeHeaderLength + bdLength > length) {
        return Check(Sense::ListLength());
    }

    DriveSettings settings = settings_;
    if (bdLength != 0) {
        const uint8_t* bd = list + kModeHeaderLength;
        const uint16_t at = kModeHeaderLength;
        if (bd[0] != 0 && bd[0] != kDensityKeep && bd[0] != medium_->DensityCode()) {
            return Check(Sense::ListField(at));
        }
        if (GetBe24(&bd[1]) != 0) {
            return Check(Sense::ListField(at + 1));
        }
        if (bd[4] != 0) {
            return Check(Sense::ListField(at + 4));
        }
        settings.blockLength = GetBe24(&bd[5]);
    }

    bool repartition = false;
    std::vector<uint64_t> newSizes;
    size_t offset = kModeHeaderLength + bdLength;
    while (offset < length) {
        if (!pf) {
            // Pages not in the page format of SCSI-2 are not understood.
            return Check(Sense::CdbField(1, 4));
        }
        if (offset + 2 > length || offset + 2 + list[offset + 1] > length) {
            return Check(Sense::ListLength());
        }
        const uint8_t* page = list + offset;
        const uint8_t code = page[0] & kPageCodeMask;  // PS is reserved here
        const size_t pageLength = page[1];
        const auto at = [offset](size_t i) { return static_cast<uint16_t>(offset + i); };
        if (code == kPageConfiguration || code == kPageCompression) {
            if (code == kPageCompression && options_.refuseCompressionPage) {
                return Check(Sense::ListField(at(0), 5));
            }
            const size_t expectLength =
                code == kPageConfiguration ? kConfigPageLength : kCompressionPageLength;
            if (pageLength != expectLength) {
                return Check(Sense::ListField(at(1)));
            }
            const std::vector<uint8_t> current =
                code == kPageConfiguration ? ConfigPage(kPcCurrent) : CompressionPage(kPcCurrent);
            const std::vector<uint8_t> changeable = code == kPageConfiguration
                                                        ? ConfigPage(kPcChangeable)
                                                        : CompressionPage(kPcChangeable);
            for (size_t i = 2; i < current.size(); ++i) {
                // The active partition only counts with CAP, which this drive lacks.
                const uint8_t ignored = code == kPageConfiguration && i == 3 ? 0xFF : 0;
                if ((page[i] ^ current[i]) & ~changeable[i] & ~ignored) {
                    return Check(Sense::ListField(at(i)));
                }
            }
            if (code == kPageConfiguration) {
                settings.reportSetmarks = page[8] & 0x20;
                if (page[14] > 1) {
                    return Check(Sense::ListField(at(14)));
                }
                if (page[14] != current[14]) {
                    settings.compression = page[14] == 1;
                }
            } else {
                const uint32_t compression = GetBe32(&page[4]);
                const uint32_t decompression = GetBe32(&page[8]);
                if (compression != 0 && compression != kCompressionDclz) {
                    return Check(Sense::ListField(at(4)));
                }
                if (decompression != 0 && decompression != kCompressionDclz) {
                    return Check(Sense::ListField(at(8)));
                }
                settings.compression = page[2] & 0x80;
                settings.decompression = page[3] & 0x80;
                settings.compressionAlgorithm = compression;
                settings.decompressionAlgorithm = decompression;
            }
        } else if (code == kPagePartition) {
            // Maximum additional partitions and medium format recognition are the drive's
            // to report and are not looked at.
            if (pageLength < 6 || pageLength > kPartitionPageLength || pageLength % 2 != 0) {
                return Check(Sense::ListField(at(1)));
            }
            const size_t descriptors = (pageLength - 6) / 2;
            const uint8_t additional = page[3];
            if (additional > kMaxPartitions - 1) {
                return Check(Sense::ListField(at(3)));
            }
            const uint8_t flags = page[4];
            if (flags & 0x80) {
                return Check(Sense::ListField(at(4), 7));  // no fixed partitions
            }
            if (flags & 0x40) {
                return Check(Sense::ListField(at(4), 6));  // no select partitions
            }
            if (flags & 0x07) {
                return Check(Sense::ListField(at(4)));
            }
            const uint8_t psum = (flags >> 3) & 0x03;
            if (psum == 3) {
                return Check(Sense::ListField(at(4), 4));
            }
            if (page[6] != 0 || page[7] != 0) {
                return Check(Sense::ListField(at(6)));
            }
            if (!(flags & 0x20)) {
                // Without IDP nothing is laid out anew; the page may only restate the layout.
                if (additional + 1u != medium_->PartitionCount()) {
                    return Check(Sense::ListField(at(3)));
                }
                offset += 2 + pageLength;
                continue;
            }
            const uint64_t unit = psum == 0 ? 1 : psum == 1 ? kBytesPerKilobyte : kBytesPerMegabyte;
            newSizes.clear();
            if (additional == 0) {
                newSizes.push_back(medium_->CapacityBytes());
            } else {
                if (descriptors == 0) {
                    return Check(Sense::ListField(at(1)));  // the first partition needs a size
                }
                const uint64_t first = GetBe16(&page[8]) * unit;
                if (first == 0 || first >= medium_->CapacityBytes()) {
                    return Check(Sense::ListField(at(8)));
                }
                uint64_t second = medium_->CapacityBytes() - first;
                if (descriptors > 1 && GetBe16(&page[10]) != 0) {
                    const uint64_t asked = GetBe16(&page[10]) * unit;
                    if (asked > second) {
                        return Check(Sense::ListField(at(10)));
                    }
                    second = asked;
                }
                newSizes = {first, second};
            }
            repartition = true;
        } else {
            return Check(Sense::ListField(at(0), 5));
        }
        offset += 2 + pageLength;
    }

    if (repartition && medium_->WriteProtected()) {
        return Check(Sense::Make(kKeyDataProtect, 0x27, 0x00));
    }
    settings_ = settings;
    if (repartition) {
        // Laying the tape out anew formats it: everything recorded is gone.
        medium_->Format(newSizes);
        partition_ = 0;
        position_ = 0;
        positionKnown_ = true;
    }
    return Result{};
}

}  // namespace sim
