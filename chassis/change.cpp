#include "chassis/change.h"

#include "chassis/chassis.h"

namespace chassis {

namespace {

struct Apply {
    Chassis& c;

    void operator()(const VlanChange& v) const {
        switch (v.op) {
            case VlanChange::Op::Add:
                return c.ifm().vlanAdd(v.blocks);
            case VlanChange::Op::Del:
                return c.ifm().vlanDel(v.blocks);
            case VlanChange::Op::Disable:
                return c.ifm().vlanDisable(v.blocks);
        }
    }
    void operator()(const LagChange& l) const {
        if (l.join)
            c.ifm().lagAdd(l.blocks);
        else
            c.ifm().lagDel(l.blocks);
    }
    void operator()(const RateChange& r) const {
        if (r.kbps)
            c.ifm().rateSet(r.vlanIf, *r.kbps);
        else
            c.ifm().rateRemove(r.vlanIf);
    }
    void operator()(const TunnelMacChange& t) const {
        if (t.mac)
            c.ifm().tunnelMac(*t.mac, t.replaceGlobal);
        else
            c.ifm().tunnelMacDefault();
    }
    void operator()(const TpidChange& t) const { c.ifm().vmanTpid(t.tpid); }
    void operator()(const CardChange& k) const {
        switch (k.event) {
            case CardChange::Event::Up:
                c.events().cardUp(k.slot);
                break;
            case CardChange::Event::Down:
                c.events().cardDown(k.slot);
                break;
            case CardChange::Event::Removed:
                c.events().cardRemoved(k.slot);
                break;
        }
    }
    void operator()(const CliChange& k) const {
        if (k.request)
            c.cli().request(*k.request);
        else
            c.cli().undebugAll();
    }
};

}  // namespace

void applyChange(Chassis& chassis, const Change& change) {
    std::visit(Apply{chassis}, change);
}

}  // namespace chassis
