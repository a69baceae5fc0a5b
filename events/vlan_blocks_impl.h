// Template body of events/vlan_blocks.h.
#pragma once

#include <cstdio>

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/tcb.h"
#include "platform/evtlog.h"
#include "platform/ifm.h"
#include "platform/wire/bytes.h"
#include "platform/wire/l2pt.h"

inline const uint8_t* L2ptVlanBlock::portEntry(uint32_t i) const {
    return start + vlanmsg::kBlkHeaderLen + i * vlanmsg::kPortEntryLen;
}

template <class Fn>
void l2ptForEachVlanBlock(const uint8_t* msg, uint32_t len, const char* caller, Fn&& fn) {
    const uint32_t count = wire::getU32(msg, vlanmsg::kBlockCount);
    uint64_t pos = vlanmsg::kBlocks;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t portsAt = pos + vlanmsg::kBlkHeaderLen;
        const uint64_t next =
            portsAt > len ? portsAt
                          : portsAt + uint64_t{wire::getU16(msg, pos + vlanmsg::kBlkPortCount)} *
                                          vlanmsg::kPortEntryLen;
        if (next > len) {
            char text[L2PT_VLAN_TEXT_LEN];
            l2ptFormat(text, sizeof text,
                       "%s: vlan block %u of %u runs past the message end (%u bytes)", caller,
                       i + 1, count, len);
            ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_FAILURE, 1, text);
            return;
        }
        L2ptVlanBlock block;
        block.start = msg + pos;
        block.vlanIfIndex = wire::getU32(block.start, vlanmsg::kBlkVlanIfIndex);
        block.vlanId = static_cast<uint32_t>(ifmIfIndexToVlanId(block.vlanIfIndex));
        block.portCount = wire::getU16(block.start, vlanmsg::kBlkPortCount);
        block.rate = wire::getU16(block.start, vlanmsg::kBlkRate);
        block.protoFlags = wire::getU8(block.start, vlanmsg::kBlkFlags);
        fn(block);
        pos = next;
    }
}
