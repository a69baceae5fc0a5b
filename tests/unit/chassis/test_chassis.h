// A small chassis shared by the chassis unit tests, the ACL messages the task sends its agents,
// and the frame table's changes to the chassis models.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/chassis.h"
#include "chassis/config.h"
#include "chassis/l2cp.h"
#include "chassis/message.h"
#include "chassis/model.h"
#include "chassis/trace.h"
#include "platform/wire/l2pt.h"
#include "tests/support/frame_table.h"

namespace chassis::test {

// Slot 0: per-port agent, p0/0..p0/3 (p0/3's untagged frames get VLAN 30); slot 1: global agent,
// p1/0..p1/1; slot 2: silent agent, absent at start. lag5 of p0/2 and p1/1. VLANs 100 and 4095.
inline constexpr std::string_view kYaml = R"(
chassis: {name: test, slots: 12}
rpm: {role: primary, master_slot: 1, peer: {role: primary, bitmap: 0xc0000000, master_slot: 0}}
card_types:
  - {id: 7, name: small}
  - {id: 9, name: tengig, ten_gig: true}
line_cards:
  - slot: 0
    type: 7
    ports:
      - {range: 0-2, name: "p0/{n}", long_name: "Port 0/{n}", unit: 3, pipe: 0}
      - {number: 3, name: p0/3, vlan: 30}
  - {slot: 1, type: 9, agent: global, ports: [{range: 0-1, name: "p1/{n}", pipe: 1}]}
  - {slot: 2, type: 7, agent: silent, present: false, ports: [{number: 0, name: p2/0}]}
lags:
  - {number: 5, name: lag5, members: [p0/2, p1/1]}
vlans:
  - {id: 100, name: v100}
  - {id: 4095, name: v4095}
tunnelling:
  vman_tpid: 0x88a8
  tunnel_mac: 02:00:00:00:00:01
  vlans:
    - vlan: v100
      protocols: [stp, pvst]
      rate: 64
      ports: [{port: p0/0}, {port: lag5, mode: core}]
  rates:
    - {vlan: v100, rate: 128}
pools:
  L2PT_VMAN_POOL: 3
)";

inline ChassisConfig config() {
    return loadChassisText(kYaml, "test.yaml");
}

// A port's ifIndex by its name; 0, and the test fails, for a port the chassis lacks.
inline uint32_t portNamed(const IfDb& db, const std::string& name) {
    const auto i = db.find(name);
    if (!i)
        ADD_FAILURE() << "the test chassis has no port " << name;
    return i.value_or(0);
}

// A port's policing as edit leaves it, as l2ptctl storm and pdu-rate change it.
template <typename Edit>
void editPolicing(Chassis& c, const std::string& port, Edit edit) {
    const uint32_t portIf = portNamed(c.ifdb(), port);
    PortPolicing p = c.cards().policing(portIf);
    edit(p);
    EXPECT_TRUE(c.cards().setPolicing(portIf, p));
}

// A chassis file whose reserved-address entries fill the line cards' rows (ge0/1-4, each a row
// of its own and one in each of VLANs 1-4095), then `more` for ge0/5. Entry i is on line 5 + i.
inline std::string fullL2cpChassis(size_t more = 0) {
    constexpr uint32_t kRowsPerPort = 4096;
    std::string yaml =
        "card_types: [{id: 1}]\nline_cards: [{slot: 0, type: 1, ports: [{range: 1-5, name: "
        "\"ge0/{n}\"}]}]\nvlans: [";
    for (uint32_t vid = 1; vid < kRowsPerPort; ++vid)
        yaml += (vid > 1 ? ", {id: " : "{id: ") + std::to_string(vid) + ", name: v" +
                std::to_string(vid) + "}";
    yaml += "]\nl2cp:\n";
    for (size_t i = 0; i < L2cpTable::kMaxRows + more; ++i) {
        const size_t vid = i % kRowsPerPort;
        yaml += "  - {port: ge0/" + std::to_string(std::min<size_t>(i / kRowsPerPort + 1, 5)) +
                (vid == 0 ? "" : ", vlan: v" + std::to_string(vid)) +
                ", addresses: 0e, action: forward}\n";
    }
    return yaml;
}

