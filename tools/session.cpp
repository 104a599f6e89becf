// A session runs the real driver routines against the simulated drive holding the cartridge
// of the database file; changes go into it as they are made, and are committed at the end.
#include "tools/session.h"

#include <algorithm>
#include <array>
#include <iostream>

#include "driver/velmdat.h"
#include "host/scsi.h"

namespace tools {
namespace {

// The end of the tape as a write meets it: less room than one block as `write` makes them (or
// as the drive's fixed size, when larger) lies beyond what a DAT drive's early warning gives.
constexpr uint64_t kEarlyWarningBytes = 65536;

}  // namespace

Session::Session(SessionOptions options) : options_(std::move(options)) {}

void Session::Open()
{
    if (ChooseTarget(options_.path) != TargetKind::Cartridge) {
        OpenDevice();
        return;
    }
    cartridge_ = OpenCartridge(options_.path, options_.busyWait);
    const store::DriveState& state = cartridge_->State();
    opened_ = state;
    counter_ = FileCounter(state.counted);
    if (state.ejected) {
        // The drive powers on empty with its settings, which this tool keeps with the
        // cartridge; the cartridge waits outside for `load`.
        ejected_ = cartridge_->Medium();
        drive_ = std::make_unique<sim::Drive>(sim::Options{}, nullptr, 0, 0, state.settings);
    } else {
        try {
            drive_ = std::make_unique<sim::Drive>(sim::Options{}, cartridge_->Medium(),
                                                  state.partition, state.position, state.settings);
        } catch (const std::invalid_argument& e) {
            throw ToolError(options_.path,
                            std::string("cannot use cartridge: ") + e.what() + " (left unchanged)");
        }
    }
    if (state.removalPrevented) {
        // The drive is put back into the locked state it was left in, since a real drive
        // keeps it while powered.
        drive_->Execute(host::kPreventRemovalCdb.data(), host::kPreventRemovalCdb.size(),
                        sim::Direction::None, nullptr, 0);
    }
    target_ = std::make_unique<host::SimTarget>(*drive_);

    if (!driver_.Load(&DriverEntry)) {
        throw ToolError(options_.path, "the driver did not register (entry status " +
                                           std::to_string(driver_.entryStatus()) + ")");
    }
    host::Transcript transcript;
    device_ = host::Device::Discover(driver_, *target_, options_.trace ? &transcript : nullptr);
    if (options_.trace) {
        Record(transcript);
    }
    if (!device_) {
        throw ToolError(options_.path, "the driver did not claim the drive");
    }
}

void Session::Close()
{
    if (deviceTarget_ || abandoned_) {
        return;  // a device keeps its own state; an abandoned cartridge keeps what it has
    }
    store::DriveState state;
    state.removalPrevented = drive_->RemovalPrevented();
    // The settings belong to the drive, loaded or empty; the cartridge keeps them for the
    // drive of the next invocation.
    state.settings = drive_->settings();
    if (ejected_) {
        state.ejected = true;  // out of the drive, wound back to its beginning
    } else {
        state.partition = drive_->Partition();
        state.position = drive_->Position();
        state.counted = counter_.now();
    }
    cartridge_->Commit(state);
}

const store::DriveState& Session::Abandon()
{
    abandoned_ = true;
    cartridge_->Abandon();
    return cartridge_->State();
}

// Every request keeps its transcript: the sense of a command that stopped early says how far
// it got, which the file and block count and the messages after a failure need.
TAPE_STATUS Session::Run(host::Request request, void* record)
{
    host::Transcript transcript;
    const TAPE_STATUS status = device_->Run(request, record, &transcript);
    lastSense_ = host::FinalSense(transcript);
    if (options_.trace) {
        Record(transcript);
    }
    Count(request, record, status);
    return status;
}

void Session::Count(host::Request request, const void* record, TAPE_STATUS status)
{
    const SenseFacts& sense = lastSense_;
    if (status != TAPE_STATUS_SUCCESS &&
        (request == host::Request::SetPosition || request == host::Request::WriteMarks ||
         request == host::Request::Erase)) {
        motionFailed_ = true;
    }
    switch (request) {
    case host::Request::SetPosition:
        counter_.Positioned(*static_cast<const TAPE_SET_POSITION*>(record), status, sense);
        break;
    case host::Request::WriteMarks:
        counter_.MarksWritten(*static_cast<const TAPE_WRITE_MARKS*>(record), status, sense);
        break;
    case host::Request::GetPosition: {
        const auto& position = *static_cast<const TAPE_GET_POSITION*>(record);
        if (status == TAPE_STATUS_SUCCESS && position.Type == TAPE_LOGICAL_POSITION) {
            counter_.Observed(position.Offset.QuadPart);
        }
        break;
    }
    case host::Request::Prepare: {
        const ULONG operation = static_cast<const TAPE_PREPARE*>(record)->Operation;
        if (status == TAPE_STATUS_SUCCESS &&
            (operation == TAPE_LOAD || operation == TAPE_TENSION)) {
            counter_.Loaded();
        } else if (operation == TAPE_UNLOAD) {
            counter_.Lost();
        }
        break;
    }
    case host::Request::Erase:
        if (status == TAPE_STATUS_SUCCESS) {
            counter_.Erased();
        }
        break;
    case host::Request::CreatePartition:
        counter_.Lost();  // the drive says where it left the tape when asked
        break;
    default:
        break;
    }
}

host::TransferResult Session::Write(const uint8_t* data, size_t length, uint32_t blockSize)
{
    host::Transcript transcript;
    const host::TransferResult result =
        host::WriteBlocks(*device_, data, length, blockSize, &transcript);
    lastSense_ = host::FinalSense(transcript);
    if (options_.trace) {
        Record(transcript);
    }
    counter_.Transferred(true, blockSize, result, lastSense_);
    motionFailed_ = motionFailed_ || result.status != TAPE_STATUS_SUCCESS;
    return result;
}

host::ReadResult Session::Read(uint8_t* buffer, size_t capacity, uint32_t blockSize)
{
    host::Transcript transcript;
    const host::ReadResult result =
        host::ReadBlocks(*device_, buffer, capacity, blockSize, &transcript);
    lastSense_ = host::FinalSense(transcript);
    if (options_.trace) {
        Record(transcript);
    }
    counter_.Transferred(false, blockSize, result, lastSense_);
    // A read ending at a mark is how reads end; at end of data it is a failure only when the
    // command reading found nothing, which the command decides.
    motionFailed_ = motionFailed_ || (result.status != TAPE_STATUS_SUCCESS &&
                                      result.status != TAPE_STATUS_FILEMARK_DETECTED &&
                                      result.status != TAPE_STATUS_SETMARK_DETECTED);
    return result;
}

std::optional<uint32_t> Session::BlockLength()
{
    host::Transcript transcript;
    const std::optional<uint32_t> length = host::DriveBlockLength(*device_, &transcript);
    if (options_.trace) {
        Record(transcript);
    }
    return length;
}

void Session::EjectAfterUnload()
{
    if (!drive_) {
        return;  // a device ejects by itself
    }
    ejected_ = drive_->EjectMedium();
    // The eject's own news (medium removed) concerns nobody: the next invocation powers on.
}

void Session::InsertForLoad()
{
    if (!drive_ || !ejected_) {
        return;
    }
    drive_->InsertMedium(std::move(ejected_));
    // The drive reports the new medium once (unit attention 28/00); the class driver takes
    // that news itself on the platform, so it is collected here before the LOAD is sent.
    drive_->Execute(host::kTestUnitReadyCdb.data(), host::kTestUnitReadyCdb.size(),
                    sim::Direction::None, nullptr, 0);
    Note("cartridge inserted; the drive's medium-changed report was collected");
}

void Session::SetWriteProtected(bool writeProtected)
{
    if (ejected_) {
        ejected_->SetWriteProtected(writeProtected);
    } else if (drive_) {
        drive_->SetWriteProtected(writeProtected);
    }
}

std::optional<TapeSpot> Session::Spot() const
{
    const sim::Medium* medium = drive_ ? drive_->medium() : nullptr;
    if (medium == nullptr || !drive_->Loaded()) {
        return std::nullopt;
    }
    const uint32_t partition = drive_->Partition();
    const uint64_t position = drive_->Position();
    const uint64_t end = medium->EndOfData(partition);
    const auto setmarkAt = [&](uint64_t address) {
        return address < end && medium->At(partition, address).kind == sim::ObjectKind::Setmark;
    };
    TapeSpot spot;
    spot.atSetmark = (position > 0 && setmarkAt(position - 1)) || setmarkAt(position);
    const uint64_t capacity = medium->PartitionCapacity(partition);
    const uint64_t used = medium->UsedBytes(partition);
    const uint64_t room = used >= capacity ? 0 : capacity - used;
    const uint64_t block = std::max<uint64_t>(kEarlyWarningBytes, drive_->settings().blockLength);
    spot.atEnd = position == end && room < block;
    return spot;
}

std::string Session::DriveName() const
{
    const INQUIRYDATA& inquiry = device_->inquiry();
    const auto field = [](const UCHAR* bytes, size_t length) {
        std::string text(reinterpret_cast<const char*>(bytes), length);
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        return text;
    };
    return field(inquiry.VendorId, sizeof(inquiry.VendorId)) + " " +
           field(inquiry.ProductId, sizeof(inquiry.ProductId)) + " rev " +
           field(inquiry.ProductRevisionLevel, sizeof(inquiry.ProductRevisionLevel)) +
           (deviceTarget_ ? " (" + deviceTarget_->Describe() + ")" : " (simulated)");
}

void Session::Record(const host::Transcript& transcript)
{
    if (options_.json) {
        trace_.push_back(transcript.Json());
    } else {
        std::cout << transcript.Text();
    }
}

void Session::Note(const std::string& text)
{
    if (!options_.trace) {
        return;
    }
    if (options_.json) {
        trace_.push_back({{"note", text}});
    } else {
        std::cout << "note: " << text << "\n";
    }
}

}  // namespace tools
