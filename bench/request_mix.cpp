// The request mix and its replaying target: every request the tool sends in normal use, with
// answers recorded once from the simulated drive so each run sees the same drive.
#include "bench/request_mix.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "driver/velmdat.h"
#include "host/sim_target.h"
#include "sim/drive.h"

namespace bench {
namespace {

// Passes every command to the simulated drive and keeps its answer.
class RecordingTarget : public host::Target {
public:
    explicit RecordingTarget(host::Target& inner) : inner_(inner) {}
    host::ScsiAnswer Execute(const host::ScsiCommand& command) override
    {
        host::ScsiAnswer answer = inner_.Execute(command);
        ReplayTarget::Answer& kept = table[ReplayTarget::KeyOf(command)];
        kept.answer = answer;
        kept.dataIn.clear();
        if (command.direction == host::Direction::In && command.data != nullptr) {
            kept.dataIn.assign(command.data, command.data + answer.transferred);
        }
        return answer;
    }
    std::map<ReplayTarget::Key, ReplayTarget::Answer> table;

private:
    host::Target& inner_;
};

// Each request once, in an order a tape user's session has them; records are rebuilt for
// every run since the driver writes its answers into them.
unsigned RunSteps(host::Device& device, const host::RunOptions& options)
{
    TAPE_GET_POSITION logical{};
    logical.Type = TAPE_LOGICAL_POSITION;
    TAPE_GET_POSITION absolute{};
    absolute.Type = TAPE_ABSOLUTE_POSITION;
    TAPE_GET_MEDIA_PARAMETERS media{};
    TAPE_GET_DRIVE_PARAMETERS drive{};
    TAPE_SET_DRIVE_PARAMETERS setDrive{};
    setDrive.Compression = 1;
    TAPE_SET_MEDIA_PARAMETERS setMedia{};
    setMedia.BlockSize = 512;
    TAPE_WRITE_MARKS marks{};
    marks.Type = TAPE_FILEMARKS;
    marks.Count = 1;
    TAPE_SET_POSITION rewind{};
    rewind.Method = TAPE_REWIND;
    TAPE_SET_POSITION space{};
    space.Method = TAPE_SPACE_FILEMARKS;
    space.Offset.QuadPart = 1;
    TAPE_SET_POSITION locate{};
    locate.Method = TAPE_LOGICAL_BLOCK;
    TAPE_PREPARE lock{};
    lock.Operation = TAPE_LOCK;
    TAPE_PREPARE unlock{};
    unlock.Operation = TAPE_UNLOCK;
    const std::pair<host::Request, void*> steps[] = {
        {host::Request::GetStatus, nullptr},
        {host::Request::GetMediaParameters, &media},
        {host::Request::GetDriveParameters, &drive},
        {host::Request::GetPosition, &logical},
        {host::Request::GetPosition, &absolute},
        {host::Request::SetMediaParameters, &setMedia},
        {host::Request::SetDriveParameters, &setDrive},
        {host::Request::WriteMarks, &marks},
        {host::Request::SetPosition, &rewind},
        {host::Request::SetPosition, &space},
        {host::Request::SetPosition, &locate},
        {host::Request::Prepare, &lock},
        {host::Request::Prepare, &unlock},
    };
    for (const auto& [request, record] : steps) {
        device.Run(request, record, nullptr, options);
    }
    return static_cast<unsigned>(std::size(steps));
}

}  // namespace

ReplayTarget::Key ReplayTarget::KeyOf(const host::ScsiCommand& command)
{
    Key key(command.cdb, command.cdb + command.cdbLength);
    key.push_back(static_cast<uint8_t>(command.direction));
    for (int shift = 0; shift < 32; shift += 8) {
        key.push_back(static_cast<uint8_t>(command.dataLength >> shift));
    }
    return key;
}

host::ScsiAnswer ReplayTarget::Execute(const host::ScsiCommand& command)
{
    const auto found = table_.find(KeyOf(command));
    if (found == table_.end()) {
        host::ScsiAnswer none;
        none.transportFailed = true;
        return none;
    }
    const Answer& kept = found->second;
    if (!kept.dataIn.empty() && command.data != nullptr) {
        std::copy_n(kept.dataIn.begin(), std::min(kept.dataIn.size(), command.dataLength),
                    command.data);
    }
    return kept.answer;
}

RequestMix::RequestMix()
{
    if (!driver_.Load(&DriverEntry)) {
        throw std::runtime_error("the driver did not register");
    }
    sim::Drive drive;
    host::SimTarget sim(drive);
    RecordingTarget recorder(sim);
    std::optional<host::Device> recording = host::Device::Discover(driver_, recorder);
    if (!recording) {
        throw std::runtime_error("the driver did not claim the simulated drive");
    }
    requests_ = RunSteps(*recording, {});
    target_ = std::make_unique<ReplayTarget>(std::move(recorder.table));
    device_ = host::Device::Discover(driver_, *target_);
    if (!device_) {
        throw std::runtime_error("the driver did not claim the replaying target");
    }
}

uint64_t RequestMix::Run(bool count)
{
    uint64_t calls = 0;
    host::RunOptions options;
    if (count) {
        options.afterCall = [&calls](ULONG, TAPE_STATUS, const SCSI_REQUEST_BLOCK&) { ++calls; };
    }
    RunSteps(*device_, options);
    return calls;
}

}  // namespace bench