// A port's Linux interface in the tests on interfaces: its name with '_' for '/' ("ge0_1").
inline std::string netdevOf(std::string port) {
    std::replace(port.begin(), port.end(), '/', '_');
    return port;
}
inline ChassisConfig withNetdevs(ChassisConfig cfg) {
    for (auto& card : cfg.lineCards) {
        for (auto& p : card.ports)
            p.netdev = netdevOf(p.name);
    }
    return cfg;
}

// What the task would be given: its messages, and trapped frames while its sockets are open.
struct Recorder : TaskLink {
    std::vector<std::vector<uint8_t>> msgs;
    struct Pdu {
        int protocol;
        uint32_t rxIf;
        std::vector<uint8_t> frame;
    };
    std::vector<Pdu> pdus;
    bool socketsOpen = true;
    void toTask(std::vector<uint8_t> m) override { msgs.push_back(std::move(m)); }
    bool toPduSocket(int protocol, uint32_t rxIf, std::span<const uint8_t> f) override {
        if (!socketsOpen)
            return false;
        pdus.push_back({protocol, rxIf, {f.begin(), f.end()}});
        return true;
    }
};

// A task that takes nothing: no messages, no socket for trapped frames.
struct NoTask : TaskLink {
    void toTask(std::vector<uint8_t>) override {}
    bool toPduSocket(int, uint32_t, std::span<const uint8_t>) override { return false; }
};

inline constexpr Mac kStpMac{0x01, 0x80, 0xc2, 0x00, 0x00, 0x00};
inline constexpr Mac kPvstMac{0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcd};
inline constexpr Mac kTunnelMac{0x03, 0xa7, 0x31, 0x00, 0x00, 0x00};
inline constexpr uint32_t kSession = 0x5e55;
inline constexpr uint32_t kQueue = 77;  // the task's handle of its queue to the agent

struct Entry {
    uint32_t ifIndex;
    Mac mac;
    uint32_t global;
    uint32_t rate;
    uint8_t mode;
};

// An ACL download message as the task's sequenced queue hands it over.
inline std::vector<uint8_t> download(uint32_t seq, uint32_t op, const std::vector<Entry>& entries,
                                     uint32_t session = kSession) {
    auto m = makeMessage(MT_L2PT_ACL_DOWNLOAD, aclmsg::kMsgSize, kTaskParty, {svc::kAcl, 0});
    stampSequenced(m, swpw::Kind::Data, session, seq, kQueue, kTaskParty);
    wire::putU32(m.data(), aclmsg::kAclOp, op);
    wire::putU32(m.data(), aclmsg::kEntryCount, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        uint8_t* e = m.data() + aclmsg::kEntries + i * aclmsg::kEntryLen;
        wire::putU32(e, aclmsg::kEntIfIndex, entries[i].ifIndex);
        std::copy(entries[i].mac.begin(), entries[i].mac.end(), e + aclmsg::kEntMac);
        std::fill_n(e + aclmsg::kEntMask, kMacLen, 0xff);
        wire::putU32(e, aclmsg::kEntGlobal, entries[i].global);
        wire::putU32(e, aclmsg::kEntRateLimit, entries[i].rate);
        wire::putU8(e, aclmsg::kEntAclMode, entries[i].mode);
    }
    return m;
}

inline std::vector<uint8_t> registration(uint32_t slot) {
    auto m = makeMessage(MT_L2PT_ACL_REG, aclreg::kLen, kTaskParty, {svc::kAcl, slot});
    wire::putU32(m.data(), aclreg::kAgentSlot, slot);
    return m;
}

inline std::vector<uint8_t> sync(uint32_t session = kSession) {
    auto m = makeMessage(MT_SWP_SYNC, hdr::kSeqHeaderLen, kTaskParty, {svc::kAcl, 0});
    stampSequenced(m, swpw::Kind::Sync, session, 0, kQueue, kTaskParty);
    return m;
}

