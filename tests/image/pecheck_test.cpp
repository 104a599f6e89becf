// The image checker against the built VELMDAT.SYS and against damaged copies of it: each
// damage must be named by the right check, and no damage may make it read past the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "image/pecheck.h"

namespace {

using Bytes = std::vector<uint8_t>;
using pecheck::Check;

Bytes ReadImage()
{
    std::ifstream in(VELMDAT_IMAGE_PATH, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
void Put16(Bytes& b, size_t at, uint16_t v)
{
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}

// Where the PE format puts things, in a file whose headers are sound.
size_t PeHeader(const Bytes& b)
{
    return Get32(b, 0x3C);
}
size_t OptionalHeader(const Bytes& b)
{
    return PeHeader(b) + 24;
}
size_t DataDirectory(const Bytes& b, size_t index)
{
    return OptionalHeader(b) + 96 + 8 * index;
}
size_t SectionHeader(const Bytes& b, const std::string& name)
{
    const size_t count = b.at(PeHeader(b) + 6) | (b.at(PeHeader(b) + 7) << 8);
    const size_t optionalSize = b.at(PeHeader(b) + 20) | (b.at(PeHeader(b) + 21) << 8);
    for (size_t i = 0; i < count; ++i) {
        const size_t at = OptionalHeader(b) + optionalSize + 40 * i;
        if (std::strncmp(reinterpret_cast<const char*>(&b.at(at)), name.c_str(), 8) == 0) {
            return at;
        }
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
}
size_t FileOffset(const Bytes& b, uint32_t rva)
{
    const size_t count = b.at(PeHeader(b) + 6) | (b.at(PeHeader(b) + 7) << 8);
    const size_t optionalSize = b.at(PeHeader(b) + 20) | (b.at(PeHeader(b) + 21) << 8);
    for (size_t i = 0; i < count; ++i) {
        const size_t at = OptionalHeader(b) + optionalSize + 40 * i;
        const uint32_t va = Get32(b, at + 12);
        const uint32_t raw = Get32(b, at + 16);
        if (rva >= va && rva < va + raw) {
            return Get32(b, at + 20) + (rva - va);
        }
    }
    ADD_FAILURE() << "rva " << rva << " not in the file";
    return 0;
}
size_t Find(const Bytes& b, const Bytes& needle)
{
    const auto it = std::search(b.begin(), b.end(), needle.begin(), needle.end());
    EXPECT_NE(it, b.end());
    return static_cast<size_t>(it - b.begin());
}
Bytes Ascii(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}
Bytes Utf16(const std::string& s)
{
    Bytes out;
    for (const char c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

// Damage that is not about the checksum keeps the checksum right, so that exactly the
// damaged property is reported.
void FixChecksum(Bytes& b)
{
    const size_t field = OptionalHeader(b) + 64;
    Put32(b, field, pecheck::ImageChecksum(b, field));
}

bool Has(const std::vector<pecheck::Finding>& findings, Check check)
{
    return std::any_of(findings.begin(), findings.end(),
                       [&](const pecheck::Finding& f) { return f.check == check; });
}

std::string Describe(const std::vector<pecheck::Finding>& findings)
{
    std::string text;
    for (const auto& f : findings) {
        text += std::string(pecheck::CheckName(f.check)) + ": " + f.detail + "\n";
    }
    return text;
}

class PeCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        image = ReadImage();
        ASSERT_GT(image.size(), 1024u) << "VELMDAT.SYS not built at " << VELMDAT_IMAGE_PATH;
    }
    Bytes image;
};

TEST_F(PeCheck, BuiltImagePassesEveryCheck)
{
    const auto findings = pecheck::CheckImage(image);
    EXPECT_TRUE(findings.empty()) << Describe(findings);
}

TEST(ImageChecksum, SumsWordsWithCarrySkipsTheFieldAndAddsTheLength)
{
    const Bytes data = {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0x05};
    // 0x0201 + 0x0403 + 0xFFFF + 0x0005 with end-around carry, plus 7 bytes.
    EXPECT_EQ(pecheck::ImageChecksum(data, 100), 0x0610u);
    // The first four bytes are the field: 0xFFFF + 0x0005 carries to 0x0005, plus 7.
    EXPECT_EQ(pecheck::ImageChecksum(data, 0), 0x000Cu);
}

struct Damage {
    const char* name;
    Check expected;
    std::function<void(Bytes&)> apply;
    bool fixChecksum = true;
};

void PrintTo(const Damage& damage, std::ostream* os)
{
    *os << damage.name;
}

class PeCheckDamage : public PeCheck, public ::testing::WithParamInterface<Damage> {};

TEST_P(PeCheckDamage, IsNamedByItsCheck)
{
    const Damage& damage = GetParam();
    damage.apply(image);
    if (damage.fixChecksum) {
        FixChecksum(image);
    }
    const auto findings = pecheck::CheckImage(image);
    EXPECT_TRUE(Has(findings, damage.expected)) << Describe(findings);
    if (damage.fixChecksum) {
        EXPECT_FALSE(Has(findings, Check::Checksum)) << Describe(findings);
    }
}

INSTANTIATE_TEST_SUITE_P(Images, PeCheckDamage,
                         ::testing::Values(Damage{"ChecksumFlipped", Check::Checksum,
                                                  [](Bytes& b) {
                                                      b.at(OptionalHeader(b) + 64) ^= 0x01;
                                                  },
                                                  false},
                                           Damage{"ChecksumCleared", Check::Checksum,
                                                  [](Bytes& b) {
                                                      Put32(b, OptionalHeader(b) + 64, 0);
                                                  },
                                                  false},
                                           Damage{"CodeByteChanged", Check::Checksum,
                                                  [](Bytes& b) {
                                                      b.at(Get32(b, SectionHeader(b, ".text") +
                                                                        20)) ^= 0x80;
                                                  },
                                                  false},
                                           Damage{
                                               "MachineAmd64", Check::Machine,
                                               [](Bytes& b) { Put16(b, PeHeader(b) + 4, 0x8664); }},
                                           Damage{"MarkedDll", Check::Characteristics,
                                                  [](Bytes& b) { b.at(PeHeader(b) + 23) |= 0x20; }},
                                           Damage{"RelocationsStrippedFlag", Check::Characteristics,
                                                  [](Bytes& b) { b.at(PeHeader(b) + 22) |= 0x01; }},
                                           Damage{"SubsystemGui", Check::Subsystem,
                                                  [](Bytes& b) {
                                                      Put16(b, OptionalHeader(b) + 68, 2);
                                                  }},
                                           Damage{"SubsystemConsole", Check::Subsystem,
                                                  [](Bytes& b) {
                                                      Put16(b, OptionalHeader(b) + 68, 3);
                                                  }},
                                           Damage{"WdmDriverFlag", Check::DllCharacteristics,
                                                  [](Bytes& b) {
                                                      Put16(b, OptionalHeader(b) + 70, 0x2000);
                                                  }},
                                           Damage{"ForceIntegrityFlag", Check::DllCharacteristics,
                                                  [](Bytes& b) {
                                                      Put16(b, OptionalHeader(b) + 70, 0x0080);
                                                  }},
                                           Damage{"RelocationDirectoryDropped", Check::Relocations,
                                                  [](Bytes& b) {
                                                      Put32(b, DataDirectory(b, 5), 0);
                                                      Put32(b, DataDirectory(b, 5) + 4, 0);
                                                  }},
                                           Damage{"RelocationOfType64", Check::Relocations,
                                                  [](Bytes& b) {
                                                      const size_t block = FileOffset(
                                                          b, Get32(b, DataDirectory(b, 5)));
                                                      b.at(block + 9) = static_cast<uint8_t>(
                                                          (b.at(block + 9) & 0x0F) | 0xA0);
                                                  }},
                                           Damage{"RelocationBlockSizeZero", Check::Relocations,
                                                  [](Bytes& b) {
                                                      Put32(b,
                                                            FileOffset(
                                                                b, Get32(b, DataDirectory(b, 5))) +
                                                                4,
                                                            0);
                                                  }},
                                           Damage{"ImportRenamed", Check::Imports,
                                                  [](Bytes& b) {
                                                      b.at(Find(b, Ascii("TapeClassZeroMemory")) +
                                                           18) = 'x';
                                                  }},
                                           Damage{"ImportFromOtherModule", Check::Imports,
                                                  [](Bytes& b) {
                                                      b.at(Find(b, Ascii("TAPE.SYS")) + 3) = 'X';
                                                  }},
                                           Damage{"LastImportDropped", Check::Imports,
                                                  [](Bytes& b) {
                                                      // Four name thunks, then the terminator:
                                                      // clearing the fourth drops it.
                                                      const size_t descriptor = FileOffset(
                                                          b, Get32(b, DataDirectory(b, 1)));
                                                      const size_t lookup =
                                                          FileOffset(b, Get32(b, descriptor));
                                                      ASSERT_NE(Get32(b, lookup + 12), 0u);
                                                      ASSERT_EQ(Get32(b, lookup + 16), 0u);
                                                      Put32(b, lookup + 12, 0);
                                                  }},
                                           Damage{"ImportByOrdinal", Check::Imports,
                                                  [](Bytes& b) {
                                                      const size_t descriptor = FileOffset(
                                                          b, Get32(b, DataDirectory(b, 1)));
                                                      Put32(b, FileOffset(b, Get32(b, descriptor)),
                                                            0x80000005);
                                                  }},
                                           Damage{"ImportDirectoryDropped", Check::Imports,
                                                  [](Bytes& b) {
                                                      Put32(b, DataDirectory(b, 1), 0);
                                                      Put32(b, DataDirectory(b, 1) + 4, 0);
                                                  }},
                                           Damage{"ImportNameOutsideImage", Check::Imports,
                                                  [](Bytes& b) {
                                                      const size_t descriptor = FileOffset(
                                                          b, Get32(b, DataDirectory(b, 1)));
                                                      Put32(b, descriptor + 12, 0x7FFFFFF0);
                                                  }},
                                           Damage{"SectionNamedCtors", Check::Sections,
                                                  [](Bytes& b) {
                                                      std::memcpy(&b.at(SectionHeader(b, ".rdata")),
                                                                  ".ctors\0\0", 8);
                                                  }},
                                           Damage{"SectionNamedEhFrame", Check::Sections,
                                                  [](Bytes& b) {
                                                      std::memcpy(&b.at(SectionHeader(b, ".rdata")),
                                                                  ".eh_fram", 8);
                                                  }},
                                           Damage{"SectionNamedTls", Check::Sections,
                                                  [](Bytes& b) {
                                                      std::memcpy(&b.at(SectionHeader(b, ".rdata")),
                                                                  ".tls\0\0\0\0", 8);
                                                  }},
                                           Damage{"CodeWritable", Check::Sections,
                                                  [](Bytes& b) {
                                                      b.at(SectionHeader(b, ".text") + 39) |= 0x80;
                                                  }},
                                           Damage{"TlsDirectory", Check::Sections,
                                                  [](Bytes& b) {
                                                      Put32(b, DataDirectory(b, 9), 0x1000);
                                                      Put32(b, DataDirectory(b, 9) + 4, 24);
                                                  }},
                                           Damage{"EntryInData", Check::EntryPoint,
                                                  [](Bytes& b) {
                                                      Put32(b, OptionalHeader(b) + 16,
                                                            Get32(b,
                                                                  SectionHeader(b, ".rdata") + 12));
                                                  }},
                                           Damage{"FileDescriptionChanged", Check::Version,
                                                  [](Bytes& b) {
                                                      b.at(Find(b, Utf16("SCSI DAT")) + 2) = 'X';
                                                  }},
                                           Damage{"PrivateBuildChanged", Check::Version,
                                                  [](Bytes& b) {
                                                      b.at(Find(b, Utf16("19970812-0001")) + 24) =
                                                          '2';
                                                  }},
                                           Damage{"CompanyNameKeyChanged", Check::Version,
                                                  [](Bytes& b) {
                                                      b.at(Find(b, Utf16("CompanyName"))) = 'K';
                                                  }},
                                           Damage{
                                               "FixedVersionBuildTwo", Check::Version,
                                               [](Bytes& b) {
                                                   b.at(Find(b, {0xBD, 0x04, 0xEF, 0xFE}) + 12) = 2;
                                               }},
                                           Damage{
                                               "PrivateBuildFlagCleared", Check::Version,
                                               [](Bytes& b) {
                                                   b.at(Find(b, {0xBD, 0x04, 0xEF, 0xFE}) + 28) = 0;
                                               }},
                                           Damage{"FileTypeApplication", Check::Version,
                                                  [](Bytes& b) {
                                                      b.at(Find(b, {0xBD, 0x04, 0xEF, 0xFE}) + 36) =
                                                          1;
                                                  }},
                                           Damage{
                                               "SubtypeKeyboardDriver", Check::Version,
                                               [](Bytes& b) {
                                                   b.at(Find(b, {0xBD, 0x04, 0xEF, 0xFE}) + 40) = 2;
                                               }},
                                           Damage{"TranslationGerman", Check::Version,
                                                  [](Bytes& b) {
                                                      b.at(Find(b, Utf16("Translation")) + 26) =
                                                          0x07;
                                                  }},
                                           Damage{"VersionNodeTooLong", Check::Version,
                                                  [](Bytes& b) {
                                                      Put16(b,
                                                            Find(b, Utf16("VS_VERSION_INFO")) - 6,
                                                            0xFFF0);
                                                  }},
                                           Damage{"IdentificationChanged", Check::Identification,
                                                  [](Bytes& b) {
                                                      b.at(Find(b, Ascii("19970812-0001")) + 12) =
                                                          '2';
                                                  }},
                                           Damage{"NoPeSignature", Check::Malformed,
                                                  [](Bytes& b) { b.at(PeHeader(b)) = 'X'; }},
                                           Damage{"PeHeaderBeyondFile", Check::Malformed,
                                                  [](Bytes& b) { Put32(b, 0x3C, 0xFFFFFFF0); },
                                                  false},
                                           Damage{
                                               "TooManySections", Check::Malformed,
                                               [](Bytes& b) { Put16(b, PeHeader(b) + 6, 0xFFFF); }},
                                           Damage{"SectionBeyondFile", Check::Malformed,
                                                  [](Bytes& b) {
                                                      Put32(b, SectionHeader(b, ".rsrc") + 20,
                                                            0x7FFFFF00);
                                                  }},
                                           Damage{"SectionBeyondImage", Check::Malformed,
                                                  [](Bytes& b) {
                                                      Put32(b, SectionHeader(b, ".reloc") + 12,
                                                            0x00FFF000);
                                                  }},
                                           Damage{"OptionalHeaderPe32Plus", Check::Malformed,
                                                  [](Bytes& b) {
                                                      Put16(b, OptionalHeader(b), 0x020B);
                                                  }}),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(PeCheck, EveryTruncationIsRefused)
{
    for (size_t length = 0; length < image.size(); ++length) {
        const Bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
        ASSERT_FALSE(pecheck::CheckImage(cut).empty()) << "truncated to " << length;
    }
}

// The checksum covers every byte, so no single changed byte can pass; and whatever the
// changed byte does to the structures, the checker stays inside the file.
TEST_F(PeCheck, EveryChangedByteIsRefused)
{
    for (size_t at = 0; at < image.size(); ++at) {
        Bytes changed = image;
        changed[at] ^= 0xA5;
        ASSERT_FALSE(pecheck::CheckImage(changed).empty()) << "byte " << at;
    }
}

// Any value in any header field, sizes and offsets that point past the file included: the
// image is refused, every finding says what failed, and the checker stays inside the file
// whatever the structures claim (the sanitizer build catches a stray read).
TEST_F(PeCheck, EveryHeaderValueIsRefusedWithItsReason)
{
    const size_t headers = Get32(image, OptionalHeader(image) + 60);
    for (size_t at = 0; at < headers; ++at) {
        for (const uint8_t value : {uint8_t{0x00}, uint8_t{0x7F}, uint8_t{0xFF}}) {
            if (image[at] == value) {
                continue;
            }
            Bytes changed = image;
            changed[at] = value;
            const auto findings = pecheck::CheckImage(changed);
            ASSERT_FALSE(findings.empty()) << "byte " << at << " set to " << int{value};
            for (const auto& finding : findings) {
                ASSERT_FALSE(finding.detail.empty())
                    << pecheck::CheckName(finding.check) << " at byte " << at;
            }
        }
    }
}

}  // namespace
