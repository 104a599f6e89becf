// A Linux SCSI tape device reached through SG_IO on /dev/sgN, /dev/nstN or /dev/stN. Only
// the ioctl and the header mapping live here; everything else is the shared device target.
// The system calls go through SgSystem so that every answer the kernel can give is testable.
#pragma once

#include <scsi/sg.h>

#include <memory>
#include <string>

#include "host/device_target.h"

namespace host {

// open(2), ioctl(2) and close(2) as SG_IO needs them; failures return -errno.
class SgSystem {
public:
    virtual ~SgSystem() = default;
    virtual int Open(const std::string& path, int flags) = 0;
    virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void Close(int fd) = 0;
};

// The real system calls.
SgSystem& LinuxSgSystem();

// What an errno from opening or addressing a device means to the user of a tape tool.
std::string SgErrorText(int error);

// The request as an sg_io_hdr (sense buffer and its size supplied by the caller), and the
// kernel's filled-in header back as the shared answer form.
sg_io_hdr_t ToSgHeader(const WireCommand& command, unsigned char* sense, unsigned char senseSize);
WireAnswer FromSgHeader(const sg_io_hdr_t& header, const unsigned char* sense);

class SgTransport : public Transport {
public:
    // Opens the device read-write and non-blocking (an empty tape drive still opens) and checks
    // that it speaks SG_IO. Null with `error` set when it cannot be used.
    static std::unique_ptr<SgTransport> Open(const std::string& path, SgSystem& system,
                                             std::string& error);
    ~SgTransport() override;
    SgTransport(const SgTransport&) = delete;
    SgTransport& operator=(const SgTransport&) = delete;

    WireAnswer Exchange(const WireCommand& command) override;
    std::string Kind() const override { return "SCSI generic (SG_IO)"; }
    std::string Address() const override { return path_; }

private:
    SgTransport(std::string path, SgSystem& system, int fd)
        : path_(std::move(path)), system_(system), fd_(fd)
    {
    }

    std::string path_;
    SgSystem& system_;
    int fd_;
};

}  // namespace host
