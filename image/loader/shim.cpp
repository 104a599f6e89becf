// Stands where the driver's own objects stand in the host build. The image's entry runs once
// at first use to learn its routines; DriverEntry runs it again for every caller, so the class
// driver stand-in receives the registration from the image itself.
#include "image/loader/shim.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "driver/velmdat.h"

namespace velmdat_image {
namespace {

using Entry = ULONG(TAPECALL*)(PVOID DriverObject, PVOID RegistryPath);

struct Shim {
    std::unique_ptr<peimage::LoadedImage> image;
    TAPE_INIT_DATA registration{};
    bool registered = false;
    bool learning = false;  // the first entry call only tells us the routines
};

Shim& State()
{
    static Shim shim;
    return shim;
}

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "VELMDAT.SYS loader: %s: %s\n", ImagePath().c_str(), what.c_str());
    std::abort();
}

// The image's TapeClassInitialize import: keeps the record, then hands it to the stand-in.
ULONG TAPECALL InterceptInitialize(PVOID Argument1, PVOID Argument2, TAPE_INIT_DATA* TapeInitData)
{
    Shim& shim = State();
    if (TapeInitData != nullptr) {
        shim.registration = *TapeInitData;
        shim.registered = true;
    }
    if (shim.learning) {
        return 0;  // the platform's success
    }
    return TapeClassInitialize(Argument1, Argument2, TapeInitData);
}

Shim& Loaded()
{
    Shim& shim = State();
    if (shim.image) {
        return shim;
    }
    std::vector<uint8_t> file;
    std::string error;
    if (!peimage::ReadFile(ImagePath(), file, error)) {
        Fail(error);
    }
    shim.image = peimage::LoadedImage::Map(
        file,
        [](const std::string& module, const std::string& name) -> void* {
            if (module == "TAPE.SYS" && name == "TapeClassInitialize") {
                return reinterpret_cast<void*>(&InterceptInitialize);
            }
            return ResolveTapeImport(module, name);
        },
        error);
    if (!shim.image) {
        Fail(error);
    }
    shim.learning = true;
    reinterpret_cast<Entry>(shim.image->entry())(nullptr, nullptr);
    shim.learning = false;
    if (!shim.registered) {
        Fail("the entry point did not register with the class driver");
    }
    return shim;
}

template <typename Routine>
Routine Registered(Routine TAPE_INIT_DATA::*member, const char* name)
{
    const Routine routine = Loaded().registration.*member;
    if (routine == nullptr) {
        Fail(std::string("no ") + name + " registered");
    }
    return routine;
}

}  // namespace

std::string ImagePath()
{
    const char* const path = std::getenv("VELMDAT_IMAGE_FILE");
    return path != nullptr && *path != '\0' ? path : VELMDAT_IMAGE_PATH;
}

const peimage::LoadedImage& Image()
{
    return *Loaded().image;
}

const TAPE_INIT_DATA& Registration()
{
    return Loaded().registration;
}

void* ResolveTapeImport(const std::string& module, const std::string& name)
{
    if (module != "TAPE.SYS") {
        return nullptr;
    }
    if (name == "TapeClassInitialize") {
        return reinterpret_cast<void*>(&TapeClassInitialize);
    }
    if (name == "TapeClassZeroMemory") {
        return reinterpret_cast<void*>(&TapeClassZeroMemory);
    }
    if (name == "TapeClassCompareMemory") {
        return reinterpret_cast<void*>(&TapeClassCompareMemory);
    }
    if (name == "TapeClassAllocateSrbBuffer") {
        return reinterpret_cast<void*>(&TapeClassAllocateSrbBuffer);
    }
    return nullptr;
}

}  // namespace velmdat_image

using velmdat_image::Registered;

extern "C" ULONG TAPECALL DriverEntry(PVOID DriverObject, PVOID RegistryPath)
{
    const auto entry = reinterpret_cast<velmdat_image::Entry>(velmdat_image::Image().entry());
    return entry(DriverObject, RegistryPath);
}

BOOLEAN TAPECALL VerifyInquiry(PINQUIRYDATA InquiryData,
                               PMODE_CAPABILITIES_PAGE ModeCapabilitiesPage)
{
    return Registered(&TAPE_INIT_DATA::VerifyInquiry, "VerifyInquiry")(InquiryData,
                                                                       ModeCapabilitiesPage);
}

VOID TAPECALL ExtensionInit(PVOID MinitapeExtension, PINQUIRYDATA InquiryData,
                            PMODE_CAPABILITIES_PAGE ModeCapabilitiesPage)
{
    Registered(&TAPE_INIT_DATA::ExtensionInit, "ExtensionInit")(MinitapeExtension, InquiryData,
                                                                ModeCapabilitiesPage);
}

VOID TAPECALL TapeError(PVOID MinitapeExtension, PSCSI_REQUEST_BLOCK Srb, PTAPE_STATUS TapeStatus)
{
    Registered(&TAPE_INIT_DATA::TapeError, "TapeError")(MinitapeExtension, Srb, TapeStatus);
}

#define VELMDAT_FORWARD(name)                                                                     \
    TAPE_STATUS TAPECALL name(PVOID MinitapeExtension, PVOID CommandExtension,                    \
                              PVOID CommandParameters, PSCSI_REQUEST_BLOCK Srb, ULONG CallNumber, \
                              TAPE_STATUS LastStatus, PULONG RetryFlags)                          \
    {                                                                                             \
        return Registered(&TAPE_INIT_DATA::name, #name)(MinitapeExtension, CommandExtension,      \
                                                        CommandParameters, Srb, CallNumber,       \
                                                        LastStatus, RetryFlags);                  \
    }

VELMDAT_FORWARD(CreatePartition)
VELMDAT_FORWARD(Erase)
VELMDAT_FORWARD(GetDriveParameters)
VELMDAT_FORWARD(GetMediaParameters)
VELMDAT_FORWARD(GetPosition)
VELMDAT_FORWARD(GetStatus)
VELMDAT_FORWARD(Prepare)
VELMDAT_FORWARD(SetDriveParameters)
VELMDAT_FORWARD(SetMediaParameters)
VELMDAT_FORWARD(SetPosition)
VELMDAT_FORWARD(WriteMarks)

#undef VELMDAT_FORWARD
