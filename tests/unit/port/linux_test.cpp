// The port layer on Linux: each test in a network namespace of its own (unshare), so the veth
// pairs it makes vanish with it. Needs root (CAP_NET_ADMIN, CAP_NET_RAW, CAP_BPF).
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

#include "net/io/fd.h"
#include "net/port/link_monitor.h"
#include "net/port/linux_port_ops.h"

// tc_pass.bpf.c's skeleton, generated at build time (tests/unit/port/CMakeLists.txt).
#include "tc_pass.skel.h"

namespace netp::port {
namespace {

void sh(const std::string& cmd) {
    if (std::system((cmd + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("failed: " + cmd);
}

class InNamespace : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "this test needs root: it makes a network namespace, veth "
                                      "pairs, tc filters and packet sockets";
        ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << "unshare(CLONE_NEWNET): " << std::strerror(errno);
    }
};

// Reads the monitor until an event satisfies want, for up to two seconds.
bool await(LinkMonitor& m, const std::function<bool(const LinkEvent&)>& want) {
    for (int i = 0; i < 40; ++i) {
        for (const LinkEvent& e : m.read())
            if (want(e))
                return true;
        pollfd p{m.fd(), POLLIN, 0};
        ::poll(&p, 1, 50);
    }
    return false;
}

bool is(const LinkEvent& e, LinkChange c, const std::string& name) {
    return e.change == c && e.link.name == name;
}

using LinkMonitorLinux = InNamespace;

TEST_F(LinkMonitorLinux, FollowsAVethFromCreationToDeletion) {
    LinkMonitor m;
    EXPECT_TRUE(await(m, [](const LinkEvent& e) { return e.change == LinkChange::Synced; }));
    sh("ip link add v0 type veth peer name v1");
    EXPECT_TRUE(await(m, [](const LinkEvent& e) { return is(e, LinkChange::Added, "v1"); }));
    const uint32_t v0 = ::if_nametoindex("v0");
    ASSERT_NE(m.find(v0), nullptr);
    EXPECT_EQ(m.find(v0)->mtu, 1500u);

    sh("ip link set v0 name w0");
    EXPECT_TRUE(await(m, [](const LinkEvent& e) {
        return is(e, LinkChange::Changed, "w0") && e.before.name == "v0";
    }));
    // A removal sent by another socket than the kernel's is not believed.
    sockaddr_nl to{};
    socklen_t len = sizeof to;
    ASSERT_EQ(::getsockname(m.fd(), reinterpret_cast<sockaddr*>(&to), &len), 0);
    RtnlRequest forged;
    nlmsghdr* nlh = forged.header(RTM_DELLINK, 0);
    static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)))->ifi_index = v0;
    mnl_attr_put_strz(nlh, IFLA_IFNAME, "w0");
    const Fd forger(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    ASSERT_GT(::sendto(forger.get(), nlh, nlh->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&to), len),
              0);
    sh("ip link set w0 mtu 9000");
    EXPECT_TRUE(await(m, [](const LinkEvent& e) {
        return is(e, LinkChange::Changed, "w0") && e.link.mtu == 9000;
    }));
    sh("ip link set v1 up");
    sh("ip link set w0 up");
    EXPECT_TRUE(await(m, [](const LinkEvent& e) {
        return is(e, LinkChange::Changed, "w0") && e.link.adminUp && e.link.carrier;
    }));
    sh("ip link set v1 down");
    EXPECT_TRUE(await(m, [](const LinkEvent& e) {
        return is(e, LinkChange::Changed, "w0") && e.link.adminUp && !e.link.carrier;
    }));

    sh("ip link del w0");
    EXPECT_TRUE(await(m, [](const LinkEvent& e) { return is(e, LinkChange::Removed, "w0"); }));
    EXPECT_EQ(m.find(v0), nullptr);
    EXPECT_EQ(m.stats().overruns, 0u);
}

