// The request loop of the remote tape server: one row per request letter, each reading its
// arguments within the wire's bounds and answering once. A request whose framing is lost (a
// line too long, a write without a count, input ending inside a request) ends the service,
// since whatever follows could no longer be told apart from data.
#include "tools/rmt_server.h"

#include <linux/mtio.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iostream>
#include <iterator>

#include "tools/rmt_errno.h"
#include "tools/rmt_tape.h"
#include "tools/rmt_wire.h"

namespace tools::rmt {
namespace {

enum class Next { Serve, Stop };

// Operation numbers of the protocol's version 1 (after "I-1"): BSD's, the same on every
// platform, turned into Linux's.
constexpr int kVersion1Ops[] = {MTWEOF, MTFSF, MTBSF, MTFSR, MTBSR, MTREW, MTOFFL, MTNOP};
constexpr int kProtocolVersion = 1;

// The extended operations of `i`: Linux's number, or why the drive cannot do it.
struct ExtendedOp {
    int operation;
    const char* refused;
};
constexpr ExtendedOp kExtendedOps[] = {
    {-1, "the driver has no request that switches the drive's cache on"},
    {-1, "the driver has no request that switches the drive's cache off"},
    {MTRETEN, nullptr},
    {MTERASE, nullptr},
    {MTEOM, nullptr},
    {MTBSFM, nullptr},  // backward over files to the beginning of the last one
};

// The members of struct mtget that `s` returns one at a time.
struct StatusField {
    char name;
    long (*value)(const mtget& status);
};
constexpr StatusField kStatusFields[] = {
    {'T', [](const mtget& s) { return s.mt_type; }},
    {'D', [](const mtget& s) { return s.mt_dsreg; }},
    {'E', [](const mtget& s) { return s.mt_erreg; }},
    {'R', [](const mtget& s) { return s.mt_resid; }},
    {'F', [](const mtget& s) { return static_cast<long>(s.mt_fileno); }},
    {'B', [](const mtget& s) { return static_cast<long>(s.mt_blkno); }},
};

// Standard output carries the protocol: for as long as the server runs, whatever the tool
// would print there (a trace) goes to standard error instead.
class OutputToStandardError {
public:
    OutputToStandardError() : saved_(std::cout.rdbuf(std::cerr.rdbuf())) {}
    ~OutputToStandardError() { std::cout.rdbuf(saved_); }
    OutputToStandardError(const OutputToStandardError&) = delete;
    OutputToStandardError& operator=(const OutputToStandardError&) = delete;

private:
    std::streambuf* saved_;
};

class Server {
public:
    Server(int in, int out, const SessionOptions& defaults, bool trace)
        : wire_(in, out), tape_(defaults), trace_(trace)
    {
    }
    int Run();

private:
    Next Open();
    Next Close();
    Next Read();
    Next Write();
    Next Seek();
    // I (Linux's or, after I-1, BSD's operation numbers) and i (the extended operations).
    Next Ioctl() { return Operation('I'); }
    Next ExtendedIoctl() { return Operation('i'); }
    Next Operation(char letter);
    Reply Standard(int64_t op, int64_t count);
    Reply Extended(int64_t op, int64_t count);
    Next Status();
    Next StatusOne();

    bool Arg(std::string& text);
    Next Answer(const Reply& reply);
    Next AnswerData(const Reply& reply, const uint8_t* data, size_t length);
    Next Ended();
    void Note(const std::string& text) const;

