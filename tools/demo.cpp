// The demonstration session: every step runs the same requests as the command of that name
// would, and the steps' lines are gathered under headings.
#include "tools/demo.h"

#include <algorithm>
#include <utility>

#include "tools/report.h"

namespace tools {
namespace {

using host::Request;
using nlohmann::json;

constexpr uint32_t kDemoBlockSize = 512;  // fixed blocks, as a fresh cartridge's drive uses

void Append(CommandResult& into, const std::string& heading, CommandResult&& step)
{
    into.lines.push_back("== " + heading);
    for (const std::string& line : step.lines) {
        into.lines.push_back("   " + line);
    }
    into.result["steps"].push_back({{"step", heading}, {"result", step.result}});
    if (step.failure && !into.failure) {
        into.failure = step.failure;
    }
}

std::vector<uint8_t> DemoBlocks(const std::string& label, size_t blocks, size_t blockSize)
{
    std::vector<uint8_t> data;
    for (size_t i = 0; i < blocks; ++i) {
        std::string text = label + ", block " + std::to_string(i + 1) + "\n";
        text.resize(blockSize, '.');
        data.insert(data.end(), text.begin(), text.end());
    }
    return data;
}

}  // namespace

CommandResult RunDemo(Session& session)
{
    CommandResult demo;
    demo.result["steps"] = json::array();
    const auto step = [&](const std::string& heading, const auto& body) {
        if (demo.failure) {
            return;
        }
        CommandResult out;
        body(out);
        Append(demo, heading, std::move(out));
    };
    const auto write = [&](CommandResult& out, const std::string& label, size_t blocks) {
        const std::vector<uint8_t> data = DemoBlocks(label, blocks, kDemoBlockSize);
        const host::TransferResult result = session.Write(data.data(), data.size(), kDemoBlockSize);
        if (result.status != TAPE_STATUS_SUCCESS) {
            out.failure = Failure{"write failed", result.status, {}};
            return;
        }
        out.lines.push_back("wrote " + std::to_string(blocks) + " blocks of 512 bytes: \"" + label +
                            "\"");
        TAPE_WRITE_MARKS marks{};
        marks.Type = TAPE_FILEMARKS;
        marks.Count = 1;
        if (Do(session, Request::WriteMarks, &marks, out)) {
            out.lines.push_back("wrote 1 filemark");
            ShowPosition(session, out);
        }
    };
    step("status of the blank cartridge", [&](CommandResult& out) { Status(session, out); });
    step("write file 1 (3 blocks) and a filemark",
         [&](CommandResult& out) { write(out, "file 1", 3); });
    step("write file 2 (2 blocks) and a filemark",
         [&](CommandResult& out) { write(out, "file 2", 2); });
    step("rewind",
         [&](CommandResult& out) { SetPosition(session, TAPE_REWIND, 0, 0, false, out); });
    step("fsf 1: space over the first filemark",
         [&](CommandResult& out) { SetPosition(session, TAPE_SPACE_FILEMARKS, 1, 0, false, out); });
    step("read file 2 back", [&](CommandResult& out) {
        std::vector<uint8_t> buffer(4096);
        const host::TransferResult result =
            session.Read(buffer.data(), buffer.size(), kDemoBlockSize);
        if (result.status != TAPE_STATUS_FILEMARK_DETECTED) {
            out.failure = Failure{"read did not end at the filemark", result.status, {}};
            return;
        }
        const std::vector<uint8_t> expected = DemoBlocks("file 2", 2, kDemoBlockSize);
        const bool same = std::equal(expected.begin(), expected.end(), buffer.begin()) &&
                          result.bytes == expected.size();
        out.result["bytes"] = result.bytes;
        out.result["matches"] = same;
        out.lines.push_back("read " + std::to_string(result.bytes) + " bytes up to the filemark: " +
                            (same ? "same as written" : "DIFFERENT from what was written"));
        if (!same) {
            Fail(out, "file 2 read back differs from what was written");
        }
        ShowPosition(session, out);
    });
    step("mkpartition 100: two partitions, the first of 100 MB",
         [&](CommandResult& out) { MakePartitions(session, 100, out); });
    step("setpartition 2", [&](CommandResult& out) {
        if (CheckPartition(session, 2, out)) {
            SetPosition(session, TAPE_LOGICAL_BLOCK, 0, 2, false, out);
        }
    });
    step("write file 3 (4 blocks) and a filemark in partition 2",
         [&](CommandResult& out) { write(out, "file 3", 4); });
    step("setpartition 1",
         [&](CommandResult& out) { SetPosition(session, TAPE_LOGICAL_BLOCK, 0, 1, false, out); });
    step("status", [&](CommandResult& out) { Status(session, out); });
    step("params", [&](CommandResult& out) { Params(session, out); });
    return demo;
}

}  // namespace tools
