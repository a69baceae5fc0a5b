// Reading the chassis file's YAML: each piece of its grammar, every error a ConfigError that
// names the file and the line of the offending node. The chassis file's loader reads with it,
// and so does the chassis daemon's state, which speaks the same grammar for what it keeps.
#pragma once

#include <yaml-cpp/yaml.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/config.h"

namespace chassis {

class ConfigReader {
  public:
    explicit ConfigReader(std::string source) : source_(std::move(source)) {}
    const std::string& source() const { return source_; }

    [[noreturn]] void fail(const YAML::Node& n, const std::string& what) const;
    [[noreturn]] void failAt(int line, const std::string& what) const;
    static int lineOf(const YAML::Node& n) { return n.Mark().line + 1; }

    std::string key(const YAML::Node& k) const;
    // n is a mapping of these keys only.
    void knownKeys(const YAML::Node& n, std::initializer_list<std::string_view> keys) const;
    // The list under key, empty when there is none.
    std::vector<YAML::Node> seq(const YAML::Node& parent, const char* key) const;
    // Decimal or 0x hex, never octal, with an optional '-'.
    int64_t integer(const YAML::Node& n, int64_t lo, int64_t hi, const std::string& what) const;
    int64_t integer(const YAML::Node& parent, const char* key, int64_t lo, int64_t hi) const;
    bool boolean(const YAML::Node& n, const std::string& what) const;
    std::string text(const YAML::Node& parent, const char* key) const;
    std::string textOr(const YAML::Node& parent, const char* key, std::string def) const;
    NameRef ref(const YAML::Node& n, const std::string& what) const;

    uint8_t protocols(const YAML::Node& n) const;  // [stp, lldp, ...]
    Mac mac(const YAML::Node& n, const std::string& what) const;
    // {broadcast|multicast|unknown_unicast: FPS or {fps, kbps}}
    void storm(const YAML::Node& n, PortPolicing& p) const;
    // {vlan, protocols, rate, ports: [{port, mode}]}
    TunnelVlanConfig tunnelVlan(const YAML::Node& v) const;
    // {port: NAME, limit: N, action: forward|drop} or {vlan: ID, limit: N}
    LearnLimitConfig learnLimit(const YAML::Node& n) const;
    // {port, vlan, addresses, action}: addresses a text or a list of texts (parseL2cpAddresses)
    L2cpConfig l2cp(const YAML::Node& n) const;

  private:
    std::string source_;
};

}  // namespace chassis