// The task's queues to the agents: a sync before a slot's first download, then one download
// after another in sequence; forget(slot) when the agent starts afresh.
class Downloads {
  public:
    explicit Downloads(Chassis& c) : chassis_(c) {}
    void send(uint32_t slot, uint32_t op, const std::vector<Entry>& entries) {
        AclAgent* a = chassis_.cards().agent(slot);
        ASSERT_NE(a, nullptr) << "no card in slot " << slot;
        if (seq_[slot] == 0)
            a->receive(sync());
        a->receive(download(++seq_[slot], op, entries));
    }
    void forget(uint32_t slot) { seq_[slot] = 0; }
    // The task registers with the slot's agent again, as a new task does: its table starts
    // afresh, and so do the downloads.
    void reregister(uint32_t slot) {
        AclAgent* a = chassis_.cards().agent(slot);
        ASSERT_NE(a, nullptr) << "no card in slot " << slot;
        ASSERT_TRUE(a->request(registration(slot)));
        forget(slot);
    }

  private:
    Chassis& chassis_;
    std::map<uint32_t, uint32_t> seq_;
};

// The frame table's steps that change the chassis models, as both of its runners take them.
class TableSteps {
  public:
    explicit TableSteps(Chassis& c) : chassis_(c) {}
    void operator()(const frametable::Entry& e) {
        constexpr uint8_t kModePort = 1;
        const uint32_t ifIndex = e.slot ? 0 : portNamed(chassis_.ifdb(), e.port);
        downloads_.send(
            e.slot ? *e.slot : static_cast<uint32_t>(chassis_.ifdb().info(ifIndex)->slot),
            aclmsg::kOpInstall, {{ifIndex, e.mac, e.slot ? 1u : 0u, e.rateKbps, kModePort}});
    }
    void operator()(const frametable::Tpid& t) { chassis_.ifm().vmanTpid(t.tpid); }
    void operator()(const frametable::L2cp& l) {
        const auto ifIndex = chassis_.ifdb().find(l.port);
        ASSERT_TRUE(ifIndex) << l.port;
        chassis_.cards().setL2cp(*ifIndex, l.vlan.value_or(kL2cpAnyVlan), l.addresses,
                                 static_cast<L2cpAction>(l.action));
    }
    void operator()(const frametable::TunnelMac& t) {
        if (t.mac)
            chassis_.ifm().tunnelMac(*t.mac, false);
        else
            chassis_.ifm().tunnelMacDefault();
    }
    void operator()(const frametable::Storm& s) {
        editPolicing(chassis_, s.port, [&](PortPolicing& p) {
            p.storm.at(size_t(s.cls)) = {s.fps, s.kbps};
        });
    }
    void operator()(const frametable::PduRate& r) {
        editPolicing(chassis_, r.port, [&](PortPolicing& p) { p.pduRate = r.rate; });
    }
    void operator()(const frametable::VlanMember& m) {
        // A removal of every protocol: one naming none the VLAN tunnels changes nothing.
        constexpr uint8_t kEvery = kProtoStp | kProtoLldp | kProtoGvrp | kProtoPvst;
        const Ifm::VlanBlock b{
            vlanIfIndex(m.vid),
            m.join ? uint8_t{0} : kEvery,
            0,
            {{portNamed(chassis_.ifdb(), m.port), m.core ? vlanmsg::kModeCorePort : 0}}};
        if (m.join)
            chassis_.ifm().vlanAdd({b});
        else
            chassis_.ifm().vlanDel({b});
    }
    void operator()(const frametable::Card& c) {
        downloads_.forget(c.slot);
        EXPECT_TRUE(c.up ? chassis_.events().cardUp(c.slot) : chassis_.events().cardDown(c.slot));
    }

  private:
    Chassis& chassis_;
    Downloads downloads_{chassis_};
};

}  // namespace chassis::test
