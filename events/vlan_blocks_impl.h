// Template body of events/vlan_blocks.h.
#pragma once

#include <cstdio>

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/tcb.h"
#include "platform/evtlog.h"
#include "platform/ifm.h"
#include "platform/wire/l2pt.h"

inline wire::Msg L2ptVlanBlock::portEntry(uint32_t i) const {
    return bytes.sub(vlanmsg::kBlkHeaderLen + size_t{i} * vlanmsg::kPortEntryLen,
                     vlanmsg::kPortEntryLen);
}

template <class Fn>
void l2ptForEachVlanBlock(wire::Msg msg, const char* caller, Fn&& fn) {
    const uint32_t count = msg.u32(vlanmsg::kBlockCount);
    size_t pos = vlanmsg::kBlocks;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t len = vlanmsg::kBlkHeaderLen +
                           size_t{msg.u16(pos + vlanmsg::kBlkPortCount)} * vlanmsg::kPortEntryLen;
        if (!msg.has(pos, len)) {
            char text[L2PT_VLAN_TEXT_LEN];
            l2ptFormat(text, sizeof text,
                       "%s: vlan block %u of %u runs past the message end (%u bytes)", caller,
                       i + 1, count, static_cast<unsigned>(msg.size()));
            ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_FAILURE, 1, text);
            return;
        }
        L2ptVlanBlock block;
        block.bytes = msg.sub(pos, len);
        block.vlanIfIndex = block.bytes.u32(vlanmsg::kBlkVlanIfIndex);
        block.vlanId = static_cast<uint32_t>(ifmIfIndexToVlanId(block.vlanIfIndex));
        block.portCount = block.bytes.u16(vlanmsg::kBlkPortCount);
        block.rate = block.bytes.u16(vlanmsg::kBlkRate);
        block.protoFlags = block.bytes.u8(vlanmsg::kBlkFlags);
        fn(block);
        pos += len;
    }
}