TEST_F(LinkMonitorLinux, AnOverrunIsRecoveredByADump) {
    LinkMonitor m(1);  // the smallest buffer the kernel gives: a few notifications fill it
    EXPECT_TRUE(await(m, [](const LinkEvent& e) { return e.change == LinkChange::Synced; }));
    std::vector<uint32_t> deleted;
    for (int i = 0; i < 8; ++i) {
        const std::string a = "a" + std::to_string(i);
        sh("ip link add " + a + " type veth peer name b" + std::to_string(i));
        sh("ip link set " + a + " mtu " + std::to_string(2000 + i));
        if (i % 2 == 0) {
            deleted.push_back(::if_nametoindex(a.c_str()));
            sh("ip link del " + a);
        }
    }
    // Dumps follow as long as they are overrun themselves; read until one ends in peace.
    while (await(m, [](const LinkEvent& e) { return e.change == LinkChange::Synced; })) {
    }
    EXPECT_GT(m.stats().overruns, 0u);
    for (uint32_t gone : deleted)
        EXPECT_EQ(m.find(gone), nullptr) << "ifindex " << gone;
    for (int i = 1; i < 8; i += 2) {
        const Link* l = m.find(::if_nametoindex(("a" + std::to_string(i)).c_str()));
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(l->mtu, 2000u + i);
    }
}

// The test programs, from the skeleton the build generated (tc_pass.skel.h).
class Programs {
  public:
    Programs() : skel_(tc_pass::open_and_load()) {
        if (skel_ == nullptr)
            throw std::runtime_error(std::string("cannot load tc_pass: ") + std::strerror(errno));
    }
    ~Programs() { tc_pass::destroy(skel_); }
    Programs(const Programs&) = delete;
    Programs& operator=(const Programs&) = delete;
    int pass() const { return bpf_program__fd(skel_->progs.pass); }
    int other() const { return bpf_program__fd(skel_->progs.other); }
    uint32_t id(int fd) const {
        bpf_prog_info info{};
        uint32_t len = sizeof info;
        return bpf_obj_get_info_by_fd(fd, &info, &len) == 0 ? info.id : 0;
    }

  private:
    tc_pass* skel_;
};

// A tc place as libbpf names it, to look at our filters and to put somebody else's there.
struct Place {
    Place(int ifindex, bpf_tc_attach_point hook, uint32_t handle, uint32_t priority) {
        h.sz = sizeof h;
        h.ifindex = ifindex;
        h.attach_point = hook;
        o.sz = sizeof o;
        o.handle = handle;
        o.priority = priority;
    }
    // The program there, 0 when none.
    uint32_t program() {
        bpf_tc_opts q = o;
        return bpf_tc_query(&h, &q) == 0 ? q.prog_id : 0;
    }
    void attachForeign(int prog) {
        bpf_tc_hook_create(&h);
        bpf_tc_opts a = o;
        a.prog_fd = prog;
        if (bpf_tc_attach(&h, &a) != 0)
            throw std::runtime_error("libbpf could not attach the foreign filter");
    }
    bpf_tc_hook h{};
    bpf_tc_opts o{};
};

using LinuxPortOpsTest = InNamespace;

