// The class-driver stand-in's one send path: the readiness check, discovery's INQUIRY, every
// command a miniclass routine builds and the class driver's own READ and WRITE all go out
// through SendCommand and come back as an Outcome.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/recorder.h"
#include "host/target.h"
#include "platform/tapeclass.h"

namespace host {

// What the stand-in makes of one answer.
struct Outcome {
    TAPE_STATUS status = TAPE_STATUS_SUCCESS;
    bool failed = false;     // the command did not simply succeed
    size_t transferred = 0;  // data bytes the drive moved, when its count can be trusted
};

// Where a command goes and who hears of it. TapeError of init refines a status derived from
// sense, when registered; the extension is what it is handed.
struct Route {
    Target& target;
    const TAPE_INIT_DATA& init;
    void* extension;
    Recorder& recorder;
};

struct SendOptions {
    bool returnErrors = false;    // an underrun counts as DATA_OVERRUN
    bool readinessCheck = false;  // the class driver's own TEST UNIT READY, so marked
    uint8_t* sense = nullptr;     // where sense is delivered, senseCapacity bytes at most
    size_t senseCapacity = 0;
};

// Sends the block as it stands, unless CdbLength is no command length or the transfer does
// not lie inside the bufferSize bytes at buffer; the data moves through a copy, so the target
// cannot touch the buffer beyond what it reports as moved.
Outcome SendCommand(const Route& route, SCSI_REQUEST_BLOCK& srb, const uint8_t* buffer,
                    ULONG bufferSize, const SendOptions& options);

}  // namespace host