    Wire wire_;
    LinuxTape tape_;
    bool trace_;
    bool version1_ = false;
    int status_ = 0;
    std::vector<uint8_t> data_;
};

int Server::Run()
{
    struct Letter {
        char letter;
        Next (Server::*serve)();
    };
    static const Letter kLetters[] = {
        {'O', &Server::Open},          {'C', &Server::Close},  {'R', &Server::Read},
        {'W', &Server::Write},         {'L', &Server::Seek},   {'I', &Server::Ioctl},
        {'i', &Server::ExtendedIoctl}, {'S', &Server::Status}, {'s', &Server::StatusOne},
    };
    char letter = 0;
    while (wire_.Byte(letter)) {
        const auto* row = std::find_if(std::begin(kLetters), std::end(kLetters),
                                       [&](const Letter& l) { return l.letter == letter; });
        if (row == std::end(kLetters)) {
            const std::string shown = letter >= ' ' && letter <= '~'
                                          ? std::string("'") + letter + "'"
                                          : "byte " + std::to_string(letter & 0xFF);
            Answer(Failure(EINVAL, "no request starts with " + shown));
            return 1;
        }
        Next next = Next::Serve;
        try {
            next = (this->*(row->serve))();
        } catch (const std::exception& e) {
            // The store or the tool failed under a request whose bytes were all read: the
            // client learns why, and the requests after it are still told apart.
            next = Answer(Failure(EIO, e.what()));
        }
        if (next == Next::Stop) {
            return status_;
        }
    }
    return status_;
}

bool Server::Arg(std::string& text)
{
    switch (wire_.Line(text)) {
    case Wire::Got::Ok:
        return true;
    case Wire::Got::TooLong:
        Answer(Failure(EINVAL,
                       "a request line is longer than " + std::to_string(kLineMax) + " bytes"));
        break;
    case Wire::Got::End:
        Ended();
        break;
    }
    status_ = 1;
    return false;
}

Next Server::Ended()
{
    // Nothing of a request cut short is carried out: a block half received is not written.
    Answer(Failure(EIO, "the input ended inside a request"));
    status_ = 1;
    return Next::Stop;
}

void Server::Note(const std::string& text) const
{
    if (trace_) {
        std::cerr << "rmt: " << text << std::endl;
    }
}

Next Server::Answer(const Reply& reply)
{
    Note(reply.ok() ? "-> A" + std::to_string(reply.value)
                    : "-> E" + std::to_string(reply.error) + " " + reply.message);
    return wire_.Send(reply) ? Next::Serve : Next::Stop;
}

Next Server::AnswerData(const Reply& reply, const uint8_t* data, size_t length)
{
    if (!reply.ok()) {
        return Answer(reply);
    }
    Note("-> A" + std::to_string(reply.value) + " and " + std::to_string(length) + " bytes");
    return wire_.SendData(reply.value, data, length) ? Next::Serve : Next::Stop;
}

Next Server::Open()
{
    std::string name;
    std::string flags;
    if (!Arg(name) || !Arg(flags)) {
        return Next::Stop;
    }
    Note("O " + name + " " + flags);
    const std::optional<int> mode = ParseAccessMode(flags);
    if (!mode) {
        return Answer(Failure(EINVAL, "open flags '" + flags + "' name no access mode"));
    }
    return Answer(tape_.Open(name, *mode));
}

Next Server::Close()
{
    std::string ignored;  // the device named again; only one is ever open
    if (!Arg(ignored)) {
        return Next::Stop;
    }
    Note("C");
    return Answer(tape_.Close());
}

Next Server::Read()
{
    std::string text;
    if (!Arg(text)) {
        return Next::Stop;
    }
    Note("R " + text);
    const std::optional<int64_t> count = ParseNumber(text);
    if (!count || *count < 0) {
        return Answer(Failure(EINVAL, "'" + text + "' is no byte count"));
    }
    const Reply reply = tape_.Read(static_cast<size_t>(*count), data_);
    return AnswerData(reply, data_.data(), reply.ok() ? static_cast<size_t>(reply.value) : 0);
}

Next Server::Write()
{
    std::string text;
    if (!Arg(text)) {
        return Next::Stop;
    }
    Note("W " + text);
    const std::optional<int64_t> count = ParseNumber(text);
    if (!count || *count < 0) {
        // Without its length the data cannot be told from the requests after it.
        Answer(Failure(EINVAL, "'" + text + "' is no byte count"));
        status_ = 1;
        return Next::Stop;
    }
    const auto length = static_cast<uint64_t>(*count);
    if (length > kTransferMax) {
        if (!wire_.Skip(length)) {
            return Ended();
        }
        return Answer(Failure(EINVAL, "a write of " + std::to_string(length) +
                                          " bytes is more than one request may carry (" +
                                          std::to_string(kTransferMax) + ")"));
    }
    data_.clear();
    if (!wire_.Take(static_cast<size_t>(length), data_)) {
        return Ended();
    }
    return Answer(tape_.Write(data_));
}

Next Server::Seek()
{
    std::string whence;
    std::string offset;
    if (!Arg(whence) || !Arg(offset)) {
        return Next::Stop;
    }
    Note("L " + whence + " " + offset);
    static const char* const kNames[] = {"SET", "CUR", "END", "SEEK_SET", "SEEK_CUR", "SEEK_END"};
    const bool named = std::find(std::begin(kNames), std::end(kNames), whence) != std::end(kNames);
    if ((!named && !ParseNumber(whence)) || !ParseNumber(offset)) {
        return Answer(Failure(EINVAL, "a seek needs a direction and an offset"));
    }
    if (!tape_.IsOpen()) {
        return Answer(Failure(EBADF, "no tape is open (send O first)"));
    }
    // A tape does not seek: Linux's st answers lseek with offset 0 and leaves the tape where
    // it stands, which is what a client that checks the answer learns here too.
    return Answer(Reply::Done(0));
}

Next Server::Operation(char letter)
{
    std::string operation;
    std::string count;
    if (!Arg(operation) || !Arg(count)) {
        return Next::Stop;
    }
    Note(std::string(1, letter) + " " + operation + " " + count);
    const std::optional<int64_t> op = ParseNumber(operation);
    const std::optional<int64_t> n = ParseNumber(count);
    if (!op || !n) {
        return Answer(Failure(EINVAL, "an operation needs a number and a count"));
    }
    return Answer(letter == 'i' ? Extended(*op, *n) : Standard(*op, *n));
}

Reply Server::Standard(int64_t op, int64_t count)
{
    if (op == -1) {
        version1_ = true;  // the client numbers its operations as BSD does from now on
        return Reply::Done(kProtocolVersion);
    }
    if (!version1_) {
        return tape_.Operate(op, count);
    }
    if (op < 0 || op >= static_cast<int64_t>(std::size(kVersion1Ops))) {
        return Failure(EINVAL, "version 1 numbers its operations 0 to 7");
    }
    return tape_.Operate(kVersion1Ops[op], count);
}

Reply Server::Extended(int64_t op, int64_t count)
{
    if (op < 0 || op >= static_cast<int64_t>(std::size(kExtendedOps))) {
        return Failure(EINVAL, "extended operations are numbered 0 to 5");
    }
    const ExtendedOp& row = kExtendedOps[op];
    if (row.refused != nullptr) {
        return Failure(ENOSYS, row.refused);
    }
    return tape_.Operate(row.operation, count);
}

Next Server::Status()
{
    Note("S");
    mtget status{};
    const Reply reply = tape_.Status(status);
    return AnswerData(reply, reinterpret_cast<const uint8_t*>(&status), sizeof(status));
}

Next Server::StatusOne()
{
    char name = 0;
    if (!wire_.Byte(name)) {
        return Ended();
    }
    Note(std::string("s ") + name);
    const auto* field = std::find_if(std::begin(kStatusFields), std::end(kStatusFields),
                                     [&](const StatusField& f) { return f.name == name; });
    if (field == std::end(kStatusFields)) {
        return Answer(Failure(EINVAL, "Linux's struct mtget has no member that 's" +
                                          std::string(1, name) + "' could name"));
    }
    mtget status{};
    const Reply reply = tape_.Status(status);
    return Answer(reply.ok() ? Reply::Done(field->value(status)) : reply);
}

}  // namespace

int Serve(int in, int out, const SessionOptions& defaults, bool trace)
{
    const OutputToStandardError traceAside;
    Server server(in, out, defaults, trace);
    return server.Run();
}

}  // namespace tools::rmt
