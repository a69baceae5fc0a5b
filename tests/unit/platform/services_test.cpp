// PDU datagrams, event log rendering, console and configuration.
#include <sys/socket.h>

#include <cstring>
#include <tuple>

#include "fake_backend.h"
#include "platform/cfg.h"
#include "platform/console.h"
#include "platform/evtlog.h"
#include "platform/kernel.h"

namespace {

using ServicesTest = test::PlatformTest;

// A PDU datagram starts with its interface's index; one cut to the buffer gives its whole length.
TEST_F(ServicesTest, DatagramsAreReadOneAtATimeAndCutToTheBuffer) {
    auto sendTo = [](int fd, test::Bytes d) { ::send(fd, d.data(), d.size(), 0); };
    uint8_t buf[8] = {};
    int sock = kern::socket(AF_OZML2, OZM_SOCK_RAW, OZML2STP);
    uint32_t ifIndex = 0;
    auto recv = [&] { return ozmRecvfrom(sock, buf, sizeof buf, 0, nullptr, nullptr, &ifIndex); };
    sendTo(fake->socketPeer, {0x00, 0x01, 0x02, 0x03, 0xAA, 0xBB, 0xCC});
    EXPECT_EQ(recv(), 3);
    EXPECT_EQ(ifIndex, 0x00010203u);
    EXPECT_EQ(test::Bytes(buf, buf + 3), (test::Bytes{0xAA, 0xBB, 0xCC}));
    sendTo(fake->socketPeer, {0, 0, 0, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(recv(), 10);  // cut to the buffer, and told so by the whole length
    EXPECT_EQ(buf[7], 8);
    sendTo(fake->socketPeer, {0, 0, 9});  // shorter than the index
    EXPECT_EQ(recv(), -1);
    sendTo(fake->socketPeer, {0, 0, 0, 5});
    EXPECT_EQ(recv(), 0);
    EXPECT_EQ(ifIndex, 5u);
}

// A program's catalogue, as it registers it.
constexpr OzmEvtCatalogueEntry kCatalogue[] = {
    {0x7a0004, "agent of slot %d did not register"},
    {0x7a000a, "check failed with %d: %s"},
    {0x7a0010, "refused: no arguments"},
    {0x7a000d, "%s"},
    {0x7a000e, "peer: %s"},
    {0x7a0001, "no memory: %s"},
};

TEST_F(ServicesTest, CodedEventsReadExactlyTheArgumentsTheirEntryNames) {
    EXPECT_EQ(ozmEvtRegisterCatalogue(nullptr, 1), -1);
    ASSERT_EQ(ozmEvtRegisterCatalogue(kCatalogue, std::size(kCatalogue)), 0);
    uint32_t h = ozmEvtOpenlog("l2ptTaskMain", 0, 225, 0);
    EXPECT_EQ(ozmEvtTurnOnSeverityLevel(h, 32), -1);  // levels are 0-31
    EXPECT_EQ(ozmEvhSubscribeEvt(h, -1), -1);         // a negative count of events
    ozmSysErr(h, nullptr, 0x7a0004, 1, 7);
    ozmSysErr(h, nullptr, 0x7a000a, 1, 5, "bad ack");
    ozmSysErr(h, nullptr, 0x7a0010, 1, 99, "extra");  // the entry names none: none read
    ozmSysErr(h, nullptr, 0x7a000d, 0);               // flag 0: none read
    ozmSysErr(h, nullptr, 0x7a000e, 1, static_cast<const char*>(nullptr));
    ozmSysErr(h, nullptr, 0x7a00ff, 1, 1, 2);  // not in the catalogue
    ozmSysErr(h, "free line", 0, 0);
    // A record on a closed handle is still delivered.
    ASSERT_EQ(ozmEvtCloselog(h), 0);
    ozmSysErr(h, nullptr, 0x7a0001, 1, "cannot allocate vman entry");

    const std::tuple<uint32_t, std::string, std::vector<std::string>> want[] = {
        {0x7a0004, "agent of slot 7 did not register", {"7"}},
        {0x7a000a, "check failed with 5: bad ack", {"5", "bad ack"}},
        {0x7a0010, "refused: no arguments", {}},
        {0x7a000d, "?", {}},
        {0x7a000e, "peer: (null)", {"(null)"}},
        {0x7a00ff, "event 0x7a00ff", {}},
        {0, "free line", {}},
        {0x7a0001, "no memory: cannot allocate vman entry", {"cannot allocate vman entry"}},
    };
    ASSERT_EQ(fake->logs.size(), std::size(want));
    for (size_t i = 0; i < std::size(want); ++i) {
        EXPECT_EQ(std::tie(fake->logs[i].code, fake->logs[i].text, fake->logs[i].args), want[i])
            << i;
    }
}

TEST_F(ServicesTest, ConsoleAndConfigurationStayWithinTheirBounds) {
    ozmPerror("boom");
    EXPECT_EQ(fake->consoleText, "boom\n");
    EXPECT_EQ(ozmPrintf("%s", std::string(10000, 'x').c_str()), 4095);  // cut to the line bound

    OzmCfgEntry entry{};
    entry.keyLen = 4000;                              // bounded by the key array
    std::memset(entry.text, 'y', sizeof entry.text);  // no terminator: bounded by the array
    EXPECT_EQ(ozmCfgInsert(1, &entry), 0);
    EXPECT_EQ(fake->cfgKey.size(), std::size(entry.key));
    EXPECT_EQ(fake->cfgText.size(), sizeof entry.text);
}

}  // namespace
