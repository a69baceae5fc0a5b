#include "chassis/chassis.h"

#include "chassis/message.h"

namespace chassis {

Chassis::Chassis(const ChassisConfig& cfg, TaskLink& task)
    : cfg_(cfg),
      ifdb_(cfg_),
      ctx_{clock_, trace_, faults_, ifdb_, task},
      cards_(ctx_, cfg_),
      ifm_(ctx_, cfg_, cards_),
      events_(ctx_, cards_),
      ha_(ctx_, cfg_.rpm.primary),
      peer_(ctx_, cfg_.rpm.peer),
      cli_(ctx_),
      mgr_(ctx_),
      log_(ctx_),
      console_(ctx_),
      cfgTree_(ctx_) {
    cards_.setMembership(&ifm_);
    for (const auto& f : cfg_.faults)
        faults_.arm(f.point, f.uses);
}

int Chassis::send(std::span<const uint8_t> msg) {
    if (!wellFormed(msg)) {
        trace_.add("task", "send rejected (len=" + std::to_string(msg.size()) + ", bad msgLen)");
        return -1;
    }
    msg = covered(msg);
    const auto to = ozm::queueAddressOf(hdr::dstQueueId(msg.data()));
    if (to.service == svc::kIfm) {
        ifm_.receive(msg);
        return 0;
    }
    if (to.service == svc::kAcl) {
        if (AclAgent* a = cards_.agent(hdr::dstSlot(msg.data()))) {
            a->receive(msg);
            return 0;
        }
    } else if (to.service == svc::kL2pt) {
        ctx_.task.toTask({msg.begin(), msg.end()});
        return 0;
    }
    trace_.add("task", "send type=" + std::to_string(hdr::msgType(msg.data())) +
                           " to unknown queue " + hex32(hdr::dstQueueId(msg.data())) + " slot " +
                           std::to_string(hdr::dstSlot(msg.data())));
    return -1;
}

std::optional<std::vector<uint8_t>> Chassis::request(std::span<const uint8_t> msg,
                                                     bool* delivered) {
    if (delivered)
        *delivered = false;
    if (!wellFormed(msg)) {
        trace_.add("task", "request rejected (len=" + std::to_string(msg.size()) + ", bad msgLen)");
        return std::nullopt;
    }
    if (delivered)
        *delivered = true;
    msg = covered(msg);
    const auto to = ozm::queueAddressOf(hdr::dstQueueId(msg.data()));
    if (to.service == svc::kIfm)
        return ifm_.request(msg);
    if (to.service == svc::kAcl) {
        if (AclAgent* a = cards_.agent(hdr::dstSlot(msg.data())))
            return a->request(msg);
    }
    if (delivered)
        *delivered = false;
    trace_.add("task", "request type=" + std::to_string(hdr::msgType(msg.data())) +
                           " to unknown queue " + hex32(hdr::dstQueueId(msg.data())) + " slot " +
                           std::to_string(hdr::dstSlot(msg.data())));
    return std::nullopt;
}

int Chassis::reply(std::span<const uint8_t> msg) {
    if (msg.size() < hdr::kPlainHeaderLen) {
        trace_.add("task", "reply rejected (len=" + std::to_string(msg.size()) + ")");
        return -1;
    }
    // Only the CLI and the task manager ask the task anything that it answers in place.
    switch (hdr::msgType(msg.data())) {
        case MT_CLI_REQ:
            cli_.onReply(msg);
            return 0;
        case MT_L2PT_TASK_DISABLE:
            mgr_.onReply(msg);
            return 0;
        default:
            trace_.add("task",
                       "reply type=" + std::to_string(hdr::msgType(msg.data())) + " to nobody");
            return -1;
    }
}

}  // namespace chassis
