// One bench for the end-to-end suites: the real driver loaded into the class-driver stand-in,
// which reaches a simulated QT-7310 through the host target adapter. Requests go in as the
// platform's records; what the drive recorded is read back from the drive itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "driver/velmdat.h"
#include "host/classdriver.h"
#include "host/readwrite.h"
#include "host/sim_target.h"
#include "host/transcript.h"
#include "sim/drive.h"

namespace e2e {

using host::Request;

struct Rig {
    explicit Rig(sim::Options options = {},
                 std::optional<sim::Cartridge> cartridge = sim::Cartridge{})
        : drive(std::move(options), std::move(cartridge)), target(drive)
    {
        loaded = driver.Load(&DriverEntry);
        device = host::Device::Discover(driver, target);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool Ready() const { return loaded && device.has_value(); }

    TAPE_STATUS Run(Request request, void* record) { return device->Run(request, record, &tr); }

    ULONG CurrentPartition() { return device->ExtensionAs<MINITAPE_EXTENSION>()->CurrentPartition; }

    TAPE_STATUS Marks(ULONG type, ULONG count, bool immediate = false)
    {
        TAPE_WRITE_MARKS r{};
        r.Type = type;
        r.Count = count;
        r.Immediate = immediate ? 1 : 0;
        return Run(Request::WriteMarks, &r);
    }

    TAPE_STATUS Position(ULONG method, LONG offset, ULONG partition = 0, bool immediate = false)
    {
        TAPE_SET_POSITION r{};
        r.Method = method;
        r.Partition = partition;
        r.Offset.LowPart = static_cast<ULONG>(offset);
        r.Offset.HighPart = offset < 0 ? -1 : 0;
        r.Immediate = immediate ? 1 : 0;
        return Run(Request::SetPosition, &r);
    }

    // Partition and offset as GetPosition reports them; the status goes to `status`.
    std::pair<ULONG, ULONG> Where(ULONG type, TAPE_STATUS* status = nullptr)
    {
        TAPE_GET_POSITION r{};
        r.Type = type;
        const TAPE_STATUS s = Run(Request::GetPosition, &r);
        if (status != nullptr) {
            *status = s;
        }
        EXPECT_EQ(r.Offset.HighPart, 0);
        return {r.Partition, r.Offset.LowPart};
    }

    TAPE_STATUS Prepare(ULONG operation, bool immediate = false)
    {
        TAPE_PREPARE r{};
        r.Operation = operation;
        r.Immediate = immediate ? 1 : 0;
        return Run(Request::Prepare, &r);
    }

    TAPE_STATUS Erase(ULONG type, bool immediate = false)
    {
        TAPE_ERASE r{};
        r.Type = type;
        r.Immediate = immediate ? 1 : 0;
        return Run(Request::Erase, &r);
    }

    TAPE_STATUS Partition(ULONG method, ULONG count, ULONG size)
    {
        TAPE_CREATE_PARTITION r{};
        r.Method = method;
        r.Count = count;
        r.Size = size;
        return Run(Request::CreatePartition, &r);
    }

    TAPE_STATUS SetDrive(bool compression, bool reportSetmarks)
    {
        TAPE_SET_DRIVE_PARAMETERS r{};
        r.Compression = compression ? 1 : 0;
        r.ReportSetmarks = reportSetmarks ? 1 : 0;
        return Run(Request::SetDriveParameters, &r);
    }

    TAPE_STATUS SetBlockSize(ULONG blockSize)
    {
        TAPE_SET_MEDIA_PARAMETERS r{};
        r.BlockSize = blockSize;
        return Run(Request::SetMediaParameters, &r);
    }

    TAPE_STATUS Status() { return Run(Request::GetStatus, nullptr); }

    // `blocks` blocks of `blockSize` bytes through the class driver's write path, block i
    // filled with fill + i; with blockSize 0 one variable block of `bytes` bytes.
    TAPE_STATUS Write(size_t blocks, uint8_t fill, uint32_t blockSize = 512)
    {
        std::vector<uint8_t> data;
        for (size_t i = 0; i < blocks; ++i) {
            data.insert(data.end(), blockSize, static_cast<uint8_t>(fill + i));
        }
        return host::WriteBlocks(*device, data.data(), data.size(), blockSize, &tr).status;
    }
    TAPE_STATUS WriteVariable(size_t bytes, uint8_t fill)
    {
        const std::vector<uint8_t> data(bytes, fill);
        return host::WriteBlocks(*device, data.data(), data.size(), 0, &tr).status;
    }

    sim::Cartridge Tape() const { return *drive.CurrentCartridge(); }

    // The objects of one partition as letters: B data block, F filemark, S setmark.
    std::string Kinds(size_t partition = 0) const
    {
        const sim::Cartridge tape = Tape();
        std::string out;
        for (const sim::TapeObject& o : tape.partitions.at(partition).objects) {
            out += o.kind == sim::ObjectKind::Block      ? 'B'
                   : o.kind == sim::ObjectKind::Filemark ? 'F'
                                                         : 'S';
        }
        return out;
    }

    // Operation codes of the last request's commands, the readiness check (00) included.
    std::vector<uint8_t> Opcodes() const
    {
        std::vector<uint8_t> out;
        for (const host::CommandEvent& c : tr.Commands()) {
            out.push_back(c.cdb.at(0));
        }
        return out;
    }

    // The last answer of the last request that carried sense data, or null.
    const host::AnswerEvent* LastSense() const
    {
        const host::AnswerEvent* found = nullptr;
        for (const host::TranscriptEvent& e : tr.events()) {
            if (e.kind == host::TranscriptEvent::Kind::Answer && e.answer.sense.size() >= 14) {
                found = &e.answer;
            }
        }
        return found;
    }

    host::ClassDriver driver;
    sim::Drive drive;
    host::SimTarget target;
    std::optional<host::Device> device;
    host::Transcript tr;
    bool loaded = false;
};

}  // namespace e2e
