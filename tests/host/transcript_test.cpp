// The transcript of one request as text and JSON, the decoders behind it, and the scripted
// target that tests drive it with.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "fake_driver.h"
#include "host/classdriver.h"
#include "host/scripted_target.h"
#include "host/transcript.h"

namespace {

using host::Reply;
using ::testing::ElementsAre;

// Readiness check, a SPACE that meets the beginning of the tape, then READ POSITION.
host::Transcript OneRequest()
{
    fake::Reset();
    host::ClassDriver driver;
    EXPECT_TRUE(driver.Load(fake::Entry));
    host::ScriptedTarget target;
    target.inquiry = host::ScriptedTarget::InquiryData("FAKE", "DRIVE");
    auto device = host::Device::Discover(driver, target);
    EXPECT_TRUE(device);
    target.Push(Reply::Good());
    target.Push(Reply::Check(0x0, 0x00, 0x04, 0x40, 1));
    target.Push(Reply::Data({0x80, 0x00, 0x00, 0x00}));
    fake::state().step = [](PVOID, PSCSI_REQUEST_BLOCK srb, ULONG call, TAPE_STATUS, PULONG retry) {
        switch (call) {
        case 0:
            return TAPE_STATUS_CHECK_TEST_UNIT_READY;
        case 1:
            fake::Build6(srb, 0x11, 0);
            srb->Cdb[1] = 0x01;
            srb->Cdb[2] = srb->Cdb[3] = srb->Cdb[4] = 0xFF;
            srb->TimeOutValue = 480;
            *retry = RETURN_ERRORS;
            return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
        case 2:
            TapeClassAllocateSrbBuffer(srb, 4);
            fake::Build6(srb, 0x34, 4);
            srb->CdbLength = 10;
            return TAPE_STATUS_SEND_SRB_AND_CALLBACK;
        default:
            return TAPE_STATUS_SUCCESS;
        }
    };
    host::Transcript transcript;
    TAPE_GET_POSITION record{};
    EXPECT_EQ(device->Run(host::Request::GetPosition, &record, &transcript), TAPE_STATUS_SUCCESS);
    return transcript;
}

TEST(Transcript, TextHasOneLinePerEvent)
{
    EXPECT_EQ(
        OneRequest().Text(),
        "request GetPosition\n"
        "call 0: last TAPE_STATUS_SUCCESS -> TAPE_STATUS_CHECK_TEST_UNIT_READY, retry flags "
        "0x00000000\n"
        "ready check: 00 00 00 00 00 00  TEST UNIT READY; timeout 360 s, flags 0x00000040, "
        "length 0, data none\n"
        "answer: GOOD (0x00), transferred 0 => TAPE_STATUS_SUCCESS\n"
        "call 1: last TAPE_STATUS_SUCCESS -> TAPE_STATUS_SEND_SRB_AND_CALLBACK, retry flags "
        "0x00020000\n"
        "command: 11 01 FF FF FF 00  SPACE (filemarks, count -1); timeout 480 s, flags "
        "0x00000040, length 0, data none\n"
        "answer: CHECK CONDITION (0x02), transferred 0, sense F0 00 40 00 00 00 01 0A 00 00 00 "
        "00 00 04 00 00 00 00 (NO SENSE, 00/04 beginning-of-partition/medium detected, EOM, "
        "information 1)"
        " => TAPE_STATUS_BEGINNING_OF_MEDIA\n"
        "call 2: last TAPE_STATUS_BEGINNING_OF_MEDIA -> TAPE_STATUS_SEND_SRB_AND_CALLBACK, "
        "retry flags 0x00000000\n"
        "allocate 4 bytes: granted\n"
        "command: 34 00 00 00 00 00 00 00 00 00  READ POSITION; timeout 360 s, flags "
        "0x00000040, length 4, data in\n"
        "answer: GOOD (0x00), transferred 4, in: 80 00 00 00 => TAPE_STATUS_SUCCESS\n"
        "call 3: last TAPE_STATUS_SUCCESS -> TAPE_STATUS_SUCCESS, retry flags 0x00000000\n"
        "end: TAPE_STATUS_SUCCESS (the request succeeded)\n");
}

TEST(Transcript, JsonCarriesTheSameEvents)
{
    const nlohmann::json json = OneRequest().Json();
    EXPECT_EQ(json["request"], "GetPosition");
    EXPECT_EQ(json["final"]["name"], "TAPE_STATUS_SUCCESS");
    EXPECT_EQ(json["final"]["value"], 3);
    const nlohmann::json& events = json["events"];
    ASSERT_EQ(events.size(), 11u);
    EXPECT_EQ(events[0]["kind"], "call");
    EXPECT_EQ(events[0]["returned"]["value"], 2);
    EXPECT_EQ(events[1]["kind"], "command");
    EXPECT_EQ(events[1]["readinessCheck"], true);
    EXPECT_EQ(events[3]["retryFlags"], "0x00020000");
    EXPECT_EQ(events[4]["cdb"], "11 01 FF FF FF 00");
    EXPECT_EQ(events[4]["name"], "SPACE (filemarks, count -1)");
    EXPECT_EQ(events[4]["timeoutSeconds"], 480);
    EXPECT_EQ(events[4]["direction"], "none");
    EXPECT_EQ(events[5]["kind"], "answer");
    EXPECT_EQ(events[5]["scsiStatus"], "0x02");
    EXPECT_EQ(events[5]["sense"], "F0 00 40 00 00 00 01 0A 00 00 00 00 00 04 00 00 00 00");
    EXPECT_EQ(events[5]["translated"]["name"], "TAPE_STATUS_BEGINNING_OF_MEDIA");
    EXPECT_EQ(events[5]["refined"]["value"], 12);
    EXPECT_EQ(events[7]["kind"], "allocation");
    EXPECT_EQ(events[7]["size"], 4);
    EXPECT_EQ(events[7]["granted"], true);
    EXPECT_EQ(events[8]["dataTransferLength"], 4);
    EXPECT_EQ(events[8]["direction"], "in");
    EXPECT_EQ(events[9]["dataIn"], "80 00 00 00");
    EXPECT_EQ(events[9]["malformed"], false);
}

struct NameRow {
    std::vector<uint8_t> cdb;
    const char* name;
};
class CommandName : public ::testing::TestWithParam<NameRow> {};

TEST_P(CommandName, DecodesTheBlock)
{
    EXPECT_EQ(host::CommandName(GetParam().cdb), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, CommandName,
    ::testing::Values(
        NameRow{{0x00, 0, 0, 0, 0, 0}, "TEST UNIT READY"}, NameRow{{0x01, 1, 0, 0, 0, 0}, "REWIND"},
        NameRow{{0x2B, 0x02, 0, 0, 0, 0, 5, 0, 1, 0}, "LOCATE(10)"},
        NameRow{{0x11, 0x01, 0xFF, 0xFF, 0xFF, 0}, "SPACE (filemarks, count -1)"},
        NameRow{{0x11, 0x03, 0, 0, 0, 0}, "SPACE (end of data, count 0)"},
        NameRow{{0x11, 0x00, 0x00, 0x01, 0x00, 0}, "SPACE (blocks, count 256)"},
        NameRow{{0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "READ POSITION"},
        NameRow{{0x1B, 0, 0, 0, 0x01, 0}, "LOAD UNLOAD (load)"},
        NameRow{{0x1B, 0, 0, 0, 0x00, 0}, "LOAD UNLOAD (unload)"},
        NameRow{{0x1E, 0, 0, 0, 0x01, 0}, "PREVENT ALLOW MEDIUM REMOVAL (prevent)"},
        NameRow{{0x19, 0x01, 0, 0, 0, 0}, "ERASE (long)"},
        NameRow{{0x10, 0, 0, 0, 2, 0}, "WRITE FILEMARKS (filemarks, count 2)"},
        NameRow{{0x10, 2, 0, 0, 1, 0}, "WRITE FILEMARKS (setmarks, count 1)"},
        NameRow{{0x1A, 0x08, 0x10, 0, 0x12, 0}, "MODE SENSE(6) page 0x10 (device configuration)"},
        NameRow{{0x1A, 0x00, 0x91, 0, 0xFF, 0}, "MODE SENSE(6) page 0x11 (medium partition)"},
        NameRow{{0x15, 0x10, 0, 0, 0x10, 0}, "MODE SELECT(6)"},
        NameRow{{0x05, 0, 0, 0, 0, 0}, "READ BLOCK LIMITS"},
        NameRow{{0x4D, 0, 0x71, 0, 0, 0, 0, 0, 0x20, 0}, "LOG SENSE page 0x31"},
        NameRow{{0x08, 0, 0, 0, 0, 0}, "READ(6)"}, NameRow{{0x0A, 0, 0, 0, 0, 0}, "WRITE(6)"},
        NameRow{{0x03, 0, 0, 0, 18, 0}, "REQUEST SENSE"},
        NameRow{{0xC1, 0, 0, 0, 0, 0}, "opcode 0xC1"}, NameRow{{}, "no command"}));

TEST(DescribeSense, PutsKeyCodesBitsAndInformationIntoWords)
{
    EXPECT_EQ(host::DescribeSense(Reply::Check(0x0, 0x00, 0x01, 0x80, -2).sense),
              "NO SENSE, 00/01 filemark detected, FILEMARK, information -2");
    EXPECT_EQ(host::DescribeSense(Reply::Check(0x2, 0x3A, 0x00).sense),
              "NOT READY, 3A/00 medium not present");
    EXPECT_EQ(host::DescribeSense(Reply::Check(0x5, 0x99, 0x01, 0x20).sense),
              "ILLEGAL REQUEST, 99/01, ILI");
    EXPECT_EQ(host::DescribeSense({0x70, 0x00}), "sense too short (2 bytes)");
    EXPECT_EQ(host::DescribeSense({0x72, 0x02, 0x3A, 0x00}),
              "sense in an unknown format (response code 0x72)");
}

TEST(TapeStatusName, NamesEveryPlatformStatus)
{
    EXPECT_STREQ(host::TapeStatusName(TAPE_STATUS_SEND_SRB_AND_CALLBACK),
                 "TAPE_STATUS_SEND_SRB_AND_CALLBACK");
    EXPECT_STREQ(host::TapeStatusName(TAPE_STATUS_NO_MEDIA), "TAPE_STATUS_NO_MEDIA");
    EXPECT_STREQ(host::TapeStatusName(TAPE_STATUS_CLEANER_CARTRIDGE_INSTALLED),
                 "TAPE_STATUS_CLEANER_CARTRIDGE_INSTALLED");
    EXPECT_STREQ(host::TapeStatusName(static_cast<TAPE_STATUS>(31)), "TAPE_STATUS_UNKNOWN");
}

TEST(ScriptedTarget, CheckBuildsFixedFormatSense)
{
    EXPECT_THAT(
        Reply::Check(0xD, 0x00, 0x02, 0x40, -1).sense,
        ElementsAre(0xF0, 0, 0x4D, 0xFF, 0xFF, 0xFF, 0xFF, 10, 0, 0, 0, 0, 0x00, 0x02, 0, 0, 0, 0));
    EXPECT_THAT(Reply::Check(0x2, 0x3A, 0x00).sense,
                ElementsAre(0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x00, 0, 0, 0, 0));
    EXPECT_EQ(Reply::Check(0x2, 0x3A, 0x00).status, 0x02);
}

TEST(ScriptedTarget, RepliesInOrderThenDefaults)
{
    host::ScriptedTarget target;
    target.inquiry = {0x01, 0x80, 0x02};
    target.Push(Reply::Check(0x6, 0x29, 0x00));
    target.Push(Reply::Data({1, 2, 3, 4, 5}));
    uint8_t buffer[4] = {};
    const uint8_t tur[6] = {0, 0, 0, 0, 0, 0};
    const uint8_t inquiry[6] = {0x12, 0, 0, 0, 4, 0};
    host::ScsiCommand command{tur, 6, host::Direction::None, nullptr, 0, 360};

    EXPECT_EQ(target.Execute(command).status, 0x02);
    host::ScsiCommand read{inquiry, 6, host::Direction::In, buffer, 4, 360};
    const host::ScsiAnswer data = target.Execute(read);
    EXPECT_EQ(data.transferred, 4u);  // no more than the buffer holds
    EXPECT_THAT(buffer, ElementsAre(1, 2, 3, 4));
    // Queue empty: INQUIRY answers the inquiry bytes, anything else GOOD with nothing moved.
    const host::ScsiAnswer answer = target.Execute(read);
    EXPECT_EQ(answer.transferred, 3u);
    EXPECT_THAT(buffer, ElementsAre(0x01, 0x80, 0x02, 4));
    const host::ScsiAnswer good = target.Execute(command);
    EXPECT_EQ(good.status, 0x00);
    EXPECT_EQ(good.transferred, 0u);
    ASSERT_EQ(target.received().size(), 4u);
    EXPECT_EQ(target.received()[1].dataLength, 4u);
    EXPECT_EQ(target.pending(), 0u);
}

}  // namespace
