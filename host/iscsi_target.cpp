// iSCSI transport over libiscsi's asynchronous interface: one command at a time, each waited
// for with poll() against its deadline; sense read from the response's own bytes, data-in
// landing in our buffer even when it arrives with CHECK CONDITION.
#include "host/iscsi_target.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "host/iscsi_library.h"

namespace host {
namespace {

// The library's routines; Open loads it (or fails) before anything else here calls them.
const IscsiLibrary& Iscsi()
{
    std::string loaded;
    return *LoadIscsi(loaded);
}

constexpr std::chrono::milliseconds kPollSlice{100};  // libiscsi wants servicing this often
constexpr std::chrono::milliseconds kLogoutWait{2000};
constexpr size_t kSenseLengthPrefix = 2;  // the response data: sense length, then the sense
// Callback codes above the SCSI status byte: the command got no SCSI answer.
constexpr int kLibiscsiNoAnswer = SCSI_STATUS_CANCELLED;

// What a callback reports back to the waiting side.
struct Completion {
    bool done = false;
    int status = SCSI_STATUS_GOOD;
    std::string error;  // libiscsi's words at the moment of failure; later calls overwrite them
};

std::string LibraryError(iscsi_context* context)
{
    const char* text = context != nullptr ? Iscsi().iscsi_get_error(context) : nullptr;
    std::string error = text != nullptr ? text : "";
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) {
        error.pop_back();
    }
    return error.empty() ? "no reason given" : error;
}

void Complete(iscsi_context* context, int status, void* /*commandData*/, void* privateData)
{
    auto* completion = static_cast<Completion*>(privateData);
    completion->done = true;
    completion->status = status;
    if (status != SCSI_STATUS_GOOD) {
        completion->error = LibraryError(context);
    }
}

WireAnswer Failed(TransportFault fault, std::string error)
{
    WireAnswer answer;
    answer.fault = fault;
    answer.error = std::move(error);
    return answer;
}

std::string Seconds(std::chrono::milliseconds duration)
{
    return std::to_string(duration.count() / 1000) + "." +
           std::to_string(duration.count() % 1000 / 100) + " s";
}

}  // namespace

std::unique_ptr<IscsiTransport> IscsiTransport::Open(const IscsiOptions& options,
                                                     std::string& error)
{
    if (LoadIscsi(error) == nullptr) {
        return nullptr;
    }
    std::unique_ptr<IscsiTransport> transport(new IscsiTransport(options));
    iscsi_context* parser = Iscsi().iscsi_create_context(options.initiatorName.c_str());
    if (parser == nullptr) {
        error = "cannot create an iSCSI context";
        return nullptr;
    }
    iscsi_url* url = Iscsi().iscsi_parse_full_url(parser, options.url.c_str());
    if (url == nullptr) {
        error = "not an iSCSI URL (iscsi://[user[%password]@]host[:port]/target-iqn/lun): " +
                LibraryError(parser);
        Iscsi().iscsi_destroy_context(parser);
        return nullptr;
    }
    transport->portal_ = url->portal;
    transport->target_ = url->target;
    transport->user_ = url->user;
    transport->password_ = url->passwd;
    transport->targetUser_ = url->target_user;
    transport->targetPassword_ = url->target_passwd;
    transport->lun_ = url->lun;
    Iscsi().iscsi_destroy_url(url);
    Iscsi().iscsi_destroy_context(parser);

    if (!transport->Connect(Clock::now() + options.loginTimeout, error)) {
        return nullptr;
    }
    return transport;
}

IscsiTransport::~IscsiTransport()
{
    if (context_ != nullptr && Iscsi().iscsi_is_logged_in(context_)) {
        // A polite logout lets the target free the session at once; it may not hold us up.
        Completion logout;
        if (Iscsi().iscsi_logout_async(context_, Complete, &logout) == 0) {
            std::string ignored;
            Pump(logout.done, Clock::now() + kLogoutWait, ignored);
        }
    }
    Drop();
}

std::string IscsiTransport::Address() const
{
    return portal_ + " " + target_ + " LUN " + std::to_string(lun_);
}

