// The host stand-in for the tape class driver: it loads a miniclass through its entry
// point, discovers devices through a target, and runs tape requests by the step protocol,
// recording everything in a transcript. Tests, tools and transports all go through it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/target.h"
#include "host/transcript.h"
#include "platform/tapeclass.h"

namespace host {

// The tape requests a miniclass serves, one registered routine each.
enum class Request {
    CreatePartition,
    Erase,
    GetDriveParameters,
    GetMediaParameters,
    GetPosition,
    GetStatus,
    Prepare,
    SetDriveParameters,
    SetMediaParameters,
    SetPosition,
    WriteMarks,
};
const char* RequestName(Request request);

using EntryPoint = ULONG(TAPECALL*)(PVOID DriverObject, PVOID RegistryPath);

// What a driver's entry handed to TapeClassInitialize.
class ClassDriver {
public:
    // Calls the entry point; the registration record it hands over is kept here.
    // Returns false (and keeps the status) when the entry did not register.
    bool Load(EntryPoint entry);
    ULONG entryStatus() const { return entryStatus_; }
    const TAPE_INIT_DATA& init() const { return init_; }
    bool loaded() const { return loaded_; }

private:
    TAPE_INIT_DATA init_{};
    ULONG entryStatus_ = 0;
    bool loaded_ = false;
};

struct RunOptions {
    // Make the Nth buffer allocation of this request fail (1 = the first).
    std::optional<unsigned> failAllocation;
    // Sense bytes the request block offers (SenseInfoBufferLength).
    uint8_t senseInfoLength = 18;
    // A request that has not ended after this many calls ends with IO_DEVICE_ERROR.
    unsigned maxCalls = 64;
};

// A discovered device that the driver claimed: its inquiry data, its extension and the
// target that reaches it.
class Device {
public:
    // INQUIRY through the target, VerifyInquiry, a zeroed extension of the registered size,
    // ExtensionInit. Empty when the inquiry failed or the driver did not claim the device;
    // such a device gets no extension and no request. The transcript, when given, records
    // the inquiry and the driver's verdict.
    static std::optional<Device> Discover(const ClassDriver& driver, Target& target,
                                          Transcript* transcript = nullptr);

    // Runs one request from call 0 to its final status. The record is the request's own
    // (TAPE_ERASE, TAPE_SET_POSITION, ...; none for GetStatus) and is handed to every call.
    TAPE_STATUS Run(Request request, void* record, Transcript* transcript = nullptr,
                    const RunOptions& options = {});

    // The miniclass's per-device record (MinitapeExtension), as raw bytes.
    std::vector<uint8_t>& extension() { return extension_; }
    const std::vector<uint8_t>& extension() const { return extension_; }
    const INQUIRYDATA& inquiry() const { return inquiry_; }
    Target& target() { return *target_; }

private:
    Device(const ClassDriver& driver, Target& target) : driver_(&driver), target_(&target) {}

    const ClassDriver* driver_;
    Target* target_;
    INQUIRYDATA inquiry_{};
    std::vector<uint8_t> extension_;
};

}  // namespace host