// Ours at both hooks, no other filter touched, another's in our place refused. Restarts, crashes
// and upgrades attach over what an earlier daemon left, in place and atomically: one program of
// ours per hook whatever the sequence; the clsact qdisc goes only when nothing hangs on it.
TEST_F(LinuxPortOpsTest, AttachesAndReplacesOnlyItsOwnFilterAtEachHook) {
    const Programs progs;
    sh("ip link add v0 type veth peer name v1");
    const auto v0 = ::if_nametoindex("v0");
    const int ifindex = static_cast<int>(v0);
    const uint32_t pass = progs.id(progs.pass());
    const uint32_t other = progs.id(progs.other());
    Place ingress(ifindex, BPF_TC_INGRESS, LinuxPortOps::kHandle, LinuxPortOps::kPriority);
    Place egress(ifindex, BPF_TC_EGRESS, LinuxPortOps::kHandle, LinuxPortOps::kPriority);
    Place foreign(ifindex, BPF_TC_INGRESS, 1, 1);
    foreign.attachForeign(progs.other());

    LinuxPortOps ops;
    const TcPrograms tc{progs.pass(), progs.pass()};
    const OpStatus first = ops.attach(v0, tc);
    ASSERT_TRUE(first.ok()) << first.text();
    EXPECT_EQ(ingress.program(), pass);
    EXPECT_EQ(egress.program(), pass);
    EXPECT_TRUE(ops.attach(v0, tc).ok()) << "attaching again replaces ours";
    EXPECT_EQ(ingress.program(), pass);
    ASSERT_TRUE(ops.detach(v0).ok());
    EXPECT_EQ(ingress.program(), 0u);
    EXPECT_EQ(egress.program(), 0u);
    EXPECT_EQ(foreign.program(), other);

    egress.attachForeign(progs.other());
    const OpStatus st = ops.attach(v0, tc);
    EXPECT_EQ(st.error, EEXIST);
    EXPECT_NE(st.text().find("holds another filter"), std::string::npos) << st.text();
    EXPECT_EQ(ingress.program(), 0u);
    EXPECT_TRUE(ops.detach(v0).ok());
    EXPECT_EQ(egress.program(), other);
    EXPECT_EQ(ops.attach(v0 + 100, tc).error, ENODEV);
    for (Place* p : {&egress, &foreign}) {  // no filter but ours in the restarts below
        bpf_tc_opts del = p->o;
        ASSERT_EQ(bpf_tc_detach(&p->h, &del), 0);
    }

    const TcPrograms b{progs.other(), progs.other()};
    for (const TcPrograms* next : {&tc, &b, &b, &tc, &b}) {
        LinuxPortOps daemon;  // each a daemon of its own, as after a restart
        ASSERT_TRUE(daemon.attach(v0, *next).ok());
        const uint32_t want = next == &tc ? pass : other;
        EXPECT_EQ(ingress.program(), want);
        EXPECT_EQ(egress.program(), want);
        for (const auto hook : {LinuxPortOps::Hook::Ingress, LinuxPortOps::Hook::Egress}) {
            size_t n = 0;
            ASSERT_TRUE(daemon.countFilters(v0, hook, n).ok());
            EXPECT_EQ(n, 1u);
            LinuxPortOps::Holder h;
            ASSERT_TRUE(daemon.holder(v0, hook, h).ok());
            EXPECT_TRUE(h.ours());
            EXPECT_EQ(h.program, want);
        }
    }
    // A restart that fails at the egress leaves the port on our filters: its frames go on
    // through the pipeline, never round it.
    const Fd notBpf(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_FALSE(LinuxPortOps().attach(v0, {progs.pass(), notBpf.get()}).ok());
    EXPECT_EQ(ingress.program(), pass);
    EXPECT_EQ(egress.program(), other);
    bool removed = true;
    ASSERT_TRUE(ops.removeEmptyClsact(v0, &removed).ok());
    EXPECT_FALSE(removed) << "our filters hang on it";
    ASSERT_TRUE(ops.detach(v0).ok());
    Place foreignOut(ifindex, BPF_TC_EGRESS, 1, 1);
    foreignOut.attachForeign(progs.other());
    ASSERT_TRUE(ops.removeEmptyClsact(v0, &removed).ok());
    EXPECT_FALSE(removed) << "another's filter hangs on it";
    EXPECT_EQ(foreignOut.program(), other);
    bpf_tc_opts del = foreignOut.o;
    ASSERT_EQ(bpf_tc_detach(&foreignOut.h, &del), 0);
    ASSERT_TRUE(ops.removeEmptyClsact(v0, &removed).ok());
    EXPECT_TRUE(removed);
    EXPECT_EQ(std::system("tc qdisc show dev v0 | grep -q clsact"), 256);
}

}  // namespace
}  // namespace netp::port
