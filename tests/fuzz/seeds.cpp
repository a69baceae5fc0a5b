// Writes the seed inputs of every fuzz target under a corpus directory: the control messages
// as the chassis models encode them, the frames of each protocol as the line cards trap them,
// and chassis files and scenarios. Run once to start a corpus; fuzzing grows it from there.
//
//   fuzz_seeds tests/fuzz/corpus
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/chassis.h"
#include "chassis/config.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "platform/wire/swp.h"
#include "tests/fuzz/harness.h"
#include "tests/support/frames.h"
#include "tests/support/task_sim.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kHaRolesSettled = 3;
constexpr uint32_t kHaOtherEvent = 1;

// Keeps what the models send to the task instead of delivering it.
class Recorder final : public chassis::TaskLink {
  public:
    void toTask(Bytes msg) override { msgs.push_back(std::move(msg)); }
    bool toPduSocket(int, uint32_t, std::span<const uint8_t>) override { return false; }
    std::vector<Bytes> msgs;
};

class Writer {
  public:
    explicit Writer(fs::path root) : root_(std::move(root)) {}
    void put(std::string_view target, std::string_view name, std::span<const uint8_t> bytes) {
        const fs::path dir = root_ / target;
        fs::create_directories(dir);
        std::ofstream(dir / ("seed-" + std::string(name)), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    void put(std::string_view target, std::string_view name, std::string_view text) {
        put(target, name, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    }
    // Every message the models sent since the last take, numbered after name. A sequenced
    // message gets sequence number 1: the target gives each input a session of its own.
    void take(Recorder& r, std::string_view target, std::string_view name) {
        for (size_t i = 0; i < r.msgs.size(); ++i) {
            if (r.msgs[i].size() >= hdr::kSeqHeaderLen &&
                swpw::magic(r.msgs[i].data()) == swpw::kSwpMagic)
                swpw::setSeq(r.msgs[i].data(), 1);
            put(target, std::string(name) + (r.msgs.size() > 1 ? "-" + std::to_string(i) : ""),
                r.msgs[i]);
        }
        r.msgs.clear();
    }

  private:
    fs::path root_;
};

void controlSeeds(Writer& w) {
    Recorder r;
    chassis::Chassis c(chassis::loadChassisText(fuzz::kChassis, "fuzz"), r);
    auto ifIndex = [&](std::string_view name) { return *c.ifdb().find(name); };
    auto port = [&](std::string_view name, bool core) {
        return chassis::Ifm::PortMode{ifIndex(name), core ? vlanmsg::kModeCorePort : 0u};
    };
    using chassis::Ifm;
    const Ifm::VlanBlock vl10{ifIndex("vl10"),
                              chassis::kProtoStp | chassis::kProtoGvrp,
                              128,
                              {port("ge0/0", false), port("te1/2", false), port("lag1", true)}};
    const Ifm::VlanBlock vl100{ifIndex("vl100"), chassis::kProtoLldp, 0, {port("ge0/7", false)}};
    const Ifm::VlanBlock vl200{ifIndex("vl200"), chassis::kProtoPvst, 0, {port("ge0/3", false)}};

    c.ifm().vlanAdd({vl10, vl100});
    w.take(r, "ifm_config", "vlan-add");
    c.ifm().vlanDel({vl200});
    w.take(r, "ifm_config", "vlan-del");
    c.ifm().vlanDisable({{ifIndex("vl100"), chassis::kProtoStp, 0, {}}});
    w.take(r, "ifm_config", "vlan-disable");
    c.ifm().lagAdd({{ifIndex("lag1"), {ifIndex("ge0/0"), ifIndex("te1/2")}}});
    w.take(r, "ifm_config", "lag-add");
    c.ifm().lagDel({{ifIndex("lag1"), {ifIndex("te1/3")}}});
    w.take(r, "ifm_config", "lag-del");
    c.ifm().rateSet(ifIndex("vl200"), 256);
    w.take(r, "ifm_config", "rate-set");
    c.ifm().rateRemove(ifIndex("vl100"));
    w.take(r, "ifm_config", "rate-remove");
    c.ifm().tunnelMac({0x02, 0x00, 0x00, 0x00, 0x00, 0x01}, true);
    w.take(r, "ifm_config", "tunnel-mac");
    c.ifm().tunnelMacDefault();
    w.take(r, "ifm_config", "tunnel-mac-default");
    c.ifm().vmanTpid(0x88A8);
    w.take(r, "ifm_config", "vman-tpid");

    c.events().raw(EVT_LINECARD_UP, 1);
    w.take(r, "card_event", "up");
    c.events().raw(EVT_LINECARD_DOWN, 1);
    w.take(r, "card_event", "down");
    c.events().raw(EVT_LINECARD_REMOVED, 0);
    w.take(r, "card_event", "removed");

    c.ha().event(kHaRolesSettled);
    w.take(r, "ha_control", "roles-settled");
    c.ha().event(kHaOtherEvent);
    w.take(r, "ha_control", "other");

    c.peer().regRequest();
    w.take(r, "peer_rpm", "reg-request");
    c.peer().regReply(0x3, 0);
    w.take(r, "peer_rpm", "reg-reply");
    c.peer().aclUpdate(0x2);
    w.take(r, "peer_rpm", "acl-update");

    c.cli().debugFilter(ifIndex("ge0/1"), 100, 5, 1, false);
    w.take(r, "cli", "debug");
    c.cli().debugFilter(ifIndex("ge0/1"), 0, 0, 0, true);
    w.take(r, "cli", "undebug");
    c.cli().show(100);
    w.take(r, "cli", "show");
    c.cli().showAll();
    w.take(r, "cli", "show-all");
    c.cli().undebugAll();
    w.take(r, "cli", "undebug-all");

    c.mgr().disable();
    w.take(r, "task_disable", "disable");
}

// The port selector byte of the PDU targets: the index of port in ports.
uint8_t selector(std::span<const std::string_view> ports, std::string_view port) {
    for (size_t i = 0; i < ports.size(); ++i) {
        if (ports[i] == port)
            return static_cast<uint8_t>(i);
    }
    throw std::invalid_argument("no fuzz port " + std::string(port));
}

void frameSeeds(Writer& w) {
    using namespace frames;
    struct Kind {
        const char* name;
        Bytes (*make)(uint16_t);
    };
    const Kind kinds[] = {{"stp", stp}, {"lldp", lldp}, {"gvrp", gvrp}, {"pvst", pvst}};
    for (const Kind& k : kinds) {
        Bytes in{selector(fuzz::kAccessPorts, "ge0/1")};
        const Bytes customer = k.make(100);
        in.insert(in.end(), customer.begin(), customer.end());
        w.put("pdu_access", k.name, in);

        Bytes tun{selector(fuzz::kCorePorts, "ge0/5")};
        const Bytes t = tunnelled(customer, 100);
        tun.insert(tun.end(), t.begin(), t.end());
        w.put("pdu_tunnel", k.name, tun);
    }
    Bytes lagIn{selector(fuzz::kCorePorts, "te1/3")};
    const Bytes t = tunnelled(pvst(200), 200);
    lagIn.insert(lagIn.end(), t.begin(), t.end());
    w.put("pdu_tunnel", "pvst-lag", lagIn);
    Bytes access200{selector(fuzz::kAccessPorts, "ge0/3")};
    const Bytes s = stp(200);
    access200.insert(access200.end(), s.begin(), s.end());
    w.put("pdu_access", "stp-vl200", access200);
    // Longer than the task's receive buffer: the fuzzer's length limit grows too slowly to
    // reach it from the protocol frames alone.
    constexpr size_t kOversize = 1700;
    Bytes jumbo = access200;
    jumbo.resize(kOversize);
    w.put("pdu_access", "stp-oversize", jumbo);
}

void fileSeeds(Writer& w, const fs::path& source) {
    w.put("chassis_file", "fuzz", fuzz::kChassis);
    w.put("chassis_file", "test", tsim::kChassis);
    for (const auto& e : fs::directory_iterator(source / "examples")) {
        std::ifstream in(e.path(), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        w.put(e.path().extension() == ".yaml" ? "chassis_file" : "scenario_file",
              e.path().filename().string(), text);
    }
    // One line of every kind the scenario language has.
    w.put("scenario_file", "every-input", R"(# every input
vlan-add vlan=vl100 proto=stp,lldp rate=64 ports=ge0/1:access,ge0/5:core ; vlan=200 proto=8 ports=lag1:core
vlan-del vlan=vl100 proto=stp ports=ge0/1:access
vlan-disable vlan=vl100 proto=lldp
lag-add lag=lag1 members=ge0/0,te1/2 ; lag=lag1 members=ge0/7
lag-del lag=lag1 members=te1/2
rate-set vlan=vl100 rate=0x40
rate-remove vlan=vl100
tunnel-mac 02:00:00:00:00:01 replace-global=1
tunnel-mac default
vman-tpid 0x88a8
raw type=24405 seq=7 body=0001 0203
raw-bytes 00000000 00000000 0000003c
card up 1
card down 1
card removed 1
event id=0x118011 slot=2
frame ge0/1 0180c2000000 001b213c4d5e 8100 0064 0026 424203
ha-event 3
role secondary
peer reg-request
peer reg-reply bitmap=3 master=0
peer acl-update bitmap=2
peer raw type=24416 status=-1 bitmap=0 master=1
peer-role primary bitmap=1 master=2
cli debug ge0/1 vlan=100 count=5 dir=in
cli undebug ge0/1
cli show vl100
cli show-all
cli sub=8 remove=1 if=if:1234 w92=1 vlan=5 count=1 dir=2
undebug-all
fault arm ifm-silent uses=2
fault clear ifm-silent
advance 1s
advance 20ms
advance 500us
set l2pt_debug_cp 1
settle
task-disable
)");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR SOURCE_DIR\n", argv[0]);
        return 2;
    }
    Writer w(argv[1]);
    controlSeeds(w);
    frameSeeds(w);
    fileSeeds(w, argv[2]);
    return 0;
}
