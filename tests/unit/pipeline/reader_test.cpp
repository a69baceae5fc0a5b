// l2ptd's side, without privileges: the trap ring and tables, and the ring's record walk.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/pipeline/records.h"
#include "net/pipeline/table_view.h"
#include "switch.h"

namespace l2pt_test {
namespace {

using netp::pipeline::TableView;
using netp::pipeline::TrapRing;
using netp::pipeline::ViewFds;

constexpr uid_t kNobody = 65534;

// What l2ptd does with what the daemon hands it, as nobody; what went wrong, empty if nothing.
std::string readAsTask(netp::Fd ring, const ViewFds& view, const std::vector<Bytes>& pdus) {
    if (::setgroups(0, nullptr) || ::setgid(kNobody) || ::setuid(kNobody))
        return "could not become nobody";
    auto reader = TrapRing::map(std::move(ring), L2PT_RING_BYTES);
    if (!reader)
        return reader.status().what();
    pollfd p{reader->fd(), POLLIN, 0};
    if (::poll(&p, 1, 0) != 1)
        return "the ring is not readable";
    for (const Bytes& want : pdus) {
        auto rec = netp::pipeline::parseTrapRecord(reader->peek());
        if (!rec || Bytes(rec->frame.begin(), rec->frame.end()) != want)
            return "a record other than the PDU trapped";
        reader->release();
    }
    if (!reader->peek().empty())
        return "a record more than was trapped";

    auto tables = TableView::map(view);
    if (!tables)
        return tables.status().what();
    if (tables->globals().tpid != L2PT_TPID_VMAN || tables->lport(4)->lag != kLag ||
        tables->lport(kLag)->live[1] != 5 || tables->role(100, 2) != TableView::Role::Core ||
        tables->role(100, 0) != TableView::Role::Access ||
        tables->role(200, 0) != TableView::Role::None || tables->lport(L2PT_MAX_LPORTS))
        return "the tables read otherwise than they were written";
    void* w = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, view.lports.get(), 0);
    if (w != MAP_FAILED)
        return "the task could map a table writable";
    return "";
}

TEST_F(Switch, TaskReadsItsRingAndTablesWithoutPrivileges) {
    auto ring = tables->newTaskRing();
    auto view = tables->viewFds();
    ASSERT_TRUE(ring && view) << ring.status().what() << view.status().what();
    ASSERT_TRUE(tables->installTrap(netp::pipeline::TrapKey::port(chassisIf(1), kStp), 0));
    std::vector<Bytes> pdus;
    for (size_t len : {38u, 300u}) {
        pdus.push_back(frame(kStp, host(9), {{0x8100, 100}}, 0x0026, len));
        run(1, pdus.back());
    }
    // In a child of its own; what went wrong is on its stderr, which a failure shows.
    EXPECT_EXIT(
        {
            const std::string err = readAsTask(std::move(*ring), *view, pdus);
            std::fputs(err.c_str(), stderr);
            std::_Exit(err.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A ring in a memfd laid out as the kernel lays one out: consumer page, producer page, and the
// data twice. Records start 8 bytes before the data's end, so the first one wraps.
TEST(TrapRing, SkipsDiscardedRecordsAndWaitsForUncommittedOnes) {
    const size_t page = netp::pipeline::pageSize(), size = page;
    Bytes data(size);
    uint64_t pos = size - 8;
    const uint64_t start = pos;
    auto record = [&](uint32_t flags, const std::string& body) {
        const uint32_t header[2] = {static_cast<uint32_t>(body.size()) | flags, 0};
        Bytes bytes(reinterpret_cast<const uint8_t*>(header),
                    reinterpret_cast<const uint8_t*>(header + 2));
        bytes.insert(bytes.end(), body.begin(), body.end());
        for (size_t i = 0; i < bytes.size(); i++)
            data[(pos + i) & (size - 1)] = bytes[i];
        pos += (bytes.size() + 7) / 8 * 8;
    };
    record(0, "wraps past the end");
    record(BPF_RINGBUF_DISCARD_BIT, "discarded");
    record(0, "kept");
    const uint64_t committed = pos;
    record(BPF_RINGBUF_BUSY_BIT, "not yet");
    netp::Fd fd(::memfd_create("ring", MFD_CLOEXEC));
    ASSERT_EQ(::pwrite(fd.get(), &start, sizeof start, 0), 8);
    ASSERT_EQ(::pwrite(fd.get(), &pos, sizeof pos, static_cast<off_t>(page)), 8);
    for (size_t copy : {2 * page, 2 * page + size})
        ASSERT_EQ(::pwrite(fd.get(), data.data(), size, static_cast<off_t>(copy)),
                  static_cast<ssize_t>(size));

    auto ring = TrapRing::map(netp::Fd(::dup(fd.get())), size);
    ASSERT_TRUE(ring) << ring.status().what();
    auto text = [](std::span<const uint8_t> r) { return std::string(r.begin(), r.end()); };
    EXPECT_EQ(text(ring->peek()), "wraps past the end");
    EXPECT_EQ(text(ring->peek()), "wraps past the end");  // until released
    ring->release();
    EXPECT_EQ(text(ring->peek()), "kept");
    ring->release();
    EXPECT_TRUE(ring->peek().empty());
    ring->publish();
    uint64_t consumer = 0;
    ASSERT_EQ(::pread(fd.get(), &consumer, sizeof consumer, 0), 8);
    EXPECT_EQ(consumer, committed);

    EXPECT_FALSE(TrapRing::map(netp::Fd(::dup(fd.get())), size + 1));

    // A consumer position ahead of the producer's or further behind than the ring holds: none is
    // read, and the producer's is published, lest the kernel take the ring for full.
    for (const uint64_t left : {pos + 8, pos - size - 8, uint64_t{0}}) {
        ASSERT_EQ(::pwrite(fd.get(), &left, sizeof left, 0), 8);
        auto taken = TrapRing::map(netp::Fd(::dup(fd.get())), size);
        ASSERT_TRUE(taken) << taken.status().what();
        EXPECT_TRUE(taken->peek().empty()) << left;
        ASSERT_EQ(::pread(fd.get(), &consumer, sizeof consumer, 0), 8);
        EXPECT_EQ(consumer, pos) << left;
    }
}

// A record's length is believed only within the record and the longest frame trapped.
TEST(TrapRecord, LengthStaysWithinTheRecordAndTheLongestFrame) {
    constexpr size_t kFrameAt = offsetof(l2pt_trap_rec, frame);
    struct Row {
        size_t room;
        uint16_t len;
        bool parsed;
    };
    for (const Row& r : {Row{100, 100, true}, Row{100, 101, false}, Row{0, 0, true},
                         Row{L2PT_TRAP_MAX_LEN, L2PT_TRAP_MAX_LEN, true},
                         Row{L2PT_TRAP_MAX_LEN + 1, L2PT_TRAP_MAX_LEN + 1, false}}) {
        Bytes rec(kFrameAt + r.room, 0xAB);
        std::memcpy(&rec[offsetof(l2pt_trap_rec, len)], &r.len, sizeof r.len);
        const auto t = netp::pipeline::parseTrapRecord(rec);
        ASSERT_EQ(t.has_value(), r.parsed) << r.room << " " << r.len;
        if (t) {
            EXPECT_EQ(t->frame.size(), r.len);
        }
    }
    EXPECT_FALSE(netp::pipeline::parseTrapRecord(Bytes(kFrameAt - 1)));
}

}  // namespace
}  // namespace l2pt_test
