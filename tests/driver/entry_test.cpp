// Registration, drive identification and the per-device record.
#include "tests/driver/support.h"

namespace {

using namespace drvtest;

TEST(DriverEntry, RegistersEveryRoutineWithTheDrivesDefaults)
{
    host::ClassDriver d;
    ASSERT_TRUE(d.Load(&DriverEntry));
    const TAPE_INIT_DATA& init = d.init();
    EXPECT_EQ(init.VerifyInquiry, &VerifyInquiry);
    EXPECT_EQ(init.QueryModeCapabilitiesPage, 0);
    EXPECT_EQ(init.MinitapeExtensionSize, 8u);
    EXPECT_EQ(init.ExtensionInit, &ExtensionInit);
    EXPECT_EQ(init.DefaultTimeOutValue, 360u);
    EXPECT_EQ(init.TapeError, &TapeError);
    EXPECT_EQ(init.CommandExtensionSize, 4u);
    EXPECT_EQ(init.CreatePartition, &CreatePartition);
    EXPECT_EQ(init.Erase, &Erase);
    EXPECT_EQ(init.GetDriveParameters, &GetDriveParameters);
    EXPECT_EQ(init.GetMediaParameters, &GetMediaParameters);
    EXPECT_EQ(init.GetPosition, &GetPosition);
    EXPECT_EQ(init.GetStatus, &GetStatus);
    EXPECT_EQ(init.Prepare, &Prepare);
    EXPECT_EQ(init.SetDriveParameters, &SetDriveParameters);
    EXPECT_EQ(init.SetMediaParameters, &SetMediaParameters);
    EXPECT_EQ(init.SetPosition, &SetPosition);
    EXPECT_EQ(init.WriteMarks, &WriteMarks);
    EXPECT_EQ(init.PreProcessReadWrite, nullptr);
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
