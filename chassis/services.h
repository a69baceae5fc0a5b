// The smaller parties of the chassis: event service, HA control and the peer RPM, CLI front
// end and task manager, and the sinks for what the task writes (event log, console,
// configuration tree).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "chassis/config.h"
#include "chassis/data_plane.h"
#include "chassis/model.h"
#include "platform/backend.h"
#include "platform/cfg.h"
#include "platform/wire/l2pt.h"

namespace chassis {

class EventService {
  public:
    EventService(Context& ctx, DataPlane& cards) : ctx_(ctx), cards_(cards) {}
    int subscribe(std::span<const uint32_t> events, bool on);
    bool subscribed(uint32_t event) const { return subscribed_.count(event) != 0; }
    // Line card events: set the card present or absent and tell a subscribed task.
    bool cardUp(uint32_t slot);
    bool cardDown(uint32_t slot);
    bool cardRemoved(uint32_t slot);
    // Any event id and slot, delivered whether subscribed or not.
    void raw(uint32_t event, uint32_t slot);

  private:
    bool cardEvent(uint32_t slot, uint32_t event, bool present, const char* what);
    void deliver(uint32_t event, uint32_t slot);
    Context& ctx_;
    DataPlane& cards_;
    // More events than any task subscribes to; a subscription past them is refused whole.
    static constexpr size_t kMaxSubscribed = 64;
    std::set<uint32_t> subscribed_;
};

class Ha {
  public:
    Ha(Context& ctx, bool primary) : ctx_(ctx), primary_(primary) {}
    bool primary() const { return primary_; }
    void setPrimary(bool primary);
    void event(uint32_t code);  // HA_CONTROL to the task

  private:
    Context& ctx_;
    bool primary_;
};

class PeerRpm {
  public:
    PeerRpm(Context& ctx, const PeerConfig& cfg) : ctx_(ctx), cfg_(cfg) {}
    PeerRole role() const { return cfg_.role; }
    void setRole(PeerRole role) { cfg_.role = role; }
    void setBitmap(uint32_t bitmap) { cfg_.bitmap = bitmap; }
    void setMasterSlot(int32_t slot) { cfg_.masterSlot = slot; }
    // A message of the task for the same service on the peer; -1 when it cannot go.
    int receive(uint32_t service, uint32_t instance, std::span<const uint8_t> msg);
    const std::vector<std::vector<uint8_t>>& received() const { return received_; }
    void forget() { received_.clear(); }  // a long-running chassis drops what it kept
    // When false, nothing received is kept: a daemon's peer is the task's to flood.
    void setKeep(bool keep) { keep_ = keep; }
    // The peer's task sends an inter-RPM message.
    void send(uint32_t type, int32_t status, uint32_t bitmap, int32_t masterSlot);
    void regRequest() { send(MT_L2PT_REG_REQ, rpmmsg::kStatusRequest, 0, 0); }
    void regReply(uint32_t bitmap, int32_t masterSlot) {
        send(MT_L2PT_REG_REQ, 0, bitmap, masterSlot);
    }
    void aclUpdate(uint32_t bitmap) {
        send(MT_L2PT_ACL_UPDATE_PRPM, rpmmsg::kStatusRequest, bitmap, 0);
    }

  private:
    Context& ctx_;
    PeerConfig cfg_;
    std::vector<std::vector<uint8_t>> received_;
    bool keep_ = true;
};

// A request that a party sends to the task, and the reply that came back.
struct Reply {
    uint32_t type = 0;
    std::vector<uint8_t> msg;
};

class Cli {
  public:
    struct Request {
        uint32_t subCode = 0;
        uint16_t remove = 0;    // debug filter: remove flag
        uint32_t word92 = 0;    // debug filter: port ifIndex; show: VLAN id
        uint32_t word96 = 0;    // debug filter: VLAN id
        uint32_t word100 = 0;   // debug filter: count
        uint8_t direction = 0;  // debug filter: 0 both, 1 in, 2 out
    };
    explicit Cli(Context& ctx) : ctx_(ctx) {}
    void request(const Request& r);
    void debugFilter(uint32_t portIf, uint32_t vlan, uint32_t count, uint8_t direction,
                     bool remove);
    void show(uint32_t vlan) { request({climsg::kSubShowVlan, 0, vlan, 0, 0, 0}); }
    void showAll() { request({climsg::kSubShowAll, 0, 0, 0, 0, 0}); }
    void undebugAll();
    void onReply(std::span<const uint8_t> msg);
    const std::vector<Reply>& replies() const { return replies_; }
    void forget() { replies_.clear(); }

  private:
    Context& ctx_;
    std::vector<Reply> replies_;
};

class TaskManager {
  public:
    explicit TaskManager(Context& ctx) : ctx_(ctx) {}
    void disable();
    void onReply(std::span<const uint8_t> msg);
    const std::vector<Reply>& replies() const { return replies_; }
    void forget() { replies_.clear(); }

  private:
    Context& ctx_;
    std::vector<Reply> replies_;
};

class EventLogSink {
  public:
    explicit EventLogSink(Context& ctx) : ctx_(ctx) {}
    void add(const ozm::LogRecord& record);
    const std::vector<ozm::LogRecord>& records() const { return records_; }
    void forget() { records_.clear(); }
    // When false, records go to the trace only: a daemon logs them as they come, and keeps
    // nothing a task could grow without end.
    void setKeep(bool keep) { keep_ = keep; }

  private:
    Context& ctx_;
    std::vector<ozm::LogRecord> records_;
    bool keep_ = true;
};

class ConsoleSink {
  public:
    explicit ConsoleSink(Context& ctx) : ctx_(ctx) {}
    // Accumulates text; every '\n' ends a line ('\r' is dropped), and so does a line's
    // kMaxLine-th byte: text that never ends a line takes no more than that.
    static constexpr size_t kMaxLine = 4096;
    void add(std::string_view text);
    void flush();  // a pending partial line becomes a line
    const std::vector<std::string>& lines() const { return lines_; }
    void forget() { lines_.clear(); }
    // When false, lines go to the trace only (as EventLogSink's records).
    void setKeep(bool keep) { keep_ = keep; }

  private:
    void endLine();

    Context& ctx_;
    std::string pending_;
    std::vector<std::string> lines_;
    bool keep_ = true;
};

// The running configuration: lines by key.
class CfgTree {
  public:
    using Key = std::vector<uint32_t>;
    // What the platform's entry holds (platform/cfg.h), and far more lines than a task writes
    // (a header and a line per debug filter): an insert past them is refused.
    static constexpr size_t kMaxKey = sizeof(OzmCfgEntry::key) / sizeof(uint32_t);
    static constexpr size_t kMaxText = OZM_CFG_TEXT_MAX;
    static constexpr size_t kMaxLines = 16384;
    explicit CfgTree(Context& ctx) : ctx_(ctx) {}
    int insert(std::span<const uint32_t> key, std::string_view text);
    int removeExact(std::span<const uint32_t> key);
    int removeNode(std::span<const uint32_t> prefix);
    const std::map<Key, std::string>& lines() const { return lines_; }
    std::vector<std::string> texts() const;  // in key order

  private:
    static std::string keyText(std::span<const uint32_t> key);
    Context& ctx_;
    std::map<Key, std::string> lines_;
};

}  // namespace chassis
