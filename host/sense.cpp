// Sense translation of the class-driver stand-in: fixed-format sense data to a tape status,
// through one table kept as data so it can be read, printed and tested as a whole.
#include "host/sense.h"

#include <sstream>

#include "host/scsi.h"

namespace host {

const std::vector<SenseRule>& SenseTable()
{
    // First matching row wins. Mark bits are honoured only with NO SENSE and RECOVERED ERROR:
    // with any other key the key says what went wrong and the bits are incidental.
    static const std::vector<SenseRule> table = {
        {kSenseNoSense, kSenseFilemark, 0x00, 0x03, TAPE_STATUS_SETMARK_DETECTED},
        {kSenseNoSense, kSenseFilemark, kAny, kAny, TAPE_STATUS_FILEMARK_DETECTED},
        {kSenseNoSense, kSenseEom, 0x00, 0x04, TAPE_STATUS_BEGINNING_OF_MEDIA},
        {kSenseNoSense, kSenseEom, kAny, kAny, TAPE_STATUS_END_OF_MEDIA},
        {kSenseNoSense, kSenseIli, kAny, kAny, TAPE_STATUS_INVALID_BLOCK_LENGTH},
        // CHECK CONDITION that reports nothing is a failure nobody explained, never success.
        {kSenseNoSense, 0, kAny, kAny, TAPE_STATUS_IO_DEVICE_ERROR},
        {kSenseRecovered, kSenseFilemark, 0x00, 0x03, TAPE_STATUS_SETMARK_DETECTED},
        {kSenseRecovered, kSenseFilemark, kAny, kAny, TAPE_STATUS_FILEMARK_DETECTED},
        {kSenseRecovered, kSenseEom, 0x00, 0x04, TAPE_STATUS_BEGINNING_OF_MEDIA},
        {kSenseRecovered, kSenseEom, kAny, kAny, TAPE_STATUS_END_OF_MEDIA},
        {kSenseRecovered, kSenseIli, kAny, kAny, TAPE_STATUS_INVALID_BLOCK_LENGTH},
        // The drive recovered on its own: the command did what it was asked.
        {kSenseRecovered, 0, kAny, kAny, TAPE_STATUS_SUCCESS},
        {kSenseNotReady, 0, 0x3A, kAny, TAPE_STATUS_NO_MEDIA},
        {kSenseNotReady, 0, kAny, kAny, TAPE_STATUS_DEVICE_NOT_READY},
        {kSenseMediumError, 0, kAny, kAny, TAPE_STATUS_DEVICE_DATA_ERROR},
        {kSenseHardwareError, 0, kAny, kAny, TAPE_STATUS_IO_DEVICE_ERROR},
        {kSenseIllegalRequest, 0, kAny, kAny, TAPE_STATUS_INVALID_DEVICE_REQUEST},
        // A unit attention is reported in the reset class: the drive's state or the medium
        // changed behind the request's back. A cartridge change says so; the rest, including
        // a medium removed (3A), is a reset, which TapeError refines for 3A/00.
        {kSenseUnitAttention, 0, 0x28, kAny, TAPE_STATUS_MEDIA_CHANGED},
        {kSenseUnitAttention, 0, kAny, kAny, TAPE_STATUS_BUS_RESET},
        {kSenseDataProtect, 0, kAny, kAny, TAPE_STATUS_MEDIA_WRITE_PROTECTED},
        {kSenseBlankCheck, 0, kAny, kAny, TAPE_STATUS_NO_DATA_DETECTED},
        {kSenseAbortedCommand, 0, kAny, kAny, TAPE_STATUS_IO_DEVICE_ERROR},
        {kSenseVolumeOverflow, 0, kAny, kAny, TAPE_STATUS_EOM_OVERFLOW},
    };
    return table;
}

std::optional<std::string> SenseMalformed(const uint8_t* sense, size_t length)
{
    if (sense == nullptr || length <= kSenseKeyByte) {
        return "sense of " + std::to_string(length) + " bytes holds no sense key";
    }
    if (length > kSenseAdditionalLengthByte &&
        kSenseAdditionalLengthBase + sense[kSenseAdditionalLengthByte] > length) {
        return "sense claims " +
               std::to_string(kSenseAdditionalLengthBase + sense[kSenseAdditionalLengthByte]) +
               " bytes, " + std::to_string(length) + " arrived";
    }
    return std::nullopt;
}

TAPE_STATUS TranslateSense(const uint8_t* sense, size_t length)
{
    if (SenseMalformed(sense, length)) {
        return TAPE_STATUS_IO_DEVICE_ERROR;
    }
    const uint8_t code = sense[kSenseResponseCodeByte] & kSenseResponseCodeMask;
    // Descriptor-format and unknown layouts cannot be read with the fixed offsets.
    if (code != kSenseResponseCurrent && code != kSenseResponseDeferred) {
        return TAPE_STATUS_IO_DEVICE_ERROR;
    }
    const uint8_t key = sense[kSenseKeyByte] & kSenseKeyMask;
    const uint8_t bits = sense[kSenseKeyByte] & (kSenseFilemark | kSenseEom | kSenseIli);
    // An ASC or ASCQ that was not delivered matches only a wildcard.
    const size_t claimed = length > kSenseAdditionalLengthByte
                               ? kSenseAdditionalLengthBase + sense[kSenseAdditionalLengthByte]
                               : 0;
    const int asc = claimed > kSenseAscByte ? sense[kSenseAscByte] : -1;
    const int ascq = claimed > kSenseAscqByte ? sense[kSenseAscqByte] : -1;
    for (const SenseRule& rule : SenseTable()) {
        if (rule.key != key) {
            continue;
        }
        if (rule.bit != 0 && (bits & rule.bit) == 0) {
            continue;
        }
        if (rule.asc != kAny && rule.asc != asc) {
            continue;
        }
        if (rule.ascq != kAny && rule.ascq != ascq) {
            continue;
        }
        return rule.status;
    }
    return TAPE_STATUS_IO_DEVICE_ERROR;  // keys no row names: vendor, copy aborted, ...
}

SenseFacts ReadSense(const std::vector<uint8_t>& sense)
{
    SenseFacts facts;
    if (sense.size() <= kSenseKeyByte) {
        return facts;
    }
    const uint8_t flags = sense[kSenseKeyByte];
    facts.filemark = (flags & kSenseFilemark) != 0;
    facts.endOfMedium = (flags & kSenseEom) != 0;
    facts.incorrectLength = (flags & kSenseIli) != 0;
    facts.key = flags & kSenseKeyMask;
    facts.mediumError = facts.key == kSenseMediumError;
    if (sense.size() > kSenseAscqByte) {
        facts.asc = sense[kSenseAscByte];
        facts.ascq = sense[kSenseAscqByte];
    }
    if (sense.size() >= kSenseInformationByte + 4 &&
        (sense[kSenseResponseCodeByte] & kSenseValid) != 0) {
        facts.information = static_cast<int32_t>(GetBe32(&sense[kSenseInformationByte]));
    }
    return facts;
}

SenseFacts FinalSense(const Transcript& transcript)
{
    // A request that succeeded has no residue to tell; one that failed ended with the command
    // whose sense is the last one (a device may follow it with a command of its own that
    // succeeds).
    if (transcript.finalStatus() == TAPE_STATUS_SUCCESS) {
        return {};
    }
    const auto& events = transcript.events();
    for (auto e = events.rbegin(); e != events.rend(); ++e) {
        if (e->kind == TranscriptEvent::Kind::Answer && !e->answer.sense.empty()) {
            return ReadSense(e->answer.sense);
        }
    }
    return {};
}

std::string SenseTableMarkdown()
{
    std::ostringstream out;
    out << "| sense key | byte 2 bit | ASC/ASCQ | TAPE_STATUS |\n|---|---|---|---|\n";
    auto hex = [](int v) {
        if (v == kAny) {
            return std::string("xx");
        }
        static const char digits[] = "0123456789ABCDEF";
        return std::string{digits[(v >> 4) & 0xF], digits[v & 0xF]};
    };
    for (const SenseRule& rule : SenseTable()) {
        const char* bit = rule.bit == kSenseFilemark ? "FILEMARK"
                          : rule.bit == kSenseEom    ? "EOM"
                          : rule.bit == kSenseIli    ? "ILI"
                                                     : "-";
        out << "| " << std::hex << int{rule.key} << std::dec << " " << SenseKeyName(rule.key)
            << " | " << bit << " | " << hex(rule.asc) << "/" << hex(rule.ascq) << " | "
            << TapeStatusName(rule.status) << " |\n";
    }
    out << "| anything else, descriptor format, short or over-claiming sense | | | "
           "TAPE_STATUS_IO_DEVICE_ERROR |\n";
    return out.str();
}

}  // namespace host
