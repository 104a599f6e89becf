// The scripted target: answers commands from a queue of replies, and keeps every command it
// was sent, so tests and fuzzers can drive the class-driver stand-in byte for byte.
#include "host/scripted_target.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "host/names.h"
#include "host/scsi.h"

namespace host {
namespace {

constexpr uint8_t kSenseAdditionalLength = kFixedSenseLength - kSenseAdditionalLengthBase;

}  // namespace

Reply Reply::Data(std::vector<uint8_t> bytes)
{
    Reply reply;
    reply.dataIn = std::move(bytes);
    return reply;
}

Reply Reply::Check(uint8_t senseKey, uint8_t asc, uint8_t ascq, uint8_t flags,
                   std::optional<int32_t> information)
{
    Reply reply;
    reply.status = kScsiCheckCondition;
    reply.sense.assign(kFixedSenseLength, 0);
    reply.sense[kSenseResponseCodeByte] = kSenseResponseCurrent;
    reply.sense[kSenseKeyByte] =
        static_cast<uint8_t>((flags & kSenseFlagMask) | (senseKey & kSenseKeyMask));
    if (information) {
        reply.sense[kSenseResponseCodeByte] |= kSenseValid;
        PutBe32(&reply.sense[kSenseInformationByte], static_cast<uint32_t>(*information));
    }
    reply.sense[kSenseAdditionalLengthByte] = kSenseAdditionalLength;
    reply.sense[kSenseAscByte] = asc;
    reply.sense[kSenseAscqByte] = ascq;
    return reply;
}

ScsiAnswer ScriptedTarget::Execute(const ScsiCommand& command)
{
    Received received;
    if (command.cdb != nullptr) {
        received.cdb.assign(command.cdb, command.cdb + command.cdbLength);
    }
    received.direction = command.direction;
    received.dataLength = command.dataLength;
    received.timeoutSeconds = command.timeoutSeconds;
    if (command.direction == Direction::Out && command.data != nullptr) {
        received.dataOut.assign(command.data, command.data + command.dataLength);
    }
    received_.push_back(std::move(received));

    Reply reply;
    if (!replies_.empty()) {
        reply = std::move(replies_.front());
        replies_.pop_front();
    } else if (!received_.back().cdb.empty() && received_.back().cdb[0] == kOpInquiry) {
        reply = Reply::Data(inquiry);
    }

    ScsiAnswer answer;
    answer.status = reply.status;
    answer.sense = std::move(reply.sense);
    answer.transportFailed = reply.transportFailed;
    size_t copied = 0;
    if (command.direction == Direction::In && command.data != nullptr) {
        copied = std::min(command.dataLength, reply.dataIn.size());
        std::copy_n(reply.dataIn.begin(), copied, command.data);
    }
    answer.transferred = reply.transferred.value_or(copied);
    return answer;
}

std::vector<uint8_t> ScriptedTarget::InquiryData(const char* vendor8, const char* product16)
{
    std::vector<uint8_t> data(kStandardInquiryLength, 0);
    data[kInquiryDeviceTypeByte] = kSequentialAccess;
    data[1] = kInquiryRemovable;
    data[2] = kInquiryScsi2;  // version
    data[3] = kInquiryScsi2;  // response data format
    data[4] = static_cast<uint8_t>(kStandardInquiryLength - kInquiryAdditionalLengthBase);
    auto put = [&data](size_t at, size_t width, const char* text) {
        const size_t length = text != nullptr ? std::min(std::strlen(text), width) : 0;
        for (size_t i = 0; i < width; ++i) {
            data[at + i] = i < length ? static_cast<uint8_t>(text[i]) : ' ';
        }
    };
    put(kInquiryVendorByte, 8, vendor8);
    put(kInquiryProductByte, 16, product16);
    put(kInquiryRevisionByte, 4, "0100");
    return data;
}

}  // namespace host
