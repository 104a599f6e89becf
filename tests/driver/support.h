// Shared scaffolding for the driver suites: a step harness that calls one routine step at a
// time on a zeroed request block, and a fixture that runs whole requests through the
// class-driver stand-in against a scripted target.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "driver/velmdat.h"
#include "host/classdriver.h"
#include "host/scripted_target.h"
#include "host/services.h"
#include "host/transcript.h"
#include "modepages/modepages.h"

namespace drvtest {

using Bytes = std::vector<uint8_t>;
using Routine = TAPE_STATUS(TAPECALL*)(PVOID, PVOID, PVOID, PSCSI_REQUEST_BLOCK, ULONG, TAPE_STATUS,
                                       PULONG);

inline constexpr ULONG kReturnErrors = 0x00020000;
inline constexpr ULONG kDataOut = 0x80;

// One routine, one step at a time. Every call starts as the class driver starts it: the
// RetryFlags word clear and the default time-out; the command block holds leftovers so
// that a step which forgets to clear it shows.
struct StepHarness {
    explicit StepHarness(std::optional<unsigned> failAllocation = std::nullopt)
        : store(&srb, failAllocation)
    {
        srb.SenseInfoBuffer = sense.data();
        srb.SenseInfoBufferLength = static_cast<UCHAR>(sense.size());
    }

    TAPE_STATUS Call(Routine routine, void* record, ULONG callNumber,
                     TAPE_STATUS lastStatus = TAPE_STATUS_SUCCESS, ULONG retryBefore = 0)
    {
        retry = retryBefore;
        srb.TimeOutValue = 360;
        srb.SrbFlags = 0;
        std::memset(srb.Cdb, 0xEE, sizeof(srb.Cdb));
        return routine(&ext, &cmd, record, &srb, callNumber, lastStatus, &retry);
    }

    Bytes Cdb() const { return Bytes(srb.Cdb, srb.Cdb + srb.CdbLength); }
    uint8_t* Data() { return static_cast<uint8_t*>(srb.DataBuffer); }
    // The drive's answer, written into the buffer the last allocation handed out.
    void Answer(const Bytes& bytes)
    {
        ASSERT_NE(srb.DataBuffer, nullptr);
        ASSERT_LE(bytes.size(), store.size());
        std::memcpy(srb.DataBuffer, bytes.data(), bytes.size());
    }

    SCSI_REQUEST_BLOCK srb{};
    std::array<uint8_t, 18> sense{};
    MINITAPE_EXTENSION ext{13, 0};
    COMMAND_EXTENSION cmd{};
    ULONG retry = 0;
    host::SrbBufferStore store;
};

// A claimed QT-7310 behind a scripted target; the inquiry of discovery is cleared away, so
// received() holds exactly what one request sent.
class HostFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(driver.Load(&DriverEntry));
        target.inquiry = host::ScriptedTarget::InquiryData("VELM    ", "QT-7310         ");
        auto found = host::Device::Discover(driver, target);
        ASSERT_TRUE(found.has_value());
        dev.emplace(std::move(*found));
        target.Clear();
    }

    TAPE_STATUS Run(host::Request request, void* record, const host::RunOptions& options = {})
    {
        transcript = host::Transcript{};
        return dev->Run(request, record, &transcript, options);
    }

    ULONG CurrentPartition() const
    {
        const auto& e = dev->extension();
        return ULONG(e[4]) | (ULONG(e[5]) << 8) | (ULONG(e[6]) << 16) | (ULONG(e[7]) << 24);
    }
    void SetCurrentPartition(ULONG value)
    {
        auto& e = dev->extension();
        for (int i = 0; i < 4; ++i) {
            e[4 + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    }

    void Good() { target.Push(host::Reply::Good()); }
    void Data(Bytes bytes) { target.Push(host::Reply::Data(std::move(bytes))); }
    void Check(uint8_t key, uint8_t asc, uint8_t ascq)
    {
        target.Push(host::Reply::Check(key, asc, ascq));
    }

    std::vector<Bytes> Cdbs() const
    {
        std::vector<Bytes> out;
        for (const auto& r : target.received()) {
            out.push_back(r.cdb);
        }
        return out;
    }
    std::vector<int> Returned() const
    {
        std::vector<int> out;
        for (const auto& c : transcript.Calls()) {
            out.push_back(static_cast<int>(c.returned));
        }
        return out;
    }
    std::vector<ULONG> RetryWords() const
    {
        std::vector<ULONG> out;
        for (const auto& c : transcript.Calls()) {
            out.push_back(c.retryFlags);
        }
        return out;
    }
    std::vector<ULONG> AllocationSizes() const
    {
        std::vector<ULONG> out;
        for (const auto& e : transcript.events()) {
            if (e.kind == host::TranscriptEvent::Kind::Allocation) {
                out.push_back(e.allocation.size);
            }
        }
        return out;
    }
    // The miniclass's own commands, without the class driver's readiness checks.
    std::vector<host::CommandEvent> Commands() const { return transcript.Commands(false); }

    host::ClassDriver driver;
    host::ScriptedTarget target;
    std::optional<host::Device> dev;
    host::Transcript transcript;
};

inline host::RunOptions FailAt(unsigned n)
{
    host::RunOptions o;
    o.failAllocation = n;
    return o;
}

inline const Bytes kTur{0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// A buffer of n bytes, zero but for the bytes given at their offsets.
inline Bytes Buffer(size_t n, std::initializer_list<std::pair<size_t, uint8_t>> bytes)
{
    Bytes b(n, 0);
    for (const auto& [i, v] : bytes) {
        b.at(i) = v;
    }
    return b;
}

}  // namespace drvtest
