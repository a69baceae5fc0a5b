// Short received messages: one debug line, whichever handler finds the message short.
#include "base/msg_check.h"

#include "base/debug.h"

namespace {

// The line names the dispatcher, which received the message.
constexpr const char* kReceiver = "l2ptTaskProcMsg";

}  // namespace

int l2ptCheckMsgLen(const wire::Msg& msg, size_t need) {
    if (msg.has(0, need)) {
        return 0;
    }
    L2PT_DBG("%s: msg type %d of %u bytes is short of %u\r\n", kReceiver, msg.u32(hdr::kMsgType),
             static_cast<unsigned>(msg.size()), static_cast<unsigned>(need));
    return -1;
}
