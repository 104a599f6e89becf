// TapeError with fuzzed statuses and sense buffers of any length (or none), and VerifyInquiry
// with ExtensionInit on fuzzed inquiry data. Every buffer is exactly as long as the driver is
// told, so a byte read past it is caught; each result is checked against a model of the rules.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/velmdat.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr ULONG kDriveTypeQt7310 = 13;

void FuzzTapeError(FuzzedDataProvider& fdp)
{
    // Every value the enumeration can hold (its range is 0 to 31), named or not.
    constexpr int kLargestStatusValue = 31;
    const auto status =
        static_cast<TAPE_STATUS>(fdp.ConsumeIntegralInRange<int>(0, kLargestStatusValue));
    const bool present = fdp.ConsumeIntegralInRange<int>(0, 7) != 0;
    const auto length = fdp.ConsumeIntegral<uint8_t>();
    // new[] of exactly `length` bytes (0 included): a read at or past it is out of bounds.
    std::unique_ptr<uint8_t[]> sense(new uint8_t[length]);
    const std::vector<uint8_t> bytes = fdp.ConsumeBytes<uint8_t>(length);
    std::fill_n(sense.get(), length, 0);
    std::copy(bytes.begin(), bytes.end(), sense.get());

    SCSI_REQUEST_BLOCK srb{};
    srb.SenseInfoBuffer = present ? sense.get() : nullptr;
    srb.SenseInfoBufferLength = length;
    srb.Cdb[0] = fdp.ConsumeIntegral<uint8_t>();
    MINITAPE_EXTENSION extension{kDriveTypeQt7310, fdp.ConsumeIntegral<ULONG>()};
    const MINITAPE_EXTENSION extensionBefore = extension;
    const std::vector<uint8_t> senseBefore(sense.get(), sense.get() + length);
    // The block's bytes, padding included, as TapeError found them: it may read, not write.
    const auto bytesOf = [](const SCSI_REQUEST_BLOCK& block) {
        std::array<uint8_t, sizeof(SCSI_REQUEST_BLOCK)> bytes{};
        std::memcpy(bytes.data(), &block, sizeof(block));
        return bytes;
    };
    const auto srbBefore = bytesOf(srb);

    // Model: a byte nobody handed over never matches.
    auto byteIs = [&](size_t index, uint8_t mask, uint8_t value) {
        return present && index < length && (sense[index] & mask) == value;
    };
    TAPE_STATUS expected = status;
    if (status == TAPE_STATUS_BUS_RESET && byteIs(12, 0xFF, 0x3A) && byteIs(13, 0xFF, 0x00)) {
        expected = TAPE_STATUS_NO_MEDIA;
    } else if (status == TAPE_STATUS_IO_DEVICE_ERROR && byteIs(2, 0x0F, 0x0B)) {
        expected = TAPE_STATUS_DEVICE_NOT_READY;
    }

    TAPE_STATUS refined = status;
    TapeError(&extension, &srb, &refined);
    FUZZ_CHECK_MSG(refined == expected, "status %d became %d, expected %d",
                   static_cast<int>(status), static_cast<int>(refined), static_cast<int>(expected));
    FUZZ_CHECK(bytesOf(srb) == srbBefore);
    FUZZ_CHECK(std::equal(senseBefore.begin(), senseBefore.end(), sense.get()));
    FUZZ_CHECK(extension.DriveType == extensionBefore.DriveType &&
               extension.CurrentPartition == extensionBefore.CurrentPartition);
}

void FuzzInquiry(FuzzedDataProvider& fdp)
{
    // The platform's whole record, on the heap at its exact size.
    auto inquiry = std::make_unique<INQUIRYDATA>();
    auto* raw = reinterpret_cast<uint8_t*>(inquiry.get());
    const std::vector<uint8_t> bytes = fdp.ConsumeBytes<uint8_t>(sizeof(INQUIRYDATA));
    std::copy(bytes.begin(), bytes.end(), raw);
    if (fdp.ConsumeBool()) {  // lead the search to the claimed drive and its near misses
        std::memcpy(raw + 8, "VELM    ", 8);
        if (fdp.ConsumeBool()) {
            std::memcpy(raw + 16, "QT-7310", 7);
        }
    }
    const std::vector<uint8_t> before(raw, raw + sizeof(INQUIRYDATA));
    const bool claim =
        std::memcmp(raw + 8, "VELM    ", 8) == 0 && std::memcmp(raw + 16, "QT-7310", 7) == 0;

    const BOOLEAN verdict = VerifyInquiry(inquiry.get(), nullptr);
    FUZZ_CHECK_MSG((verdict != 0) == claim, "VerifyInquiry %u, expected %d", verdict, claim);
    FUZZ_CHECK(std::equal(before.begin(), before.end(), raw));

    auto extension = std::make_unique<MINITAPE_EXTENSION>();
    extension->DriveType = fdp.ConsumeIntegral<ULONG>();
    extension->CurrentPartition = fdp.ConsumeIntegral<ULONG>();
    ExtensionInit(extension.get(), inquiry.get(), nullptr);
    FUZZ_CHECK(extension->DriveType == (claim ? kDriveTypeQt7310 : 0));
    FUZZ_CHECK(extension->CurrentPartition == 0);
    FUZZ_CHECK(std::equal(before.begin(), before.end(), raw));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    if (fdp.ConsumeBool()) {
        FuzzTapeError(fdp);
    } else {
        FuzzInquiry(fdp);
    }
    return 0;
}
