// Registration with the tape class driver, recognition of the VELM QT-7310 and the
// per-device record. Relies on the class driver's services for zeroing and comparing.
#include "driver/velmdat.h"

#include "driver/request.h"
#include "driver/scsi.h"

// Identifies the driver file in its read-only data; external linkage keeps it in the image.
extern "C" const char VelmdatIdentification[] = "19970812-0001 VELM QT-7310 SCSI DAT Tape Driver";

namespace {

constexpr ULONG kDriveTypeNone = 0;
constexpr ULONG kDriveTypeQt7310 = 13;

// The vendor field is compared whole, spaces included; the product field only as far as
// the model name, so any revision suffix after it is still claimed.
constexpr char kVendorId[] = "VELM    ";
constexpr ULONG kVendorIdLength = sizeof(kVendorId) - 1;
constexpr char kProductId[] = "QT-7310";
constexpr ULONG kProductIdLength = sizeof(kProductId) - 1;

static_assert(kVendorIdLength == sizeof(INQUIRYDATA::VendorId), "vendor field compared whole");
static_assert(kProductIdLength < sizeof(INQUIRYDATA::ProductId), "product prefix");

ULONG WhichIsIt(PINQUIRYDATA InquiryData)
{
    if (InquiryData == nullptr) {
        return kDriveTypeNone;
    }
    // The service only reads; it takes non-const pointers as the platform declares it.
    if (TapeClassCompareMemory(InquiryData->VendorId, const_cast<char*>(kVendorId),
                               kVendorIdLength) != kVendorIdLength) {
        return kDriveTypeNone;
    }
    if (TapeClassCompareMemory(InquiryData->ProductId, const_cast<char*>(kProductId),
                               kProductIdLength) != kProductIdLength) {
        return kDriveTypeNone;
    }
    return kDriveTypeQt7310;
}

}  // namespace

extern "C" ULONG TAPECALL DriverEntry(PVOID DriverObject, PVOID RegistryPath)
{
    TAPE_INIT_DATA init;
    TapeClassZeroMemory(&init, sizeof(init));  // PreProcessReadWrite stays none

    init.VerifyInquiry = VerifyInquiry;
    init.QueryModeCapabilitiesPage = FALSE;  // the capabilities page is never looked at
    init.MinitapeExtensionSize = sizeof(MINITAPE_EXTENSION);
    init.ExtensionInit = ExtensionInit;
    init.DefaultTimeOutValue = scsi::kTimeoutDefaultSeconds;
    init.TapeError = TapeError;
    init.CommandExtensionSize = sizeof(COMMAND_EXTENSION);
    init.CreatePartition = CreatePartition;
    init.Erase = Erase;
    init.GetDriveParameters = GetDriveParameters;
    init.GetMediaParameters = GetMediaParameters;
    init.GetPosition = GetPosition;
    init.GetStatus = GetStatus;
    init.Prepare = Prepare;
    init.SetDriveParameters = SetDriveParameters;
    init.SetMediaParameters = SetMediaParameters;
    init.SetPosition = SetPosition;
    init.WriteMarks = WriteMarks;

    return TapeClassInitialize(DriverObject, RegistryPath, &init);
}

BOOLEAN TAPECALL VerifyInquiry(PINQUIRYDATA InquiryData,
                               PMODE_CAPABILITIES_PAGE /*ModeCapabilitiesPage*/)
{
    return WhichIsIt(InquiryData) != kDriveTypeNone ? TRUE : FALSE;
}

VOID TAPECALL ExtensionInit(PVOID MinitapeExtension, PINQUIRYDATA InquiryData,
                            PMODE_CAPABILITIES_PAGE /*ModeCapabilitiesPage*/)
{
    auto* extension = static_cast<MINITAPE_EXTENSION*>(MinitapeExtension);
    extension->DriveType = WhichIsIt(InquiryData);
    extension->CurrentPartition = kNoPartition;  // nothing is known of the tape yet
}
