// VELMDAT.SYS mapped into a 32-bit process: where it lands, what it registers, and the files
// the mapper must refuse before anything in them runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/velmdat.h"
#include "host/classdriver.h"
#include "image/loader/peimage.h"
#include "image/loader/shim.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ImageFile()
{
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(peimage::ReadFile(velmdat_image::ImagePath(), bytes, error)) << error;
    return bytes;
}

uint32_t Get32(const Bytes& b, size_t at)
{
    return uint32_t(b.at(at)) | (uint32_t(b.at(at + 1)) << 8) | (uint32_t(b.at(at + 2)) << 16) |
           (uint32_t(b.at(at + 3)) << 24);
}
void Put32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
    }
}

TEST(LoadedImage, IsRelocatedAwayFromItsPreferredBaseAndBound)
{
    const peimage::LoadedImage& image = velmdat_image::Image();
    EXPECT_EQ(image.preferredBase(), 0x10000u);
    EXPECT_NE(image.delta(), 0u) << "mapped at the preferred base: relocations untested";
    EXPECT_GT(image.relocationsApplied(), 0u);
    EXPECT_EQ(image.importsBound(), 4u);
}

TEST(LoadedImage, RegistersWhatTheClassDriverExpects)
{
    const TAPE_INIT_DATA& init = velmdat_image::Registration();
    const peimage::LoadedImage& image = velmdat_image::Image();
    EXPECT_EQ(init.QueryModeCapabilitiesPage, 0);
    EXPECT_EQ(init.MinitapeExtensionSize, 8u);
    EXPECT_EQ(init.CommandExtensionSize, 4u);
    EXPECT_EQ(init.DefaultTimeOutValue, 360u);
    EXPECT_EQ(init.PreProcessReadWrite, nullptr);
    const std::vector<std::pair<const char*, const void*>> routines = {
        {"VerifyInquiry", reinterpret_cast<const void*>(init.VerifyInquiry)},
        {"ExtensionInit", reinterpret_cast<const void*>(init.ExtensionInit)},
        {"TapeError", reinterpret_cast<const void*>(init.TapeError)},
        {"CreatePartition", reinterpret_cast<const void*>(init.CreatePartition)},
        {"Erase", reinterpret_cast<const void*>(init.Erase)},
        {"GetDriveParameters", reinterpret_cast<const void*>(init.GetDriveParameters)},
        {"GetMediaParameters", reinterpret_cast<const void*>(init.GetMediaParameters)},
        {"GetPosition", reinterpret_cast<const void*>(init.GetPosition)},
        {"GetStatus", reinterpret_cast<const void*>(init.GetStatus)},
        {"Prepare", reinterpret_cast<const void*>(init.Prepare)},
        {"SetDriveParameters", reinterpret_cast<const void*>(init.SetDriveParameters)},
        {"SetMediaParameters", reinterpret_cast<const void*>(init.SetMediaParameters)},
        {"SetPosition", reinterpret_cast<const void*>(init.SetPosition)},
        {"WriteMarks", reinterpret_cast<const void*>(init.WriteMarks)},
    };
    std::vector<const void*> seen;
    for (const auto& [name, address] : routines) {
        EXPECT_TRUE(image.InCode(address)) << name << " does not point into the image's code";
        EXPECT_EQ(std::count(seen.begin(), seen.end(), address), 0) << name << " shared";
        seen.push_back(address);
    }
}

// The class driver stand-in receives the image's own registration through the bound import.
TEST(LoadedImage, EntryRegistersThroughTheBoundImport)
{
    host::ClassDriver driver;
    ASSERT_TRUE(driver.Load(&DriverEntry));
    EXPECT_EQ(driver.init().Erase, velmdat_image::Registration().Erase);
    EXPECT_EQ(driver.init().VerifyInquiry, velmdat_image::Registration().VerifyInquiry);
    EXPECT_TRUE(
        velmdat_image::Image().InCode(reinterpret_cast<const void*>(driver.init().SetPosition)));
}

TEST(LoadedImage, HoldsTheIdentificationString)
{
    const peimage::LoadedImage& image = velmdat_image::Image();
    const char prefix[] = "19970812-0001";
    const uint8_t* const begin = image.base();
    const uint8_t* const end = begin + image.size();
    bool found = false;
    for (const peimage::MappedSection& s : image.sections()) {
        if (s.name == ".rsrc" || s.name == ".text") {
            continue;
        }
        const uint8_t* from = begin + s.rva;
        const uint8_t* to = std::min(end, from + s.size);
        found = found || std::search(from, to, prefix, prefix + sizeof(prefix) - 1) != to;
    }
    EXPECT_TRUE(found);
}

