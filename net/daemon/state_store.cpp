#include "net/daemon/state_store.h"

#include <fcntl.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include "chassis/ifm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace netp {

namespace {

std::string protocolNames(uint8_t flags) {
    return chassis::protocolsText(flags);
}

}  // namespace

std::string chassisFileOfRunDir(const std::string& runDir) {
    return runDir + "/chassis.yaml";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeAtomically(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot write " + tmp + ": " + std::strerror(errno));
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            throw std::runtime_error("cannot write " + tmp + ": " + std::strerror(err));
        }
        at += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot replace " + path + ": " + std::strerror(err));
    }
}

void writeState(const std::string& path, const std::string& base,
                const chassis::TunnellingConfig& t, const chassis::IfDb& db) {
    YAML::Node root = YAML::LoadFile(base);
    YAML::Node tunnelling;
    for (const auto& v : t.vlans) {
        YAML::Node vn;
        vn["vlan"] = v.vlan.name;
        YAML::Node protos(YAML::NodeType::Sequence);
        const std::string names = protocolNames(v.protocols);
        if (names != "none") {
            std::stringstream in(names);
            for (std::string p; std::getline(in, p, ',');)
                protos.push_back(p);
        }
        vn["protocols"] = protos;
        if (v.rate != 0)
            vn["rate"] = v.rate;
        YAML::Node ports(YAML::NodeType::Sequence);
        for (const auto& p : v.ports) {
            YAML::Node pn;
            pn["port"] = p.port.name;
            pn["mode"] = p.core ? "core" : "access";
            ports.push_back(pn);
        }
        vn["ports"] = ports;
        tunnelling["vlans"].push_back(vn);
    }
    for (const auto& r : t.rates) {
        YAML::Node rn;
        rn["vlan"] = r.vlan.name;
        rn["rate"] = r.rate;
        tunnelling["rates"].push_back(rn);
    }
    if (t.tunnelMac)
        tunnelling["tunnel_mac"] = chassis::macText(*t.tunnelMac);
    if (t.replaceGlobal)
        tunnelling["replace_global"] = true;
    if (t.vmanTpid) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04x", *t.vmanTpid);
        tunnelling["vman_tpid"] = hex;
    }
    if (tunnelling.size() == 0)
        root.remove("tunnelling");
    else
        root["tunnelling"] = tunnelling;
    // LAG membership as IFM changed it.
    if (root["lags"]) {
        for (auto lag : root["lags"]) {
            const auto ifIndex = db.find(lag["name"].as<std::string>(""));
            if (!ifIndex || !db.isLag(*ifIndex))
                continue;
            YAML::Node members(YAML::NodeType::Sequence);
            for (uint32_t m : db.lagMembers(*ifIndex))
                members.push_back(db.name(m));
            lag["members"] = members;
        }
    }
    YAML::Emitter out;
    out << root;
    writeAtomically(path,
                    std::string("# written by l2pt-chassisd: the configuration as it runs\n") +
                        out.c_str() + "\n");
}

}  // namespace netp