void IscsiTransport::Drop()
{
    if (context_ != nullptr) {
        Iscsi().iscsi_destroy_context(context_);
        context_ = nullptr;
    }
}

bool IscsiTransport::Connect(Clock::time_point deadline, std::string& error)
{
    Drop();
    context_ = Iscsi().iscsi_create_context(options_.initiatorName.c_str());
    if (context_ == nullptr) {
        error = "cannot create an iSCSI context";
        return false;
    }
    Iscsi().iscsi_set_targetname(context_, target_.c_str());
    Iscsi().iscsi_set_session_type(context_, ISCSI_SESSION_NORMAL);
    Iscsi().iscsi_set_header_digest(context_, ISCSI_HEADER_DIGEST_NONE_CRC32C);
    // Never resend behind the driver's back: a repeated WRITE or SPACE moves the tape again.
    Iscsi().iscsi_set_noautoreconnect(context_, 1);
    if (!user_.empty()) {
        Iscsi().iscsi_set_initiator_username_pwd(context_, user_.c_str(), password_.c_str());
    }
    if (!targetUser_.empty()) {
        Iscsi().iscsi_set_target_username_pwd(context_, targetUser_.c_str(),
                                              targetPassword_.c_str());
    }

    Completion connected;
    if (Iscsi().iscsi_connect_async(context_, portal_.c_str(), Complete, &connected) != 0) {
        error = "cannot reach " + portal_ + ": " + LibraryError(context_);
        Drop();
        return false;
    }
    std::string why;
    if (!Pump(connected.done, deadline, why) || connected.status != SCSI_STATUS_GOOD) {
        error = "cannot reach " + portal_ + ": " +
                (!connected.error.empty() ? connected.error
                 : why.empty()            ? LibraryError(context_)
                                          : why);
        Drop();
        return false;
    }
    // Login on its own, so the drive's power-on UNIT ATTENTION stays for the first command.
    Completion loggedIn;
    if (Iscsi().iscsi_login_async(context_, Complete, &loggedIn) != 0) {
        error = "login to " + target_ + " at " + portal_ + " failed: " + LibraryError(context_);
        Drop();
        return false;
    }
    why.clear();
    if (!Pump(loggedIn.done, deadline, why) || loggedIn.status != SCSI_STATUS_GOOD) {
        error = "login to " + target_ + " at " + portal_ + " refused: " +
                (!loggedIn.error.empty() ? loggedIn.error
                 : why.empty()           ? LibraryError(context_)
                                         : why);
        Drop();
        return false;
    }
    return true;
}

