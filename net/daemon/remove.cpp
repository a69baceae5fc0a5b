#include "net/daemon/remove.h"

#include <net/if.h>

#include <set>
#include <stdexcept>
#include <system_error>

#include "chassis/config.h"
#include "dataplane/abi.h"
#include "net/pipeline/pins.h"
#include "net/port/linux_port_ops.h"
#include "net/port/task_link.h"

namespace netp {

namespace {

constexpr int kFailed = 1;

// The task's link the pinned globals name; 0: none (or globals of another layout).
uint32_t pinnedTaskLink(const pipeline::PinDir& pins) {
    l2pt_globals g{};
    const pipeline::Result<bool> found =
        pins.readFirst("l2pt_globals", {reinterpret_cast<uint8_t*>(&g), sizeof g});
    return found && *found ? g.task_if : 0;
}

}  // namespace

int removeSwitch(const RemoveOptions& o, Logger& log) {
    using Hook = port::LinuxPortOps::Hook;
    int status = 0;
    std::set<std::string> netdevs;
    if (!o.chassisFile.empty()) {
        for (const auto& card : chassis::loadChassisFile(o.chassisFile).lineCards) {
            for (const auto& p : card.ports) {
                if (!p.netdev.empty())
                    netdevs.insert(p.netdev);
            }
        }
    }
    std::optional<pipeline::PinDir> pins;
    std::set<uint32_t> programs;
    const pipeline::PinPlace place{o.bpffs, o.name};
    if (pipeline::Result<pipeline::PinDir> dir = pipeline::PinDir::open(place, false); dir) {
        pins.emplace(std::move(*dir));
        for (const char* pin :
             {pipeline::kIngressPin, pipeline::kEgressPin, pipeline::kTaskTxPin}) {
            if (const uint32_t id = pins->programId(pin))
                programs.insert(id);
        }
        // The task's link: deleted with its filter (none when it went with the task).
        if (auto link = port::TaskLink::leftover(pinnedTaskLink(*pins)))
            log.info("remove " + o.name + ": the task's link " + link->name() + " deleted");
    } else if (dir.status().what().find(pipeline::kPinDirBusy) != std::string::npos) {
        log.error("remove " + o.name + ": " + dir.status().what() + ": stop it first");
        return kFailed;
    } else {
        log.info("remove " + o.name + ": no pins (" + dir.status().what() + ")");
    }

    port::LinuxPortOps ops;
    size_t filters = 0;
    size_t qdiscs = 0;
    if (struct if_nameindex* all = ::if_nameindex()) {
        for (const struct if_nameindex* i = all; i->if_index != 0; ++i) {
            const std::string name = i->if_name;
            bool took = false;
            for (const Hook hook : {Hook::Ingress, Hook::Egress}) {
                port::LinuxPortOps::Holder h;
                if (const port::OpStatus st = ops.holder(i->if_index, hook, h); !st.ok()) {
                    log.error("remove " + o.name + ": " + name + ": " + st.text());
                    status = kFailed;
                    continue;
                }
                if (!h.ours() || (programs.count(h.program) == 0 && netdevs.count(name) == 0))
                    continue;
                if (hook == Hook::Ingress && programs.count(h.program) != 0) {
                    // A task's link a daemon left: the link goes, and its filter with it.
                    if (auto link = port::TaskLink::leftover(i->if_index)) {
                        link.reset();
                        log.info("remove " + o.name + ": the task's link " + name + " deleted");
                        ++filters;
                        break;
                    }
                }
                if (const port::OpStatus st = ops.detachHook(i->if_index, hook); !st.ok()) {
                    log.error("remove " + o.name + ": " + name + ": " + st.text());
                    status = kFailed;
                    continue;
                }
                took = true;
                ++filters;
            }
            bool removed = false;
            if (took) {
                if (const port::OpStatus st = ops.removeEmptyClsact(i->if_index, &removed);
                    !st.ok()) {
                    log.error("remove " + o.name + ": " + name + ": " + st.text());
                    status = kFailed;
                }
                log.info("remove " + o.name + ": " + name + ": the pipeline detached" +
                         (removed ? ", its clsact qdisc removed"
                                  : ", its clsact qdisc kept (other filters hang on it)"));
            }
            qdiscs += removed ? 1 : 0;
        }
        ::if_freenameindex(all);
    }
    if (pins) {
        const std::string dir = pins->path();
        if (const pipeline::Status s = pins->removeAll(); !s) {
            log.error("remove " + o.name + ": " + s.what());
            status = kFailed;
        } else {
            log.info("remove " + o.name + ": pins " + dir + " removed");
        }
    }
    log.info("remove " + o.name + ": " + std::to_string(filters) + " filters and " +
             std::to_string(qdiscs) + " clsact qdiscs removed" +
             (status == 0 ? ": nothing of the switch is left" : ""));
    return status;
}

}  // namespace netp
