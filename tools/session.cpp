// A session runs the real driver routines against the simulated drive holding the cartridge
// of the database file; changes go into it as they are made, and are committed at the end.
#include "tools/session.h"

#include <array>
#include <iostream>

#include "driver/velmdat.h"

namespace tools {
namespace {

// PREVENT ALLOW MEDIUM REMOVAL with prevent set: how the drive is put back into the locked
// state it was left in, since a real drive keeps it while powered.
constexpr std::array<uint8_t, 6> kPreventRemoval = {0x1E, 0x00, 0x00, 0x00, 0x01, 0x00};
constexpr std::array<uint8_t, 6> kTestUnitReady = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace

Session::Session(SessionOptions options) : options_(std::move(options)) {}

void Session::Open()
{
    cartridge_ = OpenCartridge(options_.path, options_.busyWait);
    const store::DriveState& state = cartridge_->State();
    if (state.ejected) {
        // The drive powers on empty; the cartridge waits outside for `load`.
        ejected_ = cartridge_->Medium();
        ejectedSettings_ = state.settings;
        drive_ = std::make_unique<sim::Drive>(sim::Options{}, std::nullopt);
    } else {
        try {
            drive_ = std::make_unique<sim::Drive>(sim::Options{}, cartridge_->Medium(),
                                                  state.partition, state.position,
                                                  state.settings);
        } catch (const std::invalid_argument& e) {
            throw ToolError(options_.path, std::string("cannot use cartridge file: ") + e.what() +
                                               " (file left unchanged)");
        }
    }
    if (state.removalPrevented) {
        drive_->Execute(kPreventRemoval.data(), kPreventRemoval.size(), sim::Direction::None,
                        nullptr, 0);
    }
    target_ = std::make_unique<SimTarget>(*drive_);

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
    store::DriveState state;
    state.removalPrevented = drive_->RemovalPrevented();
    if (ejected_) {
        state.ejected = true;  // out of the drive, wound back to its beginning
        state.settings = ejectedSettings_;
    } else {
        state.partition = drive_->Partition();
        state.position = drive_->Position();
        state.settings = drive_->settings();
    }
    try {
        cartridge_->Commit(state);
    } catch (const store::StoreError& e) {
        throw FromStoreError(options_.path, e);
    }
}

TAPE_STATUS Session::Run(host::Request request, void* record)
{
    host::Transcript transcript;
    const TAPE_STATUS status =
        device_->Run(request, record, options_.trace ? &transcript : nullptr);
    if (options_.trace) {
        Record(transcript);
    }
    return status;
}

host::TransferResult Session::Write(const uint8_t* data, size_t length, uint32_t blockSize)
{
    host::Transcript transcript;
    const host::TransferResult result = host::WriteBlocks(*device_, data, length, blockSize,
                                                          options_.trace ? &transcript : nullptr);
    if (options_.trace) {
        Record(transcript);
    }
    return result;
}

host::TransferResult Session::Read(uint8_t* buffer, size_t capacity, uint32_t blockSize)
{
    host::Transcript transcript;
    const host::TransferResult result = host::ReadBlocks(*device_, buffer, capacity, blockSize,
                                                         options_.trace ? &transcript : nullptr);
    if (options_.trace) {
        Record(transcript);
    }
    return result;
}

void Session::EjectAfterUnload()
{
    ejectedSettings_ = drive_->settings();
    ejected_ = drive_->EjectMedium();
    // The eject's own news (medium removed) concerns nobody: the next invocation powers on.
}

void Session::InsertForLoad()
{
    if (!ejected_) {
        return;
    }
    drive_->InsertMedium(std::move(ejected_));
    // The drive reports the new medium once (unit attention 28/00); the class driver takes
    // that news itself on the platform, so it is collected here before the LOAD is sent.
    drive_->Execute(kTestUnitReady.data(), kTestUnitReady.size(), sim::Direction::None, nullptr, 0);
    Note("cartridge inserted; the drive's medium-changed report was collected");
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
           " (simulated)";
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