bool IscsiTransport::Pump(const bool& done, Clock::time_point deadline, std::string& error)
{
    while (!done) {
        const auto now = Clock::now();
        if (now >= deadline) {
            error = "no answer in time";
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        pollfd descriptor{Iscsi().iscsi_get_fd(context_),
                          static_cast<short>(Iscsi().iscsi_which_events(context_)), 0};
        const int ready =
            poll(&descriptor, 1, static_cast<int>(std::min(left, kPollSlice).count()) + 1);
        if (ready < 0 && errno != EINTR) {
            error = "poll failed";
            return false;
        }
        // Also called without events: libiscsi runs its own PDU time-outs from here.
        if (Iscsi().iscsi_service(context_, ready > 0 ? descriptor.revents : 0) < 0) {
            error = LibraryError(context_);
            return done;
        }
    }
    return true;
}

void IscsiTransport::CheckIdleConnection()
{
    if (context_ == nullptr) {
        return;
    }
    pollfd descriptor{Iscsi().iscsi_get_fd(context_), static_cast<short>(POLLIN), 0};
    if (poll(&descriptor, 1, 0) > 0 && Iscsi().iscsi_service(context_, descriptor.revents) < 0) {
        lostBecause_ = LibraryError(context_);
        Drop();
    }
}

WireAnswer IscsiTransport::Exchange(const WireCommand& command)
{
    const auto deadline = Clock::now() + command.timeout;
    CheckIdleConnection();
    if (context_ == nullptr) {
        // The last connection broke: one new login, within this command's own time.
        std::string error;
        if (!Connect(std::min(deadline, Clock::now() + options_.loginTimeout), error)) {
            return Failed(TransportFault::Lost,
                          "connection to " + portal_ + " lost" +
                              (lostBecause_.empty() ? "" : " (" + lostBecause_ + ")") +
                              "; logging in again failed: " + error);
        }
        ++reconnects_;
        lostBecause_.clear();
    }

    const int transfer = command.direction == Direction::In    ? SCSI_XFER_READ
                         : command.direction == Direction::Out ? SCSI_XFER_WRITE
                                                               : SCSI_XFER_NONE;
    scsi_task* task = Iscsi().scsi_create_task(static_cast<int>(command.cdbLength),
                                               const_cast<unsigned char*>(command.cdb), transfer,
                                               static_cast<int>(command.length));
    if (task == nullptr) {
        return Failed(TransportFault::Busy, "out of memory for an iSCSI task");
    }
    // Our own buffer for data-in: data that comes with CHECK CONDITION lands here as well.
    if (command.direction == Direction::In &&
        Iscsi().scsi_task_add_data_in_buffer(task, static_cast<int>(command.length),
                                             command.data) != 0) {
        Iscsi().scsi_free_scsi_task(task);
        return Failed(TransportFault::Busy, "out of memory for the data-in buffer");
    }
    iscsi_data out{command.length, command.data};
    Completion completion;
    if (Iscsi().iscsi_scsi_command_async(context_, lun_, task, Complete,
                                         command.direction == Direction::Out ? &out : nullptr,
                                         &completion) != 0) {
        const std::string error = LibraryError(context_);
        Iscsi().scsi_free_scsi_task(task);
        lostBecause_ = error;
        Drop();
        return Failed(TransportFault::Lost, "the command could not be sent: " + error);
    }

    std::string error;
    const bool answered = Pump(completion.done, deadline, error);
    if (!completion.done) {
        // The callback still points at this frame: cancel before leaving, then start afresh,
        // since the target may still carry the command out and answer it later.
        Iscsi().iscsi_scsi_cancel_task(context_, task);
        Iscsi().scsi_free_scsi_task(task);
        lostBecause_ = answered ? error : "the command timed out";
        Drop();
        if (error == "no answer in time") {
            return Failed(TransportFault::TimedOut,
                          "no answer from " + portal_ + " within " + Seconds(command.timeout) +
                              "; the command's outcome is unknown and it is not repeated");
        }
        return Failed(TransportFault::Lost, "connection to " + portal_ + " lost: " + error +
                                                "; the command's outcome is unknown and it is "
                                                "not repeated");
    }
    if (completion.status >= kLibiscsiNoAnswer) {
        const std::string why = error.empty() ? LibraryError(context_) : error;
        Iscsi().scsi_free_scsi_task(task);
        lostBecause_ = why;
        Drop();
        return Failed(TransportFault::Lost, "connection to " + portal_ + " lost: " + why +
                                                "; the command's outcome is unknown and it is "
                                                "not repeated");
    }

    WireAnswer answer;
    answer.delivered = true;
    answer.status = static_cast<uint8_t>(task->status);
    if (task->status == SCSI_STATUS_CHECK_CONDITION && task->datain.data != nullptr &&
        task->datain.size > static_cast<int>(kSenseLengthPrefix)) {
        const unsigned char* bytes = task->datain.data;
        const size_t claimed = (size_t{bytes[0]} << 8) | bytes[1];
        const size_t arrived = static_cast<size_t>(task->datain.size) - kSenseLengthPrefix;
        answer.sense.assign(bytes + kSenseLengthPrefix,
                            bytes + kSenseLengthPrefix + std::min(claimed, arrived));
    }
    if (task->residual_status == SCSI_RESIDUAL_UNDERFLOW) {
        answer.residualKind = ResidualKind::Underflow;
        answer.residual = task->residual;
    } else if (task->residual_status == SCSI_RESIDUAL_OVERFLOW) {
        answer.residualKind = ResidualKind::Overflow;
        answer.residual = task->residual;
    }
    Iscsi().scsi_free_scsi_task(task);
    return answer;
}

}  // namespace host
