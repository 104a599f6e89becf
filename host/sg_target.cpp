// SG_IO mapping: the request block's command, direction, buffer, time-out and sense buffer go
// into an sg_io_hdr; status, host and driver status, sense and residual come back out of it.
#include "host/sg_target.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

namespace host {
namespace {

constexpr int kSgInterfaceId = 'S';
constexpr int kSgMinimumVersion = 30000;  // the sg_io_hdr interface (sg 3.0)
constexpr unsigned char kSenseCapacity = 255;

// Host (adapter) status: the command never got a SCSI answer. Values of the kernel's DID_*.
struct HostRow {
    unsigned short code;
    const char* name;
    TransportFault fault;
};
constexpr std::array<HostRow, 20> kHostStatus = {{
    {0x01, "no connection to the device (DID_NO_CONNECT)", TransportFault::Lost},
    {0x02, "the bus stayed busy (DID_BUS_BUSY)", TransportFault::Busy},
    {0x03, "the command timed out (DID_TIME_OUT)", TransportFault::TimedOut},
    {0x04, "no device at this address (DID_BAD_TARGET)", TransportFault::Lost},
    {0x05, "the command was aborted (DID_ABORT)", TransportFault::Lost},
    {0x06, "parity error on the bus (DID_PARITY)", TransportFault::Garbled},
    {0x07, "adapter error (DID_ERROR)", TransportFault::Garbled},
    {0x08, "a bus or device reset aborted the command (DID_RESET)", TransportFault::Reset},
    {0x09, "unexpected interrupt (DID_BAD_INTR)", TransportFault::Garbled},
    {0x0A, "passed through (DID_PASSTHROUGH)", TransportFault::Garbled},
    {0x0B, "the adapter asks for a retry (DID_SOFT_ERROR)", TransportFault::Busy},
    {0x0C, "the adapter asks for a retry (DID_IMM_RETRY)", TransportFault::Busy},
    {0x0D, "the adapter requeued the command (DID_REQUEUE)", TransportFault::Busy},
    {0x0E, "the transport was disrupted (DID_TRANSPORT_DISRUPTED)", TransportFault::Lost},
    {0x0F, "the transport failed (DID_TRANSPORT_FAILFAST)", TransportFault::Lost},
    {0x10, "the device failed for good (DID_TARGET_FAILURE)", TransportFault::Lost},
    {0x11, "the path to the device failed (DID_NEXUS_FAILURE)", TransportFault::Lost},
    {0x12, "the adapter ran out of resources (DID_ALLOC_FAILURE)", TransportFault::Busy},
    {0x13, "medium error reported by the adapter (DID_MEDIUM_ERROR)", TransportFault::Garbled},
    {0x14, "the path to the device is marginal (DID_TRANSPORT_MARGINAL)", TransportFault::Lost},
}};

// Driver status (low four bits): the kernel's own verdict. DRIVER_SENSE only says sense came.
constexpr unsigned short kDriverStatusMask = 0x0F;
constexpr unsigned short kDriverOk = 0x00;
constexpr unsigned short kDriverSense = 0x08;
struct DriverRow {
    unsigned short code;
    const char* name;
    TransportFault fault;
};
constexpr std::array<DriverRow, 6> kDriverStatus = {{
    {0x01, "the driver was busy (DRIVER_BUSY)", TransportFault::Busy},
    {0x02, "soft driver error (DRIVER_SOFT)", TransportFault::Garbled},
    {0x03, "medium error reported by the driver (DRIVER_MEDIA)", TransportFault::Garbled},
    {0x04, "driver error (DRIVER_ERROR)", TransportFault::Garbled},
    {0x05, "the driver refused the request (DRIVER_INVALID)", TransportFault::Garbled},
    {0x06, "the command timed out (DRIVER_TIMEOUT)", TransportFault::TimedOut},
}};

struct ErrnoRow {
    int error;
    const char* text;
};
constexpr std::array<ErrnoRow, 9> kErrnoText = {{
    {EACCES,
     "permission denied: SG_IO needs read and write access to the device node (usually "
     "membership of its group, 'tape' or 'disk')"},
    {EPERM, "not permitted: the device or this command needs more privilege"},
    {EBUSY, "the device is busy: another program has it open"},
    {ENOENT, "no such device"},
    {ENXIO, "no device answers at this node"},
    {ENODEV, "no device answers at this node"},
    {ENOTTY, "not a SCSI generic or SCSI tape device (no SG_IO)"},
    {EINVAL, "not a SCSI generic or SCSI tape device, or the request was refused"},
    {EROFS, "the device node is read-only"},
}};

WireAnswer Failed(TransportFault fault, std::string error)
{
    WireAnswer answer;
    answer.fault = fault;
    answer.error = std::move(error);
    return answer;
}

class LinuxSystem : public SgSystem {
public:
    int Open(const std::string& path, int flags) override
    {
        const int fd = ::open(path.c_str(), flags);
        return fd < 0 ? -errno : fd;
    }
    int Ioctl(int fd, unsigned long request, void* argument) override
    {
        return ::ioctl(fd, request, argument) < 0 ? -errno : 0;
    }
    void Close(int fd) override { ::close(fd); }
};

}  // namespace

SgSystem& LinuxSgSystem()
{
    static LinuxSystem system;
    return system;
}

std::string SgErrorText(int error)
{
    for (const ErrnoRow& row : kErrnoText) {
        if (row.error == error) {
            return row.text;
        }
    }
    return std::strerror(error);
}

sg_io_hdr_t ToSgHeader(const WireCommand& command, unsigned char* sense, unsigned char senseSize)
{
    sg_io_hdr_t header{};
    header.interface_id = kSgInterfaceId;
    switch (command.direction) {
    case Direction::In:
        header.dxfer_direction = SG_DXFER_FROM_DEV;
        break;
    case Direction::Out:
        header.dxfer_direction = SG_DXFER_TO_DEV;
        break;
    case Direction::None:
        header.dxfer_direction = SG_DXFER_NONE;
        break;
    }
    header.cmd_len = static_cast<unsigned char>(command.cdbLength);
    header.cmdp = const_cast<unsigned char*>(command.cdb);  // the kernel only reads it
    header.dxfer_len = static_cast<unsigned int>(command.length);
    header.dxferp = command.length > 0 ? command.data : nullptr;
    header.mx_sb_len = senseSize;
    header.sbp = sense;
    // Milliseconds in an unsigned int: a time-out beyond it is cut to the longest wait.
    const auto ms = static_cast<unsigned long long>(command.timeout.count());
    header.timeout = static_cast<unsigned int>(std::min<unsigned long long>(ms, UINT_MAX));
    return header;
}

WireAnswer FromSgHeader(const sg_io_hdr_t& header, const unsigned char* sense)
{
    if (header.host_status != 0) {
        for (const HostRow& row : kHostStatus) {
            if (row.code == header.host_status) {
                return Failed(row.fault, row.name);
            }
        }
        return Failed(TransportFault::Garbled,
                      "adapter status " + std::to_string(header.host_status));
    }
    const size_t senseLength = std::min<size_t>(header.sb_len_wr, header.mx_sb_len);
    const unsigned short driver = header.driver_status & kDriverStatusMask;
    // Some kernels flag sense only in the driver status and leave the status byte GOOD.
    const bool checkCondition =
        header.status == kScsiCheckCondition || (driver == kDriverSense && senseLength > 0);
    if (driver != kDriverOk && driver != kDriverSense && !checkCondition) {
        for (const DriverRow& row : kDriverStatus) {
            if (row.code == driver) {
                return Failed(row.fault, row.name);
            }
        }
        return Failed(TransportFault::Garbled, "driver status " + std::to_string(driver));
    }
    WireAnswer answer;
    answer.delivered = true;
    answer.status = checkCondition ? kScsiCheckCondition : header.status;
    if (checkCondition && sense != nullptr) {
        answer.sense.assign(sense, sense + senseLength);
    }
    if (header.resid > 0) {
        answer.residualKind = ResidualKind::Underflow;
        answer.residual = static_cast<size_t>(header.resid);
    }
    return answer;
}

std::unique_ptr<SgTransport> SgTransport::Open(const std::string& path, SgSystem& system,
                                               std::string& error)
{
    // Non-blocking: a tape drive without a cartridge still opens, and the driver's own
    // readiness check says what is wrong.
    const int fd = system.Open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = SgErrorText(-fd);
        return nullptr;
    }
    int version = 0;
    const int result = system.Ioctl(fd, SG_GET_VERSION_NUM, &version);
    if (result < 0 || version < kSgMinimumVersion) {
        system.Close(fd);
        error = result < 0 ? SgErrorText(-result)
                           : "the SCSI generic driver is too old for SG_IO (version " +
                                 std::to_string(version) + ")";
        return nullptr;
    }
    return std::unique_ptr<SgTransport>(new SgTransport(path, system, fd));
}

SgTransport::~SgTransport()
{
    system_.Close(fd_);
}

WireAnswer SgTransport::Exchange(const WireCommand& command)
{
    std::array<unsigned char, kSenseCapacity> sense{};
    sg_io_hdr_t header = ToSgHeader(command, sense.data(), kSenseCapacity);
    const int result = system_.Ioctl(fd_, SG_IO, &header);
    if (result < 0) {
        return Failed(TransportFault::Lost, "SG_IO failed: " + SgErrorText(-result));
    }
    return FromSgHeader(header, sense.data());
}

}  // namespace host
