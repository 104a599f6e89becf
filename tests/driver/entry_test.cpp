// Registration, drive identification and the per-device record.
#include "tests/driver/support.h"

namespace {

using namespace drvtest;

// One record of each request, each asking for something the drive does.
struct Records {
    TAPE_CREATE_PARTITION create{TAPE_INITIATOR_PARTITIONS, 0, 0};
    TAPE_ERASE erase{TAPE_ERASE_LONG, 0};
    TAPE_GET_DRIVE_PARAMETERS getDrive{};
    TAPE_GET_MEDIA_PARAMETERS getMedia{};
    TAPE_GET_POSITION getPosition{TAPE_LOGICAL_POSITION, 0, {}};
    TAPE_PREPARE prepare{TAPE_LOAD, 0};
    TAPE_SET_DRIVE_PARAMETERS setDrive{};
    TAPE_SET_MEDIA_PARAMETERS setMedia{512};
    TAPE_SET_POSITION setPosition{TAPE_REWIND, 0, {}, 0};
    TAPE_WRITE_MARKS marks{TAPE_FILEMARKS, 1, 0};
};

// Each request, run through what the entry registered, reaches the routine that serves it:
// the first command it sends is that routine's, with that routine's time-out, and the class
// driver's readiness check carries the default time-out the entry registered.
struct RegisteredRow {
    const char* name;
    host::Request request;
    void* (*record)(Records&);
    uint8_t firstOpcode;  // first command after the class driver's readiness check
    uint32_t timeout;
};

class DriverEntryRegistration : public HostFixture,
                                public ::testing::WithParamInterface<RegisteredRow> {};

TEST_P(DriverEntryRegistration, RequestReachesItsOwnRoutine)
{
    const RegisteredRow& row = GetParam();
    Records records;
    Run(row.request, row.record(records));

    const auto sent = transcript.Commands(false);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front().cdb.at(0), row.firstOpcode);
    EXPECT_EQ(sent.front().timeoutSeconds, row.timeout);
    for (const auto& command : transcript.Commands(true)) {
        if (command.readinessCheck) {
            EXPECT_EQ(command.timeoutSeconds, 360u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, DriverEntryRegistration,
    ::testing::Values(RegisteredRow{"CreatePartition", host::Request::CreatePartition,
                                    [](Records& r) -> void* { return &r.create; }, 0x1A, 360},
                      RegisteredRow{"Erase", host::Request::Erase,
                                    [](Records& r) -> void* { return &r.erase; }, 0x19, 16500},
                      RegisteredRow{"GetDriveParameters", host::Request::GetDriveParameters,
                                    [](Records& r) -> void* { return &r.getDrive; }, 0x1A, 360},
                      RegisteredRow{"GetMediaParameters", host::Request::GetMediaParameters,
                                    [](Records& r) -> void* { return &r.getMedia; }, 0x1A, 360},
                      RegisteredRow{"GetPosition", host::Request::GetPosition,
                                    [](Records& r) -> void* { return &r.getPosition; }, 0x34, 360},
                      RegisteredRow{"Prepare", host::Request::Prepare,
                                    [](Records& r) -> void* { return &r.prepare; }, 0x1B, 390},
                      RegisteredRow{"SetDriveParameters", host::Request::SetDriveParameters,
                                    [](Records& r) -> void* { return &r.setDrive; }, 0x1A, 360},
                      RegisteredRow{"SetMediaParameters", host::Request::SetMediaParameters,
                                    [](Records& r) -> void* { return &r.setMedia; }, 0x15, 360},
                      RegisteredRow{"SetPosition", host::Request::SetPosition,
                                    [](Records& r) -> void* { return &r.setPosition; }, 0x01, 360},
                      RegisteredRow{"WriteMarks", host::Request::WriteMarks,
                                    [](Records& r) -> void* { return &r.marks; }, 0x10, 360}),
    [](const ::testing::TestParamInfo<RegisteredRow>& info) {
        return std::string(info.param.name);
    });

// GetStatus sends nothing of its own: the readiness check is its whole answer.
TEST_F(HostFixture, GetStatusAnswersWithTheReadinessCheck)
{
    Check(0x02, 0x3A, 0x00);
    EXPECT_EQ(Run(host::Request::GetStatus, nullptr), TAPE_STATUS_NO_MEDIA);
    const auto sent = transcript.Commands(true);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent.front().readinessCheck);
}

TEST(DriverEntry, ReturnsWhatTheClassDriverReports)
{
    TAPE_INIT_DATA seen{};
    host::SetRegistrationSink([&seen](const TAPE_INIT_DATA& data) -> ULONG {
        seen = data;
        return 0xC0000010u;
    });
    int object = 0;
    int path = 0;
    const ULONG status = DriverEntry(&object, &path);
    host::SetRegistrationSink(nullptr);
    EXPECT_EQ(status, 0xC0000010u);
    EXPECT_EQ(seen.MinitapeExtensionSize, 8u);
    EXPECT_EQ(seen.SetPosition, &SetPosition);
}

struct IdRow {
    const char* name;
    std::array<uint8_t, 8> vendor;
    std::array<uint8_t, 16> product;
    bool claimed;
};

std::array<uint8_t, 8> V(const char (&s)[9])
{
    std::array<uint8_t, 8> a{};
    std::memcpy(a.data(), s, 8);
    return a;
}
std::array<uint8_t, 16> P(const char (&s)[17])
{
    std::array<uint8_t, 16> a{};
    std::memcpy(a.data(), s, 16);
    return a;
}

class Identification : public ::testing::TestWithParam<IdRow> {};

TEST_P(Identification, ClaimsOnlyTheQt7310)
{
    const IdRow& row = GetParam();
    INQUIRYDATA inquiry{};
    std::memcpy(inquiry.VendorId, row.vendor.data(), 8);
    std::memcpy(inquiry.ProductId, row.product.data(), 16);
    EXPECT_EQ(VerifyInquiry(&inquiry, nullptr) != 0, row.claimed);

    MINITAPE_EXTENSION ext{0xFFFFFFFFu, 0xFFFFFFFFu};
    if (row.claimed) {
        ExtensionInit(&ext, &inquiry, nullptr);
        EXPECT_EQ(ext.DriveType, 13u);
        EXPECT_EQ(ext.CurrentPartition, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inquiry, Identification,
    ::testing::Values(IdRow{"exact", V("VELM    "), P("QT-7310         "), true},
                      IdRow{"productTailAnything", V("VELM    "), P("QT-7310XYZ\xff\x01rev9"),
                            true},
                      IdRow{"productTailNul", V("VELM    "), P("QT-7310\0\0\0\0\0\0\0\0\0"), true},
                      IdRow{"vendorTailNul", V("VELM\0\0\0\0"), P("QT-7310         "), false},
                      IdRow{"vendorTailLetter", V("VELMX   "), P("QT-7310         "), false},
                      IdRow{"vendorLastByte", V("VELM   X"), P("QT-7310         "), false},
                      IdRow{"vendorLowerCase", V("velm    "), P("QT-7310         "), false},
                      IdRow{"vendorShifted", V(" VELM   "), P("QT-7310         "), false},
                      IdRow{"otherVendor", V("XELM    "), P("QT-7310         "), false},
                      IdRow{"productSevenOff", V("VELM    "), P("QT-7311         "), false},
                      IdRow{"productFirstOff", V("VELM    "), P("qT-7310         "), false},
                      IdRow{"productShort", V("VELM    "), P("QT-731          "), false},
                      IdRow{"productDash", V("VELM    "), P("QT 7310         "), false},
                      IdRow{"blank", V("        "), P("                "), false}),
    [](const ::testing::TestParamInfo<IdRow>& info) { return std::string(info.param.name); });

TEST(ExtensionInit, GivesDriveType13AndNoPartition)
{
    INQUIRYDATA inquiry{};
    std::memcpy(inquiry.VendorId, "VELM    ", 8);
    std::memcpy(inquiry.ProductId, "QT-7310         ", 16);
    MINITAPE_EXTENSION ext{7u, 5u};
    ExtensionInit(&ext, &inquiry, nullptr);
    EXPECT_EQ(ext.DriveType, 13u);
    EXPECT_EQ(ext.CurrentPartition, 0u);
}

TEST(Discover, ClaimedDeviceGetsAnEightByteExtensionOfType13)
{
    host::ClassDriver d;
    ASSERT_TRUE(d.Load(&DriverEntry));
    host::ScriptedTarget t;
    t.inquiry = host::ScriptedTarget::InquiryData("VELM    ", "QT-7310 rev B   ");
    auto dev = host::Device::Discover(d, t);
    ASSERT_TRUE(dev.has_value());
    EXPECT_THAT(dev->extension(), ::testing::ElementsAre(13, 0, 0, 0, 0, 0, 0, 0));
}

TEST(Discover, UnclaimedDeviceGivesNothing)
{
    host::ClassDriver d;
    ASSERT_TRUE(d.Load(&DriverEntry));
    for (const char* vendor : {"VELM TEC", "VELMDAT ", "ACME    "}) {
        host::ScriptedTarget t;
        t.inquiry = host::ScriptedTarget::InquiryData(vendor, "QT-7310         ");
        EXPECT_FALSE(host::Device::Discover(d, t).has_value()) << vendor;
    }
    host::ScriptedTarget t;
    t.inquiry = host::ScriptedTarget::InquiryData("VELM    ", "QT-7300         ");
    EXPECT_FALSE(host::Device::Discover(d, t).has_value());
}

}  // namespace
