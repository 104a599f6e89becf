// Every call across the image boundary must be callee-cleaned (stdcall), in both directions:
// a routine registered or a service bound with another convention still links through the
// casts and only shifts the caller's stack at run time. A probe in assembly pushes the
// arguments, calls, and reports where the stack pointer came back.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "driver/velmdat.h"
#include "host/services.h"
#include "image/loader/shim.h"

#if !defined(__i386__)
#error "the stack probe is i386 code"
#endif

// int32_t StackProbe(const void* function, const uint32_t* args, uint32_t count,
//                    uint32_t* result, uint32_t* saved): pushes args[count-1] .. args[0], loads
// ebx, esi and edi with known values, calls function, stores eax in *result and the three
// registers as the callee left them in saved[0..2], and returns the stack pointer after the
// call minus the one before the pushes: 0 when the callee removed its arguments, -4 * count
// when it left them. The frame pointer must survive too, or the probe cannot return.
extern "C" int32_t StackProbe(const void* function, const uint32_t* args, uint32_t count,
                              uint32_t* result, uint32_t* saved);
asm(R"(
    .text
    .globl StackProbe
    .type StackProbe, @function
StackProbe:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    pushl %ebx
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  movl 8(%ebp), %eax
    movl $0x0B0B0B0B, %ebx
    movl $0x05050505, %esi
    movl $0x0D0D0D0D, %edi
    call *%eax
    movl 24(%ebp), %ecx
    movl %ebx, 0(%ecx)
    movl %esi, 4(%ecx)
    movl %edi, 8(%ecx)
    movl 20(%ebp), %ecx
    movl %eax, (%ecx)
    leal -12(%ebp), %edx
    movl %esp, %eax
    subl %edx, %eax
    leal -12(%ebp), %esp
    popl %ebx
    popl %edi
    popl %esi
    popl %ebp
    ret
    .size StackProbe, .-StackProbe
)");

namespace {

uint32_t Arg(const void* p)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

// The stack pointer's offset after the call; fails the test when the callee did not keep
// the registers it must keep for its caller.
int32_t Probe(const void* function, const uint32_t* args, uint32_t count, uint32_t* result,
              const char* name = "")
{
    std::array<uint32_t, 3> saved{};
    const int32_t delta = StackProbe(function, args, count, result, saved.data());
    EXPECT_EQ(saved[0], 0x0B0B0B0Bu) << name << " changed ebx";
    EXPECT_EQ(saved[1], 0x05050505u) << name << " changed esi";
    EXPECT_EQ(saved[2], 0x0D0D0D0Du) << name << " changed edi";
    return delta;
}

// cdecl on purpose: the probe must see the two arguments left behind.
extern "C" uint32_t CallerCleaned(uint32_t a, uint32_t b)
{
    return a + b;
}

TEST(StackProbe, SeesArgumentsLeftByACallerCleanedFunction)
{
    const std::array<uint32_t, 2> args = {40, 2};
    uint32_t result = 0;
    EXPECT_EQ(Probe(reinterpret_cast<const void*>(&CallerCleaned), args.data(), 2, &result), -8);
    EXPECT_EQ(result, 42u);
}

// The services the image is bound to, as the image calls them.
TEST(StackProbe, HostServicesCleanTheirArguments)
{
    std::array<uint8_t, 16> a{};
    std::array<uint8_t, 16> b{};
    a[3] = 1;
    uint32_t result = 0;

    const std::array<uint32_t, 2> zero = {Arg(a.data()), 16};
    EXPECT_EQ(Probe(velmdat_image::ResolveTapeImport("TAPE.SYS", "TapeClassZeroMemory"),
                    zero.data(), 2, &result),
              0);
    EXPECT_EQ(a[3], 0);

    b[5] = 9;
    const std::array<uint32_t, 3> compare = {Arg(a.data()), Arg(b.data()), 16};
    EXPECT_EQ(Probe(velmdat_image::ResolveTapeImport("TAPE.SYS", "TapeClassCompareMemory"),
                    compare.data(), 3, &result),
              0);
    EXPECT_EQ(result, 5u);

    SCSI_REQUEST_BLOCK srb{};
    host::SrbBufferStore store(&srb, std::nullopt);
    const std::array<uint32_t, 2> allocate = {Arg(&srb), 20};
    EXPECT_EQ(Probe(velmdat_image::ResolveTapeImport("TAPE.SYS", "TapeClassAllocateSrbBuffer"),
                    allocate.data(), 2, &result),
              0);
    EXPECT_EQ(result & 0xFF, 1u);

    TAPE_INIT_DATA init{};
    const std::array<uint32_t, 3> initialize = {0, 0, Arg(&init)};
    host::SetRegistrationSink([](const TAPE_INIT_DATA&) { return ULONG{0}; });
    EXPECT_EQ(Probe(velmdat_image::ResolveTapeImport("TAPE.SYS", "TapeClassInitialize"),
                    initialize.data(), 3, &result),
              0);
    host::SetRegistrationSink(nullptr);
}

// Each routine the image registered, called as the class driver calls it.
TEST(StackProbe, RegisteredRoutinesCleanTheirArguments)
{
    const TAPE_INIT_DATA& init = velmdat_image::Registration();
    uint32_t result = 0;

    INQUIRYDATA inquiry{};
    const std::array<uint32_t, 2> verify = {Arg(&inquiry), 0};
    EXPECT_EQ(Probe(reinterpret_cast<const void*>(init.VerifyInquiry), verify.data(), 2, &result),
              0);

    MINITAPE_EXTENSION extension{};
    const std::array<uint32_t, 3> extensionInit = {Arg(&extension), Arg(&inquiry), 0};
    EXPECT_EQ(
        Probe(reinterpret_cast<const void*>(init.ExtensionInit), extensionInit.data(), 3, &result),
        0);

    SCSI_REQUEST_BLOCK srb{};
    TAPE_STATUS status = TAPE_STATUS_IO_DEVICE_ERROR;
    const std::array<uint32_t, 3> tapeError = {Arg(&extension), Arg(&srb), Arg(&status)};
    EXPECT_EQ(Probe(reinterpret_cast<const void*>(init.TapeError), tapeError.data(), 3, &result),
              0);

    const std::array<std::pair<const char*, TAPE_PROCESS_COMMAND_ROUTINE>, 11> commands = {{
        {"CreatePartition", init.CreatePartition},
        {"Erase", init.Erase},
        {"GetDriveParameters", init.GetDriveParameters},
        {"GetMediaParameters", init.GetMediaParameters},
        {"GetPosition", init.GetPosition},
        {"GetStatus", init.GetStatus},
        {"Prepare", init.Prepare},
        {"SetDriveParameters", init.SetDriveParameters},
        {"SetMediaParameters", init.SetMediaParameters},
        {"SetPosition", init.SetPosition},
        {"WriteMarks", init.WriteMarks},
    }};
    for (const auto& [name, routine] : commands) {
        // Call 0 of each request on zeroed records large enough for any of them.
        alignas(8) std::array<uint8_t, 64> record{};
        COMMAND_EXTENSION command{};
        SCSI_REQUEST_BLOCK request{};
        host::SrbBufferStore store(&request, std::nullopt);
        MINITAPE_EXTENSION device{13, 0};
        ULONG retry = 0;
        const std::array<uint32_t, 7> args = {
            Arg(&device),        Arg(&command), Arg(record.data()), Arg(&request), 0,
            TAPE_STATUS_SUCCESS, Arg(&retry)};
        EXPECT_EQ(Probe(reinterpret_cast<const void*>(routine), args.data(), 7, &result, name), 0)
            << name;
    }
}

}  // namespace