struct Refusal {
    const char* name;
    void (*damage)(Bytes&);
    const char* reason;  // part of the message
};

void PrintTo(const Refusal& refusal, std::ostream* os)
{
    *os << refusal.name;
}

class LoaderRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(LoaderRefuses, WithAReason)
{
    Bytes file = ImageFile();
    GetParam().damage(file);
    std::string error;
    const auto image = peimage::LoadedImage::Map(file, velmdat_image::ResolveTapeImport, error);
    EXPECT_EQ(image, nullptr);
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

size_t Pe(const Bytes& b)
{
    return Get32(b, 0x3C);
}
size_t Section(const Bytes& b, int index)
{
    return Pe(b) + 24 + 224 + 40 * size_t(index);
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoaderRefuses,
    ::testing::Values(
        Refusal{"Empty", [](Bytes& b) { b.clear(); }, "outside the file"},
        Refusal{"Text",
                [](Bytes& b) {
                    b.assign({'h', 'e', 'l', 'l', 'o', '\n'});
                },
                "not a PE file"},
        Refusal{"HeadersOnly", [](Bytes& b) { b.resize(0x400); }, "outside the file"},
        Refusal{"LastSectionCut", [](Bytes& b) { b.resize(b.size() - 1); }, "outside the file"},
        Refusal{"Amd64",
                [](Bytes& b) {
                    b.at(Pe(b) + 4) = 0x64;
                    b.at(Pe(b) + 5) = 0x86;
                },
                "not an i386 image"},
        Refusal{"Pe32Plus",
                [](Bytes& b) {
                    b.at(Pe(b) + 24) = 0x0B;
                    b.at(Pe(b) + 25) = 0x02;
                },
                "not a PE32 image"},
        Refusal{"SectionBeyondImage", [](Bytes& b) { Put32(b, Section(b, 1) + 12, 0x7FFF0000); },
                "outside the image"},
        Refusal{"SectionDataBeyondFile", [](Bytes& b) { Put32(b, Section(b, 1) + 20, 0x00FFFFF0); },
                "outside the file"},
        Refusal{"SectionsOverlap",
                [](Bytes& b) { Put32(b, Section(b, 1) + 12, Get32(b, Section(b, 0) + 12)); },
                "overlap"},
        Refusal{"EntryInHeaders", [](Bytes& b) { Put32(b, Pe(b) + 24 + 16, 0x10); }, "entry point"},
        Refusal{"EntryInData",
                [](Bytes& b) { Put32(b, Pe(b) + 24 + 16, Get32(b, Section(b, 1) + 12)); },
                "not in an executable section"},
        Refusal{"NoRelocations", [](Bytes& b) { Put32(b, Pe(b) + 24 + 96 + 40, 0); },
                "no base relocations"},
        Refusal{"UnknownImport",
                [](Bytes& b) {
                    const char name[] = "TapeClassZeroMemory";
                    const auto it = std::search(b.begin(), b.end(), name, name + sizeof(name) - 1);
                    ASSERT_NE(it, b.end());
                    *(it + 4) = 'X';
                },
                "TAPE.SYS!TapeXlassZeroMemory cannot be bound"},
        Refusal{"OtherModule",
                [](Bytes& b) {
                    const char name[] = "TAPE.SYS";
                    const auto it = std::search(b.begin(), b.end(), name, name + sizeof(name) - 1);
                    ASSERT_NE(it, b.end());
                    *it = 'N';
                },
                "NAPE.SYS!"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(Loader, RefusesEveryTruncation)
{
    const Bytes file = ImageFile();
    for (size_t length = 0; length < file.size(); length += 7) {
        const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
        std::string error;
        EXPECT_EQ(peimage::LoadedImage::Map(cut, velmdat_image::ResolveTapeImport, error), nullptr)
            << "truncated to " << length;
    }
}

TEST(Loader, MapsTheImageAgainIndependently)
{
    std::string error;
    const auto second =
        peimage::LoadedImage::Map(ImageFile(), velmdat_image::ResolveTapeImport, error);
    ASSERT_NE(second, nullptr) << error;
    EXPECT_NE(second->base(), velmdat_image::Image().base());
    EXPECT_EQ(second->relocationsApplied(), velmdat_image::Image().relocationsApplied());
}

}  // namespace
