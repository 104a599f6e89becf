// The step protocol as the stand-in runs it: what every call starts from, what each returned
// status leads to, how failures, underruns and malformed answers reach the routine, discovery
// and registration. Routines are the fake ones, scripted per test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "fake_driver.h"
#include "host/classdriver.h"
#include "host/scripted_target.h"
#include "host/services.h"

namespace {

using host::Reply;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class Runner : public ::testing::Test {
protected:
    void SetUp() override
    {
        device = fake::Claimed(driver, target);
        ASSERT_TRUE(device.has_value());
    }

    TAPE_STATUS Run(fake::Step step, const host::RunOptions& options = {})
    {
        fake::state().step = std::move(step);
        fake::state().entries.clear();
        return device->Run(host::Request::GetPosition, &record, &transcript, options);
    }

    const std::vector<fake::CallSeen>& entries() const { return fake::state().entries; }

    host::ClassDriver driver;
    host::ScriptedTarget target;
    host::Transcript transcript;
    std::optional<host::Device> device;
    TAPE_GET_POSITION record{};
};

TEST_F(Runner, EveryCallStartsFromClearedFlagsDefaultDirectionAndTimeOut)
{
    const TAPE_STATUS status =
        Run([](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS, PULONG retry) {
            if (call < 2) {
                fake::Build6(srb, 0x01, 0);
                srb->SrbFlags |= SRB_FLAGS_DATA_OUT;
                srb->TimeOutValue = 999;
                *retry = RETURN_ERRORS | 0x5;
                return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
            }
            return TAPE_STATUS_SUCCESS;
        });

    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    ASSERT_EQ(entries().size(), 3u);
    for (const fake::CallSeen& entry : entries()) {
        SCOPED_TRACE(entry.callNumber);
        EXPECT_EQ(entry.retryFlags, 0u);
        EXPECT_EQ(entry.srbFlags, 0x40u);
        EXPECT_EQ(entry.timeOutValue, 360u);
        EXPECT_EQ(entry.dataTransferLength, 0u);
        EXPECT_EQ(entry.cdbLength, 0u);
        EXPECT_EQ(entry.senseInfoBufferLength, 18);
        EXPECT_NE(entry.senseInfoBuffer, nullptr);
        EXPECT_EQ(entry.commandParameters, &record);
        EXPECT_EQ(entry.minitapeExtension, device->extension().data());
    }
    EXPECT_EQ(entries()[0].lastStatus, TAPE_STATUS_SUCCESS);
    EXPECT_EQ(entries()[2].lastStatus, TAPE_STATUS_SUCCESS);
    // The command carries what the routine set, not the defaults.
    ASSERT_EQ(target.received().size(), 2u);
    EXPECT_EQ(target.received()[0].timeoutSeconds, 999u);
    EXPECT_EQ(target.received()[0].direction, host::Direction::Out);
    EXPECT_THAT(target.received()[0].cdb, ElementsAre(0x01, 0, 0, 0, 0, 0));
}

TEST_F(Runner, DataInDirectionOnlyWithATransferLength)
{
    Run([](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS, PULONG) {
        if (call == 0) {
            TapeClassAllocateSrbBuffer(srb, 6);
            fake::Build6(srb, 0x05, 6);
            return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
        }
        if (call == 1) {
            fake::Build6(srb, 0x00, 0);
            return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
        }
        return TAPE_STATUS_SUCCESS;
    });
    ASSERT_EQ(target.received().size(), 2u);
    EXPECT_EQ(target.received()[0].direction, host::Direction::In);
    EXPECT_EQ(target.received()[0].dataLength, 6u);
    EXPECT_EQ(target.received()[1].direction, host::Direction::None);
    EXPECT_EQ(target.received()[1].dataLength, 0u);
}

TEST_F(Runner, CallbackCallsAgainAtOnceWithCallbackStatus)
{
    const TAPE_STATUS status = Run([](PVOID, PSCSI_REQUEST_BLOCK, ULONG call, TAPE_STATUS, PULONG) {
        return call == 0 ? TAPE_STATUS_CALLBACK : TAPE_STATUS_NO_MEDIA;
    });
    EXPECT_EQ(status, TAPE_STATUS_NO_MEDIA);
    ASSERT_EQ(entries().size(), 2u);
    EXPECT_EQ(entries()[1].callNumber, 1u);
    EXPECT_EQ(entries()[1].lastStatus, TAPE_STATUS_CALLBACK);
    EXPECT_TRUE(target.received().empty());
}

TEST_F(Runner, ReadyCheckSendsTestUnitReadyThenCallsAgain)
{
    const TAPE_STATUS status =
        Run([](PVOID, PSCSI_REQUEST_BLOCK, ULONG call, TAPE_STATUS, PULONG retry) {
            if (call == 0) {
                *retry = RETURN_ERRORS;
                return TAPE_STATUS_CHECK_TEST_UNIT_READY;
            }
            return TAPE_STATUS_SUCCESS;
        });
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    ASSERT_EQ(target.received().size(), 1u);
    EXPECT_THAT(target.received()[0].cdb, ElementsAre(0, 0, 0, 0, 0, 0));
    EXPECT_EQ(target.received()[0].timeoutSeconds, 360u);
    EXPECT_EQ(target.received()[0].direction, host::Direction::None);
    ASSERT_EQ(entries().size(), 2u);
    EXPECT_EQ(entries()[1].lastStatus, TAPE_STATUS_SUCCESS);
    const auto commands = transcript.Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_TRUE(commands[0].readinessCheck);
    EXPECT_TRUE(transcript.Commands(false).empty());
}

// A failed readiness check ends the request whatever the routine stored, after TapeError.
struct ReadyFailureRow {
    Reply reply;
    TAPE_STATUS expected;
    size_t tapeErrorCalls;
};
class ReadyFailure : public Runner, public ::testing::WithParamInterface<ReadyFailureRow> {};

TEST_P(ReadyFailure, EndsTheRequest)
{
    target.Push(GetParam().reply);
    const TAPE_STATUS status =
        Run([](PVOID, PSCSI_REQUEST_BLOCK, ULONG, TAPE_STATUS, PULONG retry) {
            *retry = RETURN_ERRORS;
            return TAPE_STATUS_CHECK_TEST_UNIT_READY;
        });
    EXPECT_EQ(status, GetParam().expected);
    EXPECT_EQ(entries().size(), 1u);
    EXPECT_EQ(fake::state().tapeErrors.size(), GetParam().tapeErrorCalls);
    EXPECT_EQ(transcript.finalStatus(), GetParam().expected);
}

Reply TransportFailure()
{
    Reply reply;
    reply.transportFailed = true;
    return reply;
}

Reply Status(uint8_t scsiStatus)
{
    Reply reply;
    reply.status = scsiStatus;
    return reply;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReadyFailure,
    ::testing::Values(ReadyFailureRow{Reply::Check(0x2, 0x3A, 0x00), TAPE_STATUS_NO_MEDIA, 1},
                      ReadyFailureRow{Reply::Check(0x2, 0x04, 0x01), TAPE_STATUS_DEVICE_NOT_READY,
                                      1},
                      // Unit attention for a removed cartridge: TapeError turns the reset
                      // into no medium.
                      ReadyFailureRow{Reply::Check(0x6, 0x3A, 0x00), TAPE_STATUS_NO_MEDIA, 1},
                      ReadyFailureRow{Reply::Check(0x6, 0x29, 0x00), TAPE_STATUS_BUS_RESET, 1},
                      ReadyFailureRow{Status(0x08), TAPE_STATUS_DEVICE_BUSY, 0},
                      ReadyFailureRow{Status(0x18), TAPE_STATUS_IO_DEVICE_ERROR, 0},
                      ReadyFailureRow{TransportFailure(), TAPE_STATUS_DEVICE_NOT_CONNECTED, 0}));

// A failure comes back to the routine only when it stored RETURN_ERRORS on the sending call.
struct FailureRow {
    bool returnErrors;
    Reply reply;
    TAPE_STATUS outcome;  // next LastStatus, or the request's end
};
class CommandFailure : public Runner, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(CommandFailure, HandedBackOnlyWithReturnErrors)
{
    const FailureRow& row = GetParam();
    target.Push(row.reply);
    const bool returnErrors = row.returnErrors;
    const TAPE_STATUS status =
        Run([returnErrors](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS, PULONG retry) {
            if (call == 0) {
                fake::Build6(srb, 0x01, 0);
                if (returnErrors) {
                    *retry = RETURN_ERRORS;
                }
                return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
            }
            return TAPE_STATUS_NOT_IMPLEMENTED;  // marks "the routine was called again"
        });
    if (row.returnErrors) {
        ASSERT_EQ(entries().size(), 2u);
        EXPECT_EQ(entries()[1].lastStatus, row.outcome);
        EXPECT_EQ(status, TAPE_STATUS_NOT_IMPLEMENTED);
    } else {
        EXPECT_EQ(entries().size(), 1u);
        EXPECT_EQ(status, row.outcome);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CommandFailure,
    ::testing::Values(
        FailureRow{true, Reply::Check(0x5, 0x24, 0x00), TAPE_STATUS_INVALID_DEVICE_REQUEST},
        FailureRow{false, Reply::Check(0x5, 0x24, 0x00), TAPE_STATUS_INVALID_DEVICE_REQUEST},
        FailureRow{true, Reply::Check(0x0, 0x00, 0x01, 0x80, 1), TAPE_STATUS_FILEMARK_DETECTED},
        FailureRow{false, Reply::Check(0x0, 0x00, 0x01, 0x80, 1), TAPE_STATUS_FILEMARK_DETECTED},
        FailureRow{true, Reply::Check(0x6, 0x3A, 0x00), TAPE_STATUS_NO_MEDIA},
        FailureRow{false, Reply::Check(0xB, 0x47, 0x00), TAPE_STATUS_IO_DEVICE_ERROR},
        FailureRow{true, Status(0x08), TAPE_STATUS_DEVICE_BUSY},
        FailureRow{false, TransportFailure(), TAPE_STATUS_DEVICE_NOT_CONNECTED}));

TEST_F(Runner, RecoveredErrorNeverEndsTheRequest)
{
    target.Push(Reply::Check(0x1, 0x5D, 0x00));
    const TAPE_STATUS status =
        Run([](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS, PULONG) {
            if (call == 0) {
                fake::Build6(srb, 0x01, 0);
                return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
            }
            return TAPE_STATUS_BUS_RESET;  // marks "the routine was called again"
        });
    ASSERT_EQ(entries().size(), 2u);
    EXPECT_EQ(entries()[1].lastStatus, TAPE_STATUS_SUCCESS);
    EXPECT_EQ(status, TAPE_STATUS_BUS_RESET);
}

// TapeError reads the sense from the request block, as far as the block's buffer holds it.
struct SenseLengthRow {
    uint8_t senseInfoLength;
    size_t delivered;
};
class SenseDelivery : public Runner, public ::testing::WithParamInterface<SenseLengthRow> {};

TEST_P(SenseDelivery, TapeErrorSeesWhatFits)
{
    Reply reply = Reply::Check(0x6, 0x3A, 0x00);
    reply.sense.resize(22, 0xEE);
    reply.sense[7] = 14;
    target.Push(reply);
    host::RunOptions options;
    options.senseInfoLength = GetParam().senseInfoLength;
    const TAPE_STATUS status = Run(
        [](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS, PULONG) {
            if (call == 0) {
                fake::Build6(srb, 0x01, 0);
                return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
            }
            return TAPE_STATUS_SUCCESS;
        },
        options);
    ASSERT_EQ(fake::state().tapeErrors.size(), 1u);
    const fake::TapeErrorSeen& seen = fake::state().tapeErrors[0];
    EXPECT_EQ(seen.status, TAPE_STATUS_BUS_RESET);
    ASSERT_EQ(seen.sense.size(), GetParam().delivered);
    EXPECT_THAT(seen.sense, ElementsAreArray(reply.sense.data(), GetParam().delivered));
    // Translation used everything the drive sent; the fake refines only with ASC delivered.
    EXPECT_EQ(status, GetParam().delivered > 13 ? TAPE_STATUS_NO_MEDIA : TAPE_STATUS_BUS_RESET);
}

INSTANTIATE_TEST_SUITE_P(Lengths, SenseDelivery,
                         ::testing::Values(SenseLengthRow{18, 18}, SenseLengthRow{255, 22},
                                           SenseLengthRow{8, 8}, SenseLengthRow{0, 0}));

TEST_F(Runner, EndsAfterMaxCallsWithDeviceError)
{
    host::RunOptions options;
    options.maxCalls = 5;
    const TAPE_STATUS status = Run(
        [](PVOID, PSCSI_REQUEST_BLOCK, ULONG, TAPE_STATUS, PULONG) { return TAPE_STATUS_CALLBACK; },
        options);
    EXPECT_EQ(status, TAPE_STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(entries().size(), 5u);
    ASSERT_FALSE(transcript.events().empty());
    EXPECT_EQ(transcript.events().back().kind, host::TranscriptEvent::Kind::Note);
}

TEST_F(Runner, MissingRoutineIsInvalidRequestWithoutAnyCall)
{
    fake::Reset();
    fake::state().registration.GetStatus = nullptr;
    ASSERT_TRUE(driver.Load(fake::Entry));
    device = host::Device::Discover(driver, target);
    ASSERT_TRUE(device);
    fake::state().entries.clear();
    target.Clear();
    EXPECT_EQ(device->Run(host::Request::GetStatus, nullptr), TAPE_STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(fake::state().entries.empty());
    EXPECT_TRUE(target.received().empty());
}

TEST_F(Runner, CommandExtensionIsZeroedPerRequestAndKeptAcrossCalls)
{
    auto step = [](PVOID commandExtension, PSCSI_REQUEST_BLOCK, ULONG call, TAPE_STATUS, PULONG) {
        static_cast<uint8_t*>(commandExtension)[call] = 0xA0 + call;
        return call < 2 ? TAPE_STATUS_CALLBACK : TAPE_STATUS_SUCCESS;
    };
    Run(step);
    ASSERT_EQ(entries().size(), 3u);
    EXPECT_THAT(entries()[0].commandExtension, ElementsAre(0, 0, 0, 0));
    EXPECT_THAT(entries()[2].commandExtension, ElementsAre(0xA0, 0xA1, 0, 0));
    Run(step);
    EXPECT_THAT(entries()[0].commandExtension, ElementsAre(0, 0, 0, 0));
}

// The answer stays in the buffer until the next allocation of the same request, which gives
// a fresh zeroed buffer; a new request starts without one.
TEST_F(Runner, BufferKeepsTheAnswerUntilTheNextAllocation)
{
    target.Push(Reply::Data({1, 2, 3, 4, 5, 6, 7, 8}));
    target.Push(Reply::Data({9, 9}));
    std::vector<std::vector<uint8_t>> seen;
    std::vector<PVOID> addresses;
    Run([&](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS, PULONG) {
        auto* data = static_cast<uint8_t*>(srb->DataBuffer);
        switch (call) {
        case 0:
            EXPECT_TRUE(TapeClassAllocateSrbBuffer(srb, 8));
            addresses.push_back(srb->DataBuffer);
            fake::Build6(srb, 0x08, 8);
            return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
        case 1:
            seen.emplace_back(data, data + 8);
            return TAPE_STATUS_CALLBACK;  // nothing allocated: the answer must still be there
        case 2: {
            seen.emplace_back(data, data + 8);
            EXPECT_TRUE(TapeClassAllocateSrbBuffer(srb, 4));
            addresses.push_back(srb->DataBuffer);
            const auto* fresh = static_cast<uint8_t*>(srb->DataBuffer);
            seen.emplace_back(fresh, fresh + 4);
            fake::Build6(srb, 0x08, 4);
            return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
        }
        default:
            seen.emplace_back(data, data + 4);
            return TAPE_STATUS_SUCCESS;
        }
    });
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_THAT(seen[0], ElementsAre(1, 2, 3, 4, 5, 6, 7, 8));
    EXPECT_THAT(seen[1], ElementsAre(1, 2, 3, 4, 5, 6, 7, 8));
    EXPECT_THAT(seen[2], ElementsAre(0, 0, 0, 0));
    // Two bytes arrived: the rest stays zero.
    EXPECT_THAT(seen[3], ElementsAre(9, 9, 0, 0));
    ASSERT_EQ(addresses.size(), 2u);
    EXPECT_NE(addresses[0], addresses[1]);
    EXPECT_EQ(entries()[3].dataBuffer, addresses[1]);

    Run([](PVOID, PSCSI_REQUEST_BLOCK, ULONG, TAPE_STATUS, PULONG) { return TAPE_STATUS_SUCCESS; });
    EXPECT_EQ(entries()[0].dataBuffer, nullptr);
}

// The chosen allocation fails, the others succeed; a failed one leaves the buffer in place.
class FailAllocation : public Runner, public ::testing::WithParamInterface<unsigned> {};

TEST_P(FailAllocation, FailsExactlyTheChosenOne)
{
    host::RunOptions options;
    options.failAllocation = GetParam();
    std::vector<bool> granted;
    std::vector<PVOID> buffers;
    Run(
        [&](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS, PULONG) {
            granted.push_back(TapeClassAllocateSrbBuffer(srb, 16 + call) == TRUE);
            buffers.push_back(srb->DataBuffer);
            return call < 2 ? TAPE_STATUS_CALLBACK : TAPE_STATUS_SUCCESS;
        },
        options);
    ASSERT_EQ(granted.size(), 3u);
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(granted[i], i + 1 != GetParam()) << "allocation " << i + 1;
    }
    if (GetParam() > 1) {
        EXPECT_EQ(buffers[GetParam() - 1], buffers[GetParam() - 2]);
    } else {
        EXPECT_EQ(buffers[0], nullptr);
    }
    std::vector<std::pair<ULONG, bool>> allocations;
    for (const auto& event : transcript.events()) {
        if (event.kind == host::TranscriptEvent::Kind::Allocation) {
            allocations.emplace_back(event.allocation.size, event.allocation.granted);
        }
    }
    ASSERT_EQ(allocations.size(), 3u);
    EXPECT_EQ(allocations[GetParam() - 1].first, 15u + GetParam());
    EXPECT_FALSE(allocations[GetParam() - 1].second);
}

INSTANTIATE_TEST_SUITE_P(Points, FailAllocation, ::testing::Values(1u, 2u, 3u));

// Underrun: the rest of the buffer stays zero, and it counts as an overrun only for a routine
// that asked for errors.
class Underrun : public Runner, public ::testing::WithParamInterface<bool> {};

TEST_P(Underrun, OverrunOnlyWithReturnErrors)
{
    target.Push(Reply::Data({0xAA, 0xBB, 0xCC}));
    const bool returnErrors = GetParam();
    std::vector<uint8_t> buffer;
    const TAPE_STATUS status =
        Run([&](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS, PULONG retry) {
            if (call == 0) {
                TapeClassAllocateSrbBuffer(srb, 6);
                fake::Build6(srb, 0x08, 6);
                *retry = returnErrors ? RETURN_ERRORS : 0;
                return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
            }
            const auto* data = static_cast<const uint8_t*>(srb->DataBuffer);
            buffer.assign(data, data + 6);
            return TAPE_STATUS_SUCCESS;
        });
    EXPECT_EQ(status, TAPE_STATUS_SUCCESS);
    ASSERT_EQ(entries().size(), 2u);
    EXPECT_EQ(entries()[1].lastStatus,
              returnErrors ? TAPE_STATUS_DATA_OVERRUN : TAPE_STATUS_SUCCESS);
    EXPECT_THAT(buffer, ElementsAre(0xAA, 0xBB, 0xCC, 0, 0, 0));
}

INSTANTIATE_TEST_SUITE_P(Flags, Underrun, ::testing::Bool());

// A target that breaks the rules gives a device error and touches nothing it should not.
struct MalformedRow {
    const char* name;
    Reply reply;
};
class Malformed : public Runner, public ::testing::WithParamInterface<MalformedRow> {};

TEST_P(Malformed, IsADeviceErrorAndCopiesNoData)
{
    target.Push(GetParam().reply);
    std::vector<uint8_t> buffer;
    const TAPE_STATUS status =
        Run([&](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS last, PULONG retry) {
            if (call == 0) {
                TapeClassAllocateSrbBuffer(srb, 4);
                fake::Build6(srb, 0x08, 4);
                *retry = RETURN_ERRORS;
                return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
            }
            const auto* data = static_cast<const uint8_t*>(srb->DataBuffer);
            buffer.assign(data, data + 4);
            return last;
        });
    EXPECT_EQ(status, TAPE_STATUS_IO_DEVICE_ERROR);
    EXPECT_TRUE(fake::state().tapeErrors.empty());
    EXPECT_THAT(buffer, ElementsAre(0, 0, 0, 0));
    bool noted = false;
    for (const auto& event : transcript.events()) {
        if (event.kind == host::TranscriptEvent::Kind::Answer) {
            noted = event.answer.malformed && !event.answer.note.empty();
        }
    }
    EXPECT_TRUE(noted);
}

Reply WithSense(std::vector<uint8_t> sense)
{
    Reply reply;
    reply.status = host::kScsiCheckCondition;
    reply.sense = std::move(sense);
    return reply;
}

Reply Overcounted()
{
    Reply reply = Reply::Data({1, 2, 3, 4});
    reply.transferred = 5;
    return reply;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Malformed,
    ::testing::Values(MalformedRow{"NoSense", WithSense({})},
                      MalformedRow{"TwoBytes", WithSense({0x70, 0x00})},
                      // Byte 7 says 10 more bytes; only 10 arrived in all.
                      MalformedRow{"ClaimsMore", WithSense({0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0})},
                      MalformedRow{"CountAboveLength", Overcounted()}),
    [](const ::testing::TestParamInfo<MalformedRow>& info) { return info.param.name; });

// A block that would let the target reach outside the request's buffer is never sent.
struct UnsafeRow {
    const char* name;
    ULONG allocate;  // 0: no buffer
    ULONG offset;    // DataBuffer moved this far into the buffer
    ULONG length;
    UCHAR cdbLength;
};
class UnsafeBlock : public Runner, public ::testing::WithParamInterface<UnsafeRow> {};

TEST_P(UnsafeBlock, IsNotSent)
{
    const UnsafeRow row = GetParam();
    const TAPE_STATUS status =
        Run([row](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS last, PULONG retry) {
            if (call == 0) {
                if (row.allocate != 0) {
                    TapeClassAllocateSrbBuffer(srb, row.allocate);
                    srb->DataBuffer = static_cast<uint8_t*>(srb->DataBuffer) + row.offset;
                }
                fake::Build6(srb, 0x08, row.length);
                srb->CdbLength = row.cdbLength;
                *retry = RETURN_ERRORS;
                return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
            }
            return last;
        });
    EXPECT_EQ(status, TAPE_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(target.received().empty());
}

INSTANTIATE_TEST_SUITE_P(Blocks, UnsafeBlock,
                         ::testing::Values(UnsafeRow{"LengthWithoutBuffer", 0, 0, 4, 6},
                                           UnsafeRow{"LengthAboveBuffer", 10, 0, 11, 6},
                                           UnsafeRow{"OffsetPastEnd", 10, 4, 7, 6},
                                           UnsafeRow{"HugeLength", 10, 0, 0xFFFFFFFFu, 6},
                                           UnsafeRow{"NoCdb", 10, 0, 4, 0},
                                           UnsafeRow{"CdbTooLong", 10, 0, 4, 17}),
                         [](const ::testing::TestParamInfo<UnsafeRow>& info) {
                             return info.param.name;
                         });

TEST_F(Runner, DataOutSendsTheBufferBytes)
{
    Run([](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS, PULONG) {
        if (call == 0) {
            TapeClassAllocateSrbBuffer(srb, 4);
            auto* data = static_cast<uint8_t*>(srb->DataBuffer);
            data[0] = 0x00;
            data[1] = 0x10;
            data[3] = 0x7F;
            fake::Build6(srb, 0x15, 4);
            srb->SrbFlags |= SRB_FLAGS_DATA_OUT;
            return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
        }
        return TAPE_STATUS_SUCCESS;
    });
    ASSERT_EQ(target.received().size(), 1u);
    EXPECT_EQ(target.received()[0].direction, host::Direction::Out);
    EXPECT_THAT(target.received()[0].dataOut, ElementsAre(0x00, 0x10, 0x00, 0x7F));
}

// Discovery: inquiry, the driver's verdict, and an extension only for a claimed device.
TEST(Discovery, ClaimedDeviceGetsAnInitialisedExtension)
{
    fake::Reset();
    fake::state().registration.MinitapeExtensionSize = 12;
    host::ClassDriver driver;
    ASSERT_TRUE(driver.Load(fake::Entry));
    host::ScriptedTarget target;
    target.inquiry = host::ScriptedTarget::InquiryData("VENDOR", "PRODUCT");
    const auto device = host::Device::Discover(driver, target);
    ASSERT_TRUE(device);
    ASSERT_EQ(target.received().size(), 1u);
    EXPECT_THAT(target.received()[0].cdb, ElementsAre(0x12, 0, 0, 0, 96, 0));
    EXPECT_EQ(target.received()[0].dataLength, 96u);
    EXPECT_THAT(device->extension(), ElementsAre(0x0D, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(fake::state().extensionInitCalls, 1u);
    const std::vector<uint8_t>& seen = fake::state().inquirySeen;
    ASSERT_EQ(seen.size(), 96u);
    EXPECT_EQ(std::string(seen.begin() + 8, seen.begin() + 16), "VENDOR  ");
    EXPECT_EQ(std::string(seen.begin() + 16, seen.begin() + 32), "PRODUCT         ");
    // Only 36 bytes arrived: the rest of the record is zero.
    EXPECT_EQ(std::count(seen.begin() + 36, seen.end(), 0), 60);
}

TEST(Discovery, InquiryLongerThanTheRecordIsNotCopiedPastIt)
{
    fake::Reset();
    host::ClassDriver driver;
    ASSERT_TRUE(driver.Load(fake::Entry));
    host::ScriptedTarget target;
    Reply reply = Reply::Data(std::vector<uint8_t>(200, 0x41));
    target.Push(reply);
    const auto device = host::Device::Discover(driver, target);
    ASSERT_TRUE(device);
    EXPECT_EQ(fake::state().inquirySeen, std::vector<uint8_t>(96, 0x41));
}

struct RefusalRow {
    const char* name;
    bool claim;
    std::optional<Reply> reply;
    unsigned verifyCalls;
};
class DiscoveryRefusal : public ::testing::TestWithParam<RefusalRow> {};

TEST_P(DiscoveryRefusal, GetsNoExtensionAndNoRequest)
{
    fake::Reset();
    fake::state().claim = GetParam().claim;
    host::ClassDriver driver;
    ASSERT_TRUE(driver.Load(fake::Entry));
    host::ScriptedTarget target;
    target.inquiry = host::ScriptedTarget::InquiryData("OTHER", "DRIVE");
    if (GetParam().reply) {
        target.Push(*GetParam().reply);
    }
    host::Transcript transcript;
    EXPECT_FALSE(host::Device::Discover(driver, target, &transcript));
    EXPECT_EQ(fake::state().verifyCalls, GetParam().verifyCalls);
    EXPECT_EQ(fake::state().extensionInitCalls, 0u);
    EXPECT_EQ(transcript.events().back().kind, host::TranscriptEvent::Kind::Note);
}

Reply Overcounted96()
{
    Reply reply = Reply::Data(std::vector<uint8_t>(36, 1));
    reply.transferred = 97;
    return reply;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiscoveryRefusal,
    ::testing::Values(RefusalRow{"NotClaimed", false, std::nullopt, 1},
                      RefusalRow{"InquiryFailed", true, Reply::Check(0x4, 0x44, 0x00), 0},
                      RefusalRow{"InquiryOvercounted", true, Overcounted96(), 0},
                      RefusalRow{"NoAnswer", true, TransportFailure(), 0}),
    [](const ::testing::TestParamInfo<RefusalRow>& info) { return info.param.name; });

TEST(Registration, LoadKeepsTheRecordAndTheEntryStatus)
{
    fake::Reset();
    host::ClassDriver driver;
    ASSERT_TRUE(driver.Load(fake::Entry));
    EXPECT_EQ(driver.entryStatus(), 0u);
    EXPECT_EQ(driver.init().DefaultTimeOutValue, 360u);
    EXPECT_EQ(driver.init().CommandExtensionSize, 4u);
    // The sink is gone once the entry returned.
    TAPE_INIT_DATA data{};
    EXPECT_NE(TapeClassInitialize(nullptr, nullptr, &data), 0u);
}

TEST(Registration, EntryThatFailsOrDoesNotRegisterIsNotLoaded)
{
    fake::Reset();
    fake::state().entryResult = 0xC0000001u;
    host::ClassDriver failing;
    EXPECT_FALSE(failing.Load(fake::Entry));
    EXPECT_EQ(failing.entryStatus(), 0xC0000001u);

    fake::Reset();
    fake::state().entryRegisters = false;
    host::ClassDriver silent;
    EXPECT_FALSE(silent.Load(fake::Entry));

    host::ScriptedTarget target;
    EXPECT_FALSE(host::Device::Discover(silent, target));
    EXPECT_TRUE(target.received().empty());
}

}  // namespace
