// Reading the chassis file's YAML: each piece of its grammar, every error a ConfigError that
// names the file and the line of the offending node. The chassis file's loader reads with it,
// and so does the chassis daemon's state, which speaks the same grammar for what it keeps.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/config.h"
#include "chassis/yaml.h"

namespace chassis {

class ConfigReader {
  public:
    explicit ConfigReader(std::string source) : source_(std::move(source)) {}
    const std::string& source() const { return source_; }

    [[noreturn]] void fail(const YamlNode& n, const std::string& what) const;
    [[noreturn]] void failAt(int line, const std::string& what) const;
    static int lineOf(const YamlNode& n) { return n.line(); }

    std::string key(const YamlNode& k) const;
    // n is a mapping of these keys only.
    void knownKeys(const YamlNode& n, std::initializer_list<std::string_view> keys) const;
    // The list under key, empty when there is none.
    std::vector<YamlNode> seq(const YamlNode& parent, const char* key) const;
    // Decimal or 0x hex, never octal, with an optional '-'.
    int64_t integer(const YamlNode& n, int64_t lo, int64_t hi, const std::string& what) const;
    int64_t integer(const YamlNode& parent, const char* key, int64_t lo, int64_t hi) const;
    bool boolean(const YamlNode& n, const std::string& what) const;
    std::string text(const YamlNode& parent, const char* key) const;
    std::string textOr(const YamlNode& parent, const char* key, std::string def) const;
    NameRef ref(const YamlNode& n, const std::string& what) const;

    uint8_t protocols(const YamlNode& n) const;  // [stp, lldp, ...]
    Mac mac(const YamlNode& n, const std::string& what) const;
    // The tunnel MAC and the provider TPID, each by its rule (rules.h).
    Mac tunnelMac(const YamlNode& n) const;
    uint16_t tpid(const YamlNode& n) const;
    // {broadcast|multicast|unknown_unicast: FPS or {fps, kbps}}
    void storm(const YamlNode& n, PortPolicing& p) const;
    // {vlan, protocols, rate, ports: [{port, mode}]}
    TunnelVlanConfig tunnelVlan(const YamlNode& v) const;
    // {port: NAME, limit: N, action: forward|drop} or {vlan: ID, limit: N}
    LearnLimitConfig learnLimit(const YamlNode& n) const;
    // {port, vlan, addresses, action}: addresses a text or a list of texts (parseL2cpAddresses)
    L2cpConfig l2cp(const YamlNode& n) const;

  private:
    std::string source_;
};

}  // namespace chassis
