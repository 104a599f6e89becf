// The host stand-in for the tape class driver: it loads a miniclass through its entry
// point, discovers devices through a target, and runs tape requests by the step protocol,
// recording everything in a transcript. Tests, tools and transports all go through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
    // Calls the entry point (with null DriverObject and RegistryPath); the registration record
    // it hands to TapeClassInitialize is kept here. Returns false (and keeps the status) when
    // the entry did not register or returned a status other than 0.
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
    // When set, called after every call of the routine, before the runner acts on what it
    // returned: the call's number, its status and the request block as the routine left it.
    // Lets fuzzers and fault-injection tests look at the records between two calls.
    std::function<void(ULONG callNumber, TAPE_STATUS returned, const SCSI_REQUEST_BLOCK& srb)>
        afterCall;
};

// A discovered device that the driver claimed: its inquiry data, its extension and the
// target that reaches it.
class Device {
public:
    // INQUIRY through the target, VerifyInquiry, a zeroed extension of the registered size,
    // ExtensionInit. Empty when the inquiry failed or the driver did not claim the device;
    // such a device gets no extension and no request. The transcript, when given, records
    // the inquiry and the driver's verdict.
    // INQUIRY asks for 96 bytes (the platform's whole record); what arrives is copied into a
    // zeroed INQUIRYDATA. The capabilities page is never fetched: VerifyInquiry and
    // ExtensionInit get null, or a zeroed page when the registration asked for one.
    //
    // forceClaim is for testing the driver's requests on other drives: a sequential-access
    // device (peripheral device type 1) that VerifyInquiry refused is taken all the same,
    // with a transcript note; ExtensionInit still runs and records the driver's own verdict.
    static std::optional<Device> Discover(const ClassDriver& driver, Target& target,
                                          Transcript* transcript = nullptr,
                                          bool forceClaim = false);

    // Runs one request from call 0 to its final status. The record is the request's own
    // (TAPE_ERASE, TAPE_SET_POSITION, ...; none for GetStatus) and is handed to every call.
    //
    // How the stand-in runs it:
    // - Call 0 gets LastStatus TAPE_STATUS_SUCCESS. Every call gets a fresh request block:
    //   all of it zeroed except DataBuffer, which addresses the request's current buffer
    //   (null before the first allocation) whose contents persist; SrbFlags is
    //   SRB_FLAGS_DATA_IN, TimeOutValue the registered DefaultTimeOutValue, SenseInfoBuffer
    //   the request's own sense buffer of RunOptions::senseInfoLength bytes, and the RetryFlags
    //   word 0. The command extension (CommandExtensionSize bytes) is zeroed once per request.
    // - The direction of a sent command: Out when SrbFlags has SRB_FLAGS_DATA_OUT, else In
    //   when DataTransferLength > 0, else None. The target works on a copy of the data, so it
    //   can never touch the driver's buffer beyond what it reports as moved.
    // - A block that cannot be sent safely (CdbLength 0 or above 16; DataTransferLength > 0
    //   with DataBuffer null or reaching outside the request's buffer) is not sent: its
    //   outcome is TAPE_STATUS_INVALID_PARAMETER, with a transcript note.
    // - A failed command: transport failure => DEVICE_NOT_CONNECTED; BUSY => DEVICE_BUSY;
    //   another non-GOOD, non-CHECK status => IO_DEVICE_ERROR; CHECK CONDITION => TranslateSense,
    //   then the registered TapeError with the sense in the request block. Malformed answers
    //   (sense under 3 bytes, sense whose byte 7 claims more than arrived, a transferred count
    //   above DataTransferLength) => IO_DEVICE_ERROR without TapeError, nothing copied, noted.
    // - A failure whose status (after TapeError) is TAPE_STATUS_SUCCESS (a recovered error) is
    //   treated as success and never ends the request. Any other failure ends the request,
    //   unless the word held RETURN_ERRORS after that call: then it is the next LastStatus.
    // - Underrun: a data-in command with GOOD status that moved fewer bytes than
    //   DataTransferLength leaves the rest of the buffer as it was and gives
    //   TAPE_STATUS_DATA_OVERRUN as the next LastStatus when RETURN_ERRORS was stored, success
    //   otherwise. A short data-out with GOOD status is success.
    // - CHECK_TEST_UNIT_READY sends TEST UNIT READY in a block of its own (the request's block
    //   and buffer are untouched); a failure ends the request with its refined status.
    // - A missing routine gives TAPE_STATUS_INVALID_DEVICE_REQUEST without any call; a
    //   request not ended after RunOptions::maxCalls calls ends with IO_DEVICE_ERROR.
    // The transcript, when given, is begun afresh with RequestName(request).
    TAPE_STATUS Run(Request request, void* record, Transcript* transcript = nullptr,
                    const RunOptions& options = {});

    // Sends one command of the class driver's own: the data transfers READ and WRITE, which no
    // miniclass routine builds. Answers are checked and failures handled as in Run (sense
    // translation, then the registered TapeError); a short data-in transfer is no failure.
    // `transferred` receives the bytes the drive moved, `sense` (when given) the sense bytes
    // that reached the request block, empty unless the command ended in CHECK CONDITION. The
    // transcript, when given, gets the command and its answer appended, with at most
    // transcriptDataLimit data bytes each.
    TAPE_STATUS Send(const uint8_t* cdb, size_t cdbLength, Direction direction, uint8_t* data,
                     size_t length, size_t& transferred, Transcript* transcript = nullptr,
                     size_t transcriptDataLimit = SIZE_MAX, std::vector<uint8_t>* sense = nullptr);

    // The extension seen as the driver's record type (MINITAPE_EXTENSION); null when the
    // registered size is smaller than T.
    template <typename T>
    T* ExtensionAs()
    {
        return extension_.size() >= sizeof(T) ? reinterpret_cast<T*>(extension_.data()) : nullptr;
    }

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
