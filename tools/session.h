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
#include "host/transcript.h"
#include "sim/drive.h"
#include "tools/cartridge_store.h"
#include "tools/sim_target.h"

namespace tools {

struct SessionOptions {
    std::string path;    // the cartridge file
    bool trace = false;  // every driver call and SCSI command
    bool json = false;   // transcripts go into the JSON answer instead of stdout
    std::chrono::milliseconds busyWait = kDefaultBusyWait;  // for another velmtape to finish
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

    // One tape request through the driver, its transcript printed or kept when tracing.
    TAPE_STATUS Run(host::Request request, void* record);
    host::TransferResult Write(const uint8_t* data, size_t length, uint32_t blockSize);
    host::TransferResult Read(uint8_t* buffer, size_t capacity, uint32_t blockSize);

    // Operator actions on the simulated drive that go with unload and load: the cartridge
    // comes out after an unload and goes back in before a load.
    bool Ejected() const { return ejected_ != nullptr; }
    void EjectAfterUnload();
    void InsertForLoad();

    bool RemovalPrevented() const { return drive_->RemovalPrevented(); }
    const std::string& path() const { return options_.path; }
    std::string DriveName() const;
    nlohmann::json& trace() { return trace_; }

private:
    void Record(const host::Transcript& transcript);
    void Note(const std::string& text);

    SessionOptions options_;
    std::unique_ptr<store::CartridgeDb> cartridge_;  // outlives the drive and its medium
    std::unique_ptr<sim::Medium> ejected_;           // the tape while it is out of the drive
    sim::DriveSettings ejectedSettings_;             // what the cartridge keeps meanwhile
    host::ClassDriver driver_;
    std::unique_ptr<sim::Drive> drive_;
    std::unique_ptr<SimTarget> target_;
    std::optional<host::Device> device_;
    nlohmann::json trace_ = nlohmann::json::array();
};

}  // namespace tools
