// The ctl protocol's requests round-trip, and the grammar both sides share refuses the rest.
#include "net/proto/ctl.h"

#include <gtest/gtest.h>
#include <fstream>
#include <set>
#include <sstream>

#include "net/io/socket.h"
#include "platform/wire/bytes.h"
#include "tests/bench/alloc_counter.h"

namespace {

using netp::ctl::Request;

TEST(CtlRequest, ArgumentsKeepTheirSpacesAndDashesAndOptionsStayOptions) {
    // The last text is empty: the datagram ends with its length.
    Request r{7, {"show", "--json", "a name with spaces"}, {{"port", "ge0/1:core"}, {"json", ""}}};
    const auto d = netp::ctl::encode(r);
    const auto back = netp::ctl::decode(d);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, r);
    EXPECT_TRUE(back->has("json"));
    EXPECT_EQ(back->value("port"), "ge0/1:core");
    // Every prefix of the datagram is refused, as is one with a byte too many.
    for (size_t n = 0; n < d.size(); ++n)
        EXPECT_FALSE(netp::ctl::decode(std::span(d).first(n))) << n;
    auto longer = d;
    longer.push_back(0);
    EXPECT_FALSE(netp::ctl::decode(longer));
}

TEST(CtlRequest, CountsBeyondWhatArrivedAreRefusedAndOversizeIsNotEncoded) {
    auto d = netp::ctl::encode(Request{1, {"status"}, {}});
    wire::putU16(d.data(), netp::ctl::request::kArgc, 0xFFFF);
    EXPECT_FALSE(netp::ctl::decode(d));
    // An option takes two lengths: a count that fits only at one length each is refused before
    // anything is reserved for it (65,535 options would reserve 4 MB per datagram).
    constexpr uint16_t kOptions = 1000;
    auto opts = netp::ctl::encode(Request{1, {}, {}});
    opts.resize(netp::ctl::request::kBody + kOptions * sizeof(uint16_t));
    wire::putU16(opts.data(), netp::ctl::request::kOptc, kOptions);
    const auto before = allocations();
    EXPECT_FALSE(netp::ctl::decode(opts));
    EXPECT_EQ(allocations(), before);
    EXPECT_TRUE(netp::ctl::encode(Request{1, {std::string(netp::kMaxDatagram, 'x')}, {}}).empty());
    // One argument that fills the datagram to its last byte still goes.
    const std::string fills(netp::kMaxDatagram - netp::ctl::request::kBody - sizeof(uint16_t), 'x');
    EXPECT_EQ(netp::ctl::encode(Request{1, {fills}, {}}).size(), netp::kMaxDatagram);
}

TEST(CtlGrammar, TheDaemonChecksArityOptionsAndAccess) {
    const auto find = [](std::vector<std::string> words) { return netp::ctl::findCommand(words); };
    const auto check = [](const Request& r) {
        const auto* spec = netp::ctl::findCommand(r.args);
        return spec == nullptr ? std::string("no command") : netp::ctl::check(*spec, r);
    };
    EXPECT_EQ(check({1,
                     {"vlan", "add", "100"},
                     {{"proto", "stp"}, {"port", "ge0/1:access"}, {"port", "te1/0:core"}}}),
              "");
    EXPECT_NE(check({1, {"vlan", "add", "100"}, {{"port", "ge0/1:access"}}}), "");  // no --proto
    EXPECT_NE(check({1, {"vlan", "disable", "100"}, {{"proto", "stp"}, {"port", "x"}}}), "");
    EXPECT_NE(check({1, {"show", "100", "200"}, {}}), "");
    EXPECT_NE(check({1, {"status"}, {{"json", "yes"}}}), "");  // a flag takes no value
    EXPECT_NE(
        check({1, {"tunnel-mac", "default"}, {{"replace-global", ""}, {"replace-global", ""}}}),
        "");
    // A capture's file stays with the client: the daemon sees the port alone.
    EXPECT_EQ(check({1, {"capture", "te1/0"}, {{"count", "2"}}}), "");
    EXPECT_NE(check({1, {"capture", "te1/0", "out.pcap"}, {{"count", "2"}}}), "");
    EXPECT_EQ(find({"vlan", "add"})->path, "vlan add");
    EXPECT_EQ(find({"do", "x"})->access, netp::ctl::Access::Lab);
    EXPECT_EQ(find({"frobnicate"}), nullptr);
    // "l2cp" reads, "l2cp set" changes: the longer command wins where both begin the words.
    const auto* l2cpSet = find({"l2cp", "set", "ge0/1", "0e", "forward"});
    ASSERT_NE(l2cpSet, nullptr);
    EXPECT_EQ(l2cpSet->path, "l2cp set");
    EXPECT_EQ(l2cpSet->access, netp::ctl::Access::Change);
    EXPECT_EQ(find({"l2cp"})->access, netp::ctl::Access::ReadOnly);
    EXPECT_EQ(check({1, {"l2cp", "set", "ge0/1", "0e", "forward"}, {{"vlan", "100"}}}), "");
    EXPECT_NE(check({1, {"l2cp", "set", "ge0/1", "0e"}, {}}), "");
    EXPECT_NE(check({1, {"l2cp", "ge0/1"}, {}}), "");

    // The bash completion offers every command, and steps over the value of every option that
    // takes one (else the value counts as the command's next argument).
    std::ifstream in(L2PT_SOURCE_DIR "/packaging/bash-completion/l2ptctl");
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    const auto words = [&text](size_t from, size_t to) {
        std::istringstream list(text.substr(from, to - from));
        std::set<std::string> out;
        for (std::string w; list >> w;)
            out.insert(w);
        return out;
    };
    constexpr std::string_view kOffer = "compgen -W \"";
    const size_t top = text.find(std::string(kOffer) + "status");
    ASSERT_NE(top, std::string::npos);
    const auto offered = words(top + kOffer.size(), text.find('"', top + kOffer.size()));
    const size_t step = text.find("((i++))");
    ASSERT_NE(step, std::string::npos);
    const auto stepped = words(text.rfind('\n', step), step);
    for (const auto& c : netp::ctl::commands()) {
        EXPECT_TRUE(offered.contains(std::string(c.path.substr(0, c.path.find(' '))))) << c.path;
        for (const auto& o : c.options) {
            const std::string name = "--" + std::string(o.name);
            EXPECT_TRUE(!o.takesValue || stepped.contains(name) || stepped.contains(name + ")"))
                << c.path << " " << name;
        }
    }
}

}  // namespace
