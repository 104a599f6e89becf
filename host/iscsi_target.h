// A SCSI tape device reached over iSCSI through libiscsi, with every wait bounded: the
// asynchronous interface is driven by poll() against a deadline, so an unreachable portal,
// a refused login, a dropped connection or a silent target ends in a clear error in time.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "host/device_target.h"

struct iscsi_context;

namespace host {

struct IscsiOptions {
    // libiscsi's URL form: iscsi://[user[%password]@]host[:port]/target-iqn/lun
    std::string url;
    std::string initiatorName = "iqn.2024-01.org.velmdat:initiator";
    // Connecting and logging in at open; a reconnect also stays within the command's time-out.
    std::chrono::milliseconds loginTimeout{std::chrono::seconds(30)};
};

// How the connection works, and what it chose:
// - Connect and login are separate steps (not libiscsi's full connect), so the drive's first
//   UNIT ATTENTION after a login is left for the class driver to see, as it would on a bus.
// - libiscsi's own reconnect is off: it would send the commands in flight again, and a tape
//   command is not idempotent. A command cut off by a lost connection or a time-out fails;
//   the next command logs in anew once before it is sent.
class IscsiTransport : public Transport {
public:
    // Parses the URL, connects and logs in. Null with `error` set when any of it fails.
    static std::unique_ptr<IscsiTransport> Open(const IscsiOptions& options, std::string& error);
    ~IscsiTransport() override;
    IscsiTransport(const IscsiTransport&) = delete;
    IscsiTransport& operator=(const IscsiTransport&) = delete;

    WireAnswer Exchange(const WireCommand& command) override;
    std::string Kind() const override { return "iSCSI (libiscsi)"; }
    std::string Address() const override;

    // Logins after the first one; for reports and tests.
    int reconnects() const { return reconnects_; }

private:
    using Clock = std::chrono::steady_clock;
    explicit IscsiTransport(IscsiOptions options) : options_(std::move(options)) {}

    bool Connect(Clock::time_point deadline, std::string& error);
    // Services the connection until `done` or the deadline; false when the deadline passed
    // first or the connection failed (error says which).
    bool Pump(const bool& done, Clock::time_point deadline, std::string& error);
    // Notices a connection the target closed while nothing was outstanding.
    void CheckIdleConnection();
    void Drop();

    IscsiOptions options_;
    iscsi_context* context_ = nullptr;
    std::string portal_;
    std::string target_;
    std::string user_;
    std::string password_;
    std::string targetUser_;
    std::string targetPassword_;
    int lun_ = 0;
    int reconnects_ = 0;
    std::string lostBecause_;  // why the last connection ended, for the next error
};

}  // namespace host
