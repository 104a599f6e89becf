// The stand-in's vocabulary in words: tape statuses, SCSI statuses, sense keys and ASC/ASCQ
// pairs, command blocks and sense data, as the transcript and the sense translation show them.
#include "host/names.h"

#include <cstdio>

#include "host/scsi.h"

namespace host {
namespace {

struct StatusText {
    const char* name;
    const char* meaning;
};

constexpr StatusText kStatusTexts[] = {
    {"TAPE_STATUS_SEND_SRB_AND_CALLBACK", "send the request block, then call again"},
    {"TAPE_STATUS_CALLBACK", "call again at once"},
    {"TAPE_STATUS_CHECK_TEST_UNIT_READY", "check that the unit is ready, then call again"},
    {"TAPE_STATUS_SUCCESS", "the request succeeded"},
    {"TAPE_STATUS_INSUFFICIENT_RESOURCES", "a buffer could not be allocated"},
    {"TAPE_STATUS_NOT_IMPLEMENTED", "the drive does not support this request"},
    {"TAPE_STATUS_INVALID_DEVICE_REQUEST", "the drive refused the command"},
    {"TAPE_STATUS_INVALID_PARAMETER", "a request value does not fit the command"},
    {"TAPE_STATUS_MEDIA_CHANGED", "the medium was changed"},
    {"TAPE_STATUS_BUS_RESET", "the drive was reset"},
    {"TAPE_STATUS_SETMARK_DETECTED", "a setmark was reached"},
    {"TAPE_STATUS_FILEMARK_DETECTED", "a filemark was reached"},
    {"TAPE_STATUS_BEGINNING_OF_MEDIA", "the beginning of the medium was reached"},
    {"TAPE_STATUS_END_OF_MEDIA", "the end of the medium was reached"},
    {"TAPE_STATUS_BUFFER_OVERFLOW", "the buffer was too small"},
    {"TAPE_STATUS_NO_DATA_DETECTED", "no data: the end of recorded data was reached"},
    {"TAPE_STATUS_EOM_OVERFLOW", "the write ran past the end of the medium"},
    {"TAPE_STATUS_NO_MEDIA", "no medium in the drive"},
    {"TAPE_STATUS_IO_DEVICE_ERROR", "the device failed"},
    {"TAPE_STATUS_UNRECOGNIZED_MEDIA", "the medium is not recognised"},
    {"TAPE_STATUS_DEVICE_NOT_READY", "the drive is not ready"},
    {"TAPE_STATUS_MEDIA_WRITE_PROTECTED", "the medium is write-protected"},
    {"TAPE_STATUS_DEVICE_DATA_ERROR", "the medium could not be read or written"},
    {"TAPE_STATUS_NO_SUCH_DEVICE", "there is no such device"},
    {"TAPE_STATUS_INVALID_BLOCK_LENGTH", "the block length did not match"},
    {"TAPE_STATUS_IO_TIMEOUT", "the command timed out"},
    {"TAPE_STATUS_DEVICE_NOT_CONNECTED", "the drive could not be reached"},
    {"TAPE_STATUS_DATA_OVERRUN", "fewer bytes arrived than were asked for"},
    {"TAPE_STATUS_DEVICE_BUSY", "the drive is busy"},
    {"TAPE_STATUS_REQUIRES_CLEANING", "the drive needs cleaning"},
    {"TAPE_STATUS_CLEANER_CARTRIDGE_INSTALLED", "a cleaning cartridge is loaded"},
};
constexpr size_t kStatusCount = sizeof(kStatusTexts) / sizeof(kStatusTexts[0]);

constexpr const char* kSenseKeyNames[16] = {
    "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
    "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
    "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
    "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",     "RESERVED"};

struct AscText {
    uint8_t asc;
    uint8_t ascq;
    const char* text;
};

constexpr AscText kAscTexts[] = {
    {0x00, 0x00, "no additional sense"},
    {0x00, 0x01, "filemark detected"},
    {0x00, 0x02, "end-of-partition/medium detected"},
    {0x00, 0x03, "setmark detected"},
    {0x00, 0x04, "beginning-of-partition/medium detected"},
    {0x00, 0x05, "end-of-data detected"},
    {0x00, 0x16, "operation in progress"},
    {0x04, 0x01, "logical unit is in process of becoming ready"},
    {0x0C, 0x00, "write error"},
    {0x11, 0x00, "unrecovered read error"},
    {0x14, 0x03, "end-of-data not found"},
    {0x1A, 0x00, "parameter list length error"},
    {0x20, 0x00, "invalid command operation code"},
    {0x24, 0x00, "invalid field in CDB"},
    {0x25, 0x00, "logical unit not supported"},
    {0x26, 0x00, "invalid field in parameter list"},
    {0x26, 0x01, "parameter not supported"},
    {0x27, 0x00, "write protected"},
    {0x28, 0x00, "not ready to ready change, medium may have changed"},
    {0x29, 0x00, "power on, reset, or bus device reset occurred"},
    {0x2A, 0x01, "mode parameters changed"},
    {0x30, 0x00, "incompatible medium installed"},
    {0x3A, 0x00, "medium not present"},
    {0x3B, 0x00, "sequential positioning error"},
    {0x44, 0x00, "internal target failure"},
    {0x47, 0x00, "SCSI parity error"},
    {0x4E, 0x00, "overlapped commands attempted"},
    {0x53, 0x02, "medium removal prevented"},
    {0x5D, 0x00, "failure prediction threshold exceeded"},
};

struct PageText {
    uint8_t page;
    const char* text;
};

constexpr PageText kPageTexts[] = {
    {kPageDataCompression, " (data compression)"},
    {kPageDeviceConfiguration, " (device configuration)"},
    {kPageMediumPartition, " (medium partition)"},
    {kPageAll, " (all pages)"},
};

std::string PageName(uint8_t page)
{
    for (const PageText& entry : kPageTexts) {
        if (entry.page == page) {
            return entry.text;
        }
    }
    return "";
}

// The fields a command's name shows, read from a block long enough to hold them.
std::string WriteFilemarksDetail(const std::vector<uint8_t>& cdb)
{
    return std::string(" (") + ((cdb[1] & kWriteFilemarksWsmk) ? "setmarks" : "filemarks") +
           ", count " + std::to_string(GetBe24(&cdb[2])) + ")";
}

std::string SpaceDetail(const std::vector<uint8_t>& cdb)
{
    static const char* const codes[8] = {"blocks",      "filemarks", "sequential filemarks",
                                         "end of data", "setmarks",  "sequential setmarks",
                                         "code 6",      "code 7"};
    return std::string(" (") + codes[cdb[1] & kSpaceCodeMask] + ", count " +
           std::to_string(GetSignedBe24(&cdb[2])) + ")";
}

std::string EraseDetail(const std::vector<uint8_t>& cdb)
{
    return (cdb[1] & kEraseLong) ? " (long)" : "";
}

std::string ModeSensePage(const std::vector<uint8_t>& cdb)
{
    const uint8_t page = cdb[kPageCodeCdbByte] & kPageCodeMask;
    return " page " + Hex8(page) + PageName(page);
}

std::string LogSensePage(const std::vector<uint8_t>& cdb)
{
    return " page " + Hex8(cdb[kPageCodeCdbByte] & kPageCodeMask);
}

std::string LoadUnloadDetail(const std::vector<uint8_t>& cdb)
{
    const uint8_t how = cdb[kActionByte];
    std::string what = (how & kLoadUnloadLoad) ? "load" : "unload";
    if (how & kLoadUnloadRetension) {
        what += ", retension";
    }
    if (how & kLoadUnloadEndOfTape) {
        what += ", to end";
    }
    return " (" + what + ")";
}

std::string PreventAllowDetail(const std::vector<uint8_t>& cdb)
{
    return std::string(" (") + ((cdb[kActionByte] & kPreventAllowPrevent) ? "prevent" : "allow") +
           ")";
}

// Each operation code with its name and, for a block at least `detailFrom` bytes long, the
// fields shown after it.
struct CommandText {
    uint8_t op;
    const char* name;
    size_t detailFrom;
    std::string (*detail)(const std::vector<uint8_t>& cdb);
};

constexpr CommandText kCommandTexts[] = {
    {kOpTestUnitReady, "TEST UNIT READY", 0, nullptr},
    {kOpRewind, "REWIND", 0, nullptr},
    {kOpRequestSense, "REQUEST SENSE", 0, nullptr},
    {kOpReadBlockLimits, "READ BLOCK LIMITS", 0, nullptr},
    {kOpRead6, "READ(6)", 0, nullptr},
    {kOpWrite6, "WRITE(6)", 0, nullptr},
    {kOpWriteFilemarks, "WRITE FILEMARKS", kCdbLength6, WriteFilemarksDetail},
    {kOpSpace, "SPACE", kCdbLength6, SpaceDetail},
    {kOpInquiry, "INQUIRY", 0, nullptr},
    {kOpModeSelect6, "MODE SELECT(6)", 0, nullptr},
    {kOpErase, "ERASE", 2, EraseDetail},
    {kOpModeSense6, "MODE SENSE(6)", kPageCodeCdbByte + 1, ModeSensePage},
    {kOpLoadUnload, "LOAD UNLOAD", kActionByte + 1, LoadUnloadDetail},
    {kOpPreventAllow, "PREVENT ALLOW MEDIUM REMOVAL", kActionByte + 1, PreventAllowDetail},
    {kOpLocate10, "LOCATE(10)", 0, nullptr},
    {kOpReadPosition, "READ POSITION", 0, nullptr},
    {kOpLogSelect, "LOG SELECT", 0, nullptr},
    {kOpLogSense, "LOG SENSE", kPageCodeCdbByte + 1, LogSensePage},
    {kOpModeSelect10, "MODE SELECT(10)", 0, nullptr},
    {kOpModeSense10, "MODE SENSE(10)", 0, nullptr},
};

}  // namespace

std::string HexBytes(const std::vector<uint8_t>& bytes)
{
    std::string out;
    char cell[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(cell, sizeof(cell), "%02X", static_cast<unsigned>(bytes[i]));
        if (i != 0) {
            out += ' ';
        }
        out += cell;
    }
    return out;
}

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string Hex8(uint32_t value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02X", static_cast<unsigned>(value & 0xFF));
    return text;
}

const char* DirectionName(Direction direction)
{
    switch (direction) {
    case Direction::In:
        return "in";
    case Direction::Out:
        return "out";
    case Direction::None:
        break;
    }
    return "none";
}

const char* ScsiStatusName(uint8_t status)
{
    switch (status) {
    case kScsiGood:
        return "GOOD";
    case kScsiCheckCondition:
        return "CHECK CONDITION";
    case kScsiBusy:
        return "BUSY";
    case kScsiReservationConflict:
        return "RESERVATION CONFLICT";
    default:
        return "other";
    }
}

const char* SenseKeyName(uint8_t key)
{
    return kSenseKeyNames[key & kSenseKeyMask];
}

const char* TapeStatusName(TAPE_STATUS status)
{
    const auto index = static_cast<size_t>(status);
    return index < kStatusCount ? kStatusTexts[index].name : "TAPE_STATUS_UNKNOWN";
}

const char* TapeStatusMeaning(TAPE_STATUS status)
{
    const auto index = static_cast<size_t>(status);
    return index < kStatusCount ? kStatusTexts[index].meaning
                                : "a status the platform does not define";
}

std::string CommandName(const std::vector<uint8_t>& cdb)
{
    if (cdb.empty()) {
        return "no command";
    }
    for (const CommandText& entry : kCommandTexts) {
        if (entry.op == cdb[0]) {
            std::string name = entry.name;
            if (entry.detail != nullptr && cdb.size() >= entry.detailFrom) {
                name += entry.detail(cdb);
            }
            return name;
        }
    }
    return "opcode " + Hex8(cdb[0]);
}

std::string DescribeSense(const std::vector<uint8_t>& sense)
{
    if (sense.size() <= kSenseKeyByte) {
        return "sense too short (" + std::to_string(sense.size()) + " bytes)";
    }
    const uint8_t code = sense[kSenseResponseCodeByte] & kSenseResponseCodeMask;
    if (code != kSenseResponseCurrent && code != kSenseResponseDeferred) {
        return "sense in an unknown format (response code " + Hex8(code) + ")";
    }
    std::string out = SenseKeyName(sense[kSenseKeyByte]);
    if (sense.size() > kSenseAscqByte) {
        const uint8_t asc = sense[kSenseAscByte];
        const uint8_t ascq = sense[kSenseAscqByte];
        char pair[8];
        std::snprintf(pair, sizeof(pair), "%02X/%02X", static_cast<unsigned>(asc),
                      static_cast<unsigned>(ascq));
        out += ", ";
        out += pair;
        for (const AscText& entry : kAscTexts) {
            if (entry.asc == asc && entry.ascq == ascq) {
                out += " ";
                out += entry.text;
                break;
            }
        }
    }
    if (sense[kSenseKeyByte] & kSenseFilemark) {
        out += ", FILEMARK";
    }
    if (sense[kSenseKeyByte] & kSenseEom) {
        out += ", EOM";
    }
    if (sense[kSenseKeyByte] & kSenseIli) {
        out += ", ILI";
    }
    if ((sense[kSenseResponseCodeByte] & kSenseValid) && sense.size() > kSenseInformationByte + 3) {
        const uint32_t raw = GetBe32(&sense[kSenseInformationByte]);
        out += ", information " + std::to_string(static_cast<int32_t>(raw));
    }
    if (code == kSenseResponseDeferred) {
        out += ", deferred";
    }
    return out;
}
}  // namespace host
