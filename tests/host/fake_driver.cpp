// The fake miniclass behind the stand-in's tests: routines that do what each test says and
// record what they were handed.
#include "fake_driver.h"

#include <cstring>

namespace fake {
namespace {

BOOLEAN TAPECALL VerifyInquiry(PINQUIRYDATA inquiry, PMODE_CAPABILITIES_PAGE /*page*/)
{
    ++state().verifyCalls;
    const auto* bytes = reinterpret_cast<const uint8_t*>(inquiry);
    state().inquirySeen.assign(bytes, bytes + sizeof(INQUIRYDATA));
    return state().claim ? TRUE : FALSE;
}

VOID TAPECALL ExtensionInit(PVOID extension, PINQUIRYDATA /*inquiry*/,
                            PMODE_CAPABILITIES_PAGE /*page*/)
{
    ++state().extensionInitCalls;
    auto* bytes = static_cast<uint8_t*>(extension);
    bytes[0] = 0x0D;
}

VOID TAPECALL TapeError(PVOID /*extension*/, PSCSI_REQUEST_BLOCK srb, PTAPE_STATUS status)
{
    TapeErrorSeen seen{*status, {}};
    if (srb->SenseInfoBuffer != nullptr) {
        const auto* sense = static_cast<const uint8_t*>(srb->SenseInfoBuffer);
        seen.sense.assign(sense, sense + srb->SenseInfoBufferLength);
    }
    state().tapeErrors.push_back(seen);
    // Refine like a real miniclass would: a reset with no medium means no medium.
    if (*status == TAPE_STATUS_BUS_RESET && seen.sense.size() > 13 && seen.sense[12] == 0x3A) {
        *status = TAPE_STATUS_NO_MEDIA;
    }
}

}  // namespace

State& state()
{
    static State instance;
    return instance;
}

void Reset()
{
    State& s = state();
    s = State{};
    s.registration.VerifyInquiry = VerifyInquiry;
    s.registration.MinitapeExtensionSize = 8;
    s.registration.ExtensionInit = ExtensionInit;
    s.registration.DefaultTimeOutValue = 360;
    s.registration.TapeError = TapeError;
    s.registration.CommandExtensionSize = 4;
    s.registration.CreatePartition = Routine;
    s.registration.Erase = Routine;
    s.registration.GetDriveParameters = Routine;
    s.registration.GetMediaParameters = Routine;
    s.registration.GetPosition = Routine;
    s.registration.GetStatus = Routine;
    s.registration.Prepare = Routine;
    s.registration.SetDriveParameters = Routine;
    s.registration.SetMediaParameters = Routine;
    s.registration.SetPosition = Routine;
    s.registration.WriteMarks = Routine;
}

ULONG TAPECALL Entry(PVOID driverObject, PVOID registryPath)
{
    const State& s = state();
    if (!s.entryRegisters) {
        return s.entryResult;
    }
    TAPE_INIT_DATA data = s.registration;
    const ULONG status = TapeClassInitialize(driverObject, registryPath, &data);
    return s.entryResult != 0 ? s.entryResult : status;
}

TAPE_STATUS TAPECALL Routine(PVOID minitapeExtension, PVOID commandExtension,
                             PVOID commandParameters, PSCSI_REQUEST_BLOCK srb, ULONG callNumber,
                             TAPE_STATUS lastStatus, PULONG retryFlags)
{
    CallSeen entry{callNumber,
                   lastStatus,
                   *retryFlags,
                   srb->SrbFlags,
                   srb->TimeOutValue,
                   srb->DataTransferLength,
                   srb->CdbLength,
                   srb->SenseInfoBufferLength,
                   srb->DataBuffer,
                   srb->SenseInfoBuffer,
                   minitapeExtension,
                   commandParameters,
                   {}};
    if (commandExtension != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(commandExtension);
        entry.commandExtension.assign(bytes, bytes + state().registration.CommandExtensionSize);
    }
    state().entries.push_back(entry);
    return state().step(commandExtension, srb, callNumber, lastStatus, retryFlags);
}

std::optional<host::Device> Claimed(host::ClassDriver& driver, host::ScriptedTarget& target)
{
    Reset();
    target.inquiry = host::ScriptedTarget::InquiryData("FAKE", "DRIVE");
    if (!driver.Load(Entry)) {
        return std::nullopt;
    }
    std::optional<host::Device> device = host::Device::Discover(driver, target);
    target.Clear();
    return device;
}

void Build6(PSCSI_REQUEST_BLOCK srb, uint8_t opcode, ULONG dataTransferLength)
{
    std::memset(srb->Cdb, 0, 12);
    srb->CdbLength = 6;
    srb->Cdb[0] = opcode;
    srb->DataTransferLength = dataTransferLength;
}

}  // namespace fake
