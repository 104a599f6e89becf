// One invocation's drive: the cartridge taken out of its file and put into a simulated
// QT-7310, the real driver loaded into the class-driver stand-in, and every request run
// through them, with its transcript printed or collected for --trace.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/classdriver.h"
#include "host/readwrite.h"
#include "host/sim_target.h"
#include "host/transcript.h"
#include "sim/drive.h"
#include "tools/cartridge_store.h"
#include "tools/file_count.h"
#include "tools/target_choice.h"

namespace tools {

struct SessionOptions {
    std::string path;    // the cartridge file, or a device (iscsi://..., /dev/sgN, /dev/nstN)
    bool trace = false;  // every driver call and SCSI command
    bool json = false;   // transcripts go into the JSON answer instead of stdout
    std::chrono::milliseconds busyWait = kDefaultBusyWait;  // for another velmtape to finish
    bool forceClaim = false;  // testing: run on a sequential-access device the driver refused
};

// The driver refused the device it found: the drive failed, not the usage (exit 2).
class ClaimRefused : public ToolError {
public:
    using ToolError::ToolError;
};

// What the tape holds right where it stands, as Linux's st driver tells it in mt status.
struct TapeSpot {
    bool atSetmark = false;  // a setmark lies right before or right after the tape
    bool atEnd = false;      // at end of data with no room left for another block
};

class Session {
public:
    explicit Session(SessionOptions options);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens and locks the cartridge, brings the drive to its remembered state, loads the
    // driver and discovers the device. Throws ToolError when any of it fails.
    void Open();
    // Commits what this invocation changed: the tape, the position, the drive's state.
    // Without Close nothing after the last chunk of a long write is kept.
    void Close();
    // The cartridge file failed under the command (a full disk, a file-size limit, damage
    // found late): what was not committed is dropped and the drive is not used again; Close
    // then does nothing. Returns what the file holds now.
    const store::DriveState& Abandon();
    bool Abandoned() const { return abandoned_; }
    // The drive's state as the cartridge file held it when this invocation began.
    const store::DriveState& Opened() const { return opened_; }

    // One tape request through the driver, its transcript printed or kept when tracing.
    TAPE_STATUS Run(host::Request request, void* record);
    host::TransferResult Write(const uint8_t* data, size_t length, uint32_t blockSize);
    host::ReadResult Read(uint8_t* buffer, size_t capacity, uint32_t blockSize);
    // The drive's block length (0: variable) by its block descriptor; nothing when not answered.
    std::optional<uint32_t> BlockLength();

    // Operator actions on the simulated drive that go with unload and load: the cartridge
    // comes out after an unload and goes back in before a load.
    bool Ejected() const { return ejected_ != nullptr; }
    void EjectAfterUnload();
    void InsertForLoad();
    // The simulated cartridge's write-protect tab, slid in the drive or out of it; kept with
    // the cartridge at Close.
    void SetWriteProtected(bool writeProtected);
    // The simulated tape around where it stands; nothing on a device or an empty drive, whose
    // tape only the drive's answers describe.
    std::optional<TapeSpot> Spot() const;

    // A device keeps its own lock; only the simulated drive's is known without asking.
    bool RemovalPrevented() const { return drive_ && drive_->RemovalPrevented(); }
    const std::string& path() const { return options_.path; }
    std::string DriveName() const;
    // Which target and transport the requests go to, for status and JSON answers.
    nlohmann::json TargetJson() const;
    // The device transport's last failure in its own words; empty for the simulated drive.
    std::string TransportError() const;
    bool OnDevice() const { return deviceTarget_ != nullptr; }
    nlohmann::json& trace() { return trace_; }
    // The tape's position in files and blocks as counted so far (-1: unknown).
    const store::FilePosition& counted() const { return counter_.now(); }
    // What the sense of the last command of the last request or transfer says; nothing when
    // it succeeded.
    const SenseFacts& lastSense() const { return lastSense_; }
    // A motion, mark, read or write failed in this invocation: the tape may stand anywhere.
    bool MotionFailed() const { return motionFailed_; }

private:
    void OpenDevice();  // the device path of Open, in session_device.cpp
    void Record(const host::Transcript& transcript);
    void Count(host::Request request, const void* record, TAPE_STATUS status);
    void Note(const std::string& text);

    SessionOptions options_;
    std::unique_ptr<store::CartridgeDb> cartridge_;  // outlives the drive and its medium
    std::unique_ptr<sim::Medium> ejected_;           // the tape while it is out of the drive
    host::ClassDriver driver_;
    std::unique_ptr<sim::Drive> drive_;
    std::unique_ptr<host::SimTarget> target_;
    std::unique_ptr<host::DeviceTarget> deviceTarget_;
    std::optional<host::Device> device_;
    nlohmann::json trace_ = nlohmann::json::array();
    FileCounter counter_;
    SenseFacts lastSense_;
    bool motionFailed_ = false;
    bool abandoned_ = false;
    store::DriveState opened_;
};

}  // namespace tools
