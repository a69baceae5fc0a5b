// The chassis daemon's sockets: one daemon (no Linux interfaces, so no privilege needed) in a
// scratch run directory, one task session of the fuzzer's own, and each input a datagram on one
// of them. The first byte picks the way in: a fresh task connection (its hello), the session's
// control, IPC or heartbeat channel, or a fresh l2ptctl connection (a request). The daemon runs
// until nothing is left to read; a daemon that stops serving is reported at once.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "net/daemon/daemon.h"
#include "net/io/socket.h"
#include "net/proto/protocol.h"
#include "platform/wire/bytes.h"
#include "tests/fuzz/harness.h"

namespace {

enum Way : uint8_t { kHello, kControl, kIpc, kBeat, kCtl, kWays };
constexpr int kSettlePasses = 16;

struct Rig {
    std::string dir;
    netp::Logger log{{"", std::getenv("L2PT_FUZZ_TRACE") != nullptr}};
    std::unique_ptr<netp::Daemon> daemon;
    netp::Fd control;
    netp::Fd ipc;
    netp::Fd beat;

    Rig() {
        char tmpl[] = "/tmp/l2pt-fuzz-daemon-XXXXXX";
        dir = ::mkdtemp(tmpl);
        const std::string chassis = dir + "/chassis-in.yaml";
        std::ofstream(chassis) << fuzz::kChassis;
        netp::DaemonOptions o;
        o.chassisFile = chassis;
        o.runDir = dir + "/run";
        daemon = std::make_unique<netp::Daemon>(o, log);
        control = open(netp::Channel::Control, 0, 0);
        session = sessionOf(control.get());
        ipc = open(netp::Channel::Ipc, session, 0);
        beat = open(netp::Channel::Heartbeat, session, 0);
    }

    ~Rig() {
        control.reset();
        ipc.reset();
        beat.reset();
        daemon.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);  // the scratch run directory goes with the run
    }

    uint32_t session = 0;
    std::vector<uint8_t> buf;

    netp::Fd connect(const char* socketName) {
        netp::Fd fd = netp::connectSeqpacket(dir + "/run/" + socketName);
        if (!fd.valid())
            abort("cannot connect");
        return fd;
    }
    netp::Fd open(netp::Channel channel, uint32_t sessionId, uint32_t arg) {
        netp::Fd fd = connect(netp::kTaskSocket);
        std::vector<uint8_t> h(netp::hello::kLen);
        wire::putU32(h.data(), netp::hello::kMagic, netp::kMagic);
        wire::putU16(h.data(), netp::hello::kVersion, netp::kVersion);
        wire::putU16(h.data(), netp::hello::kChannel, static_cast<uint16_t>(channel));
        wire::putU32(h.data(), netp::hello::kSession, sessionId);
        wire::putU32(h.data(), netp::hello::kArg, arg);
        netp::sendDatagram(fd.get(), h);
        settle();
        if (netp::recvDatagram(fd.get(), buf, false) != netp::Recv::Ok ||
            buf.size() < netp::welcome::kLen || wire::getI32(buf.data(), netp::welcome::kStatus))
            abort("a well-formed hello was refused");
        return fd;
    }
    uint32_t sessionOf(int) const { return wire::getU32(buf.data(), netp::welcome::kSession); }
    void settle() {
        for (int i = 0; i < kSettlePasses; ++i) {
            if (!daemon->step(0))
                abort("the daemon stopped");
        }
    }
    void drain(int fd) {
        while (netp::recvDatagram(fd, buf, false) == netp::Recv::Ok) {
        }
    }
    [[noreturn]] static void abort(const char* why) {
        std::fprintf(stderr, "daemon fuzz: %s\n", why);
        std::abort();
    }
};

Rig& rig() {
    static Rig r;
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    Rig& r = rig();
    const auto way = static_cast<Way>(data[0] % kWays);
    const std::span<const uint8_t> body(data + 1, size - 1);
    if (body.empty())
        return 0;  // an empty datagram reads as the end of a SEQPACKET connection
    switch (way) {
        case kHello:
        case kCtl: {
            netp::Fd fd = r.connect(way == kHello ? netp::kTaskSocket : netp::kCtlSocket);
            netp::sendDatagram(fd.get(), body);
            r.settle();
            r.drain(fd.get());
            break;
        }
        case kControl:
            netp::sendDatagram(r.control.get(), body);
            r.settle();
            r.drain(r.control.get());
            break;
        case kIpc:
        case kBeat:
            netp::sendDatagram((way == kIpc ? r.ipc : r.beat).get(), body);
            r.settle();
            break;
        default:
            break;
    }
    r.drain(r.ipc.get());
    r.drain(r.beat.get());
    r.settle();
    return 0;
}
