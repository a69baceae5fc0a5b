// IPC queues, PDU datagram framing, task identity, console, configuration and symbols.
#include <sys/socket.h>

#include <cstring>

#include "platform/cfg.h"
#include "platform/console.h"
#include "platform/ipc.h"
#include "platform/kernel.h"
#include "platform/process.h"
#include "platform/symbols.h"
#include "platform/wire/header.h"
#include "platform_test.h"

namespace {

using ServicesTest = test::PlatformTest;

void sendTo(int fd, const test::Bytes& datagram) {
    ASSERT_EQ(::send(fd, datagram.data(), datagram.size(), 0),
              static_cast<ssize_t>(datagram.size()));
}

TEST_F(ServicesTest, RecvfromStripsTheInterfaceIndex) {
    int sock = kern::socket(AF_OZML2, OZM_SOCK_RAW, OZML2STP);
    ASSERT_GE(sock, 0);
    uint8_t buf[8] = {};
    uint32_t ifIndex = 0;
    EXPECT_EQ(ozmRecvfrom(sock, buf, sizeof buf, 0, nullptr, nullptr, &ifIndex), -1);  // none

    sendTo(fake->socketPeer, {0x00, 0x01, 0x02, 0x03, 0xAA, 0xBB, 0xCC});
    EXPECT_EQ(ozmRecvfrom(sock, buf, sizeof buf, 0, nullptr, nullptr, &ifIndex), 3);
    EXPECT_EQ(ifIndex, 0x00010203u);
    EXPECT_EQ(buf[0], 0xAA);
    EXPECT_EQ(buf[2], 0xCC);

    // A frame longer than the buffer is cut; a datagram shorter than the index is refused.
    sendTo(fake->socketPeer, {0, 0, 0, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(ozmRecvfrom(sock, buf, sizeof buf, 0, nullptr, nullptr, &ifIndex), 8);
    EXPECT_EQ(buf[7], 8);
    sendTo(fake->socketPeer, {0, 0, 9});
    EXPECT_EQ(ozmRecvfrom(sock, buf, sizeof buf, 0, nullptr, nullptr, &ifIndex), -1);
    sendTo(fake->socketPeer, {0, 0, 0, 5});
    EXPECT_EQ(ozmRecvfrom(sock, buf, sizeof buf, 0, nullptr, nullptr, &ifIndex), 0);
    EXPECT_EQ(ifIndex, 5u);

    uint8_t frame[] = {1, 2, 3};
    EXPECT_EQ(ozmSendto(sock, frame, 3, 0, nullptr, 0, 44), 3);
    ASSERT_EQ(fake->pdus.size(), 1u);
    EXPECT_EQ(fake->pdus[0].egress, 44u);
    EXPECT_EQ(fake->pdus[0].frame, (test::Bytes{1, 2, 3}));
    EXPECT_EQ(kern::close(sock), 0);
}

TEST_F(ServicesTest, IpcQueuesReadOneMessageAtATime) {
    uint32_t key = ozmIpcTmrOpen(225, 0);
    ASSERT_NE(key, OZM_IPC_INVALID);
    EXPECT_EQ(ozmIpcTmrOpen(225, 0), OZM_IPC_INVALID);  // open already
    uint32_t req = Key_getReqQueue(key);
    uint32_t tmr = Key_getTmrQueue(key);
    EXPECT_EQ(req, ozm_getQueueId(225, 0, 1));

    uint8_t buf[4];
    EXPECT_EQ(ozmIpcRecv(req, buf, sizeof buf, 0, 0, 0), -1);
    sendTo(fake->reqPeer, {1, 2, 3, 4, 5, 6});
    sendTo(fake->reqPeer, {7});
    EXPECT_EQ(ozmIpcRecv(req, buf, sizeof buf, 0, 0, 0), 4);  // cut to size
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(ozmIpcRecv(req, buf, sizeof buf, 0, 0, 0), 1);  // the next one, whole
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(ozmIpcRecv(tmr, buf, sizeof buf, 0, 0, 0), -1);
    EXPECT_EQ(ozmIpcRecv(12345, buf, sizeof buf, 0, 0, 0), -1);

    EXPECT_EQ(ozmIpcClose(key), 0);
    EXPECT_EQ(fake->closeIpcCalls, 1);
    EXPECT_EQ(Key_getSocketFd(req), -1);
}

TEST_F(ServicesTest, SendWaitStampsTypeAndSenderAndTakesTheReply) {
    uint32_t key = ozmIpcTmrOpen(225, 0);
    test::Bytes request(1024, 0);
    hdr::setMsgLen(request.data(), 1024);
    fake->waitReply = test::Bytes(hdr::kPlainHeaderLen + 4, 0xEE);
    EXPECT_EQ(ozmIpcSendWait(key, request.data(), 1024, 5, 24410, 77), 0);
    ASSERT_EQ(fake->sent.size(), 1u);
    EXPECT_EQ(hdr::msgType(fake->sent[0].data()), 24410u);
    EXPECT_EQ(hdr::srcTaskId(fake->sent[0].data()), 77u);
    EXPECT_EQ(request[hdr::kPlainHeaderLen], 0xEE);
    fake->waitReply.clear();
    EXPECT_EQ(ozmIpcSendWait(key, request.data(), 1024, 5, 24410, 77), -1);

    fake->faults = {"ozmIpcSend"};
    EXPECT_EQ(ozmIpcSend(Key_getReqQueue(key), request.data(), 76), -1);
    fake->faults.clear();
    EXPECT_EQ(ozmIpcSend(Key_getReqQueue(key), request.data(), 76), 0);
    EXPECT_EQ(fake->sent.back().size(), 76u);
}

TEST_F(ServicesTest, TaskIdentityAndReadiness) {
    fake->faults = {"ozmTaskStartup"};
    EXPECT_EQ(ozmTaskStartup(0, nullptr, 0), 0xFFFFFFFFu);
    fake->faults.clear();
    fake->identity = ozm::TaskIdentity{225, 4};
    uint32_t key = ozmTaskStartup(0, nullptr, 0);
    ASSERT_NE(key, 0u);
    ASSERT_NE(key, 0xFFFFFFFFu);
    EXPECT_EQ(ozmTaskGetServiceByKey(key), 225u);
    EXPECT_EQ(ozmTaskGetInstanceByKey(key), 4u);
    EXPECT_EQ(ozmTaskReady(key), 0);
    EXPECT_EQ(ozmTaskReady(key + 1), -1);
    EXPECT_EQ(fake->readyCalls, 1);
    EXPECT_THROW(OZM_NbsdpExit(), test::ExitCalled);
}

TEST_F(ServicesTest, ConsoleAndConfiguration) {
    EXPECT_EQ(ozmPrintf("%s: %d\r\n", "fn", 7), 7);
    ozmPerror("boom");
    EXPECT_EQ(fake->consoleText, "fn: 7\r\nboom\n");
    std::string huge(10000, 'x');
    EXPECT_EQ(ozmPrintf("%s", huge.c_str()), 4095);  // cut to the line bound

    OzmCfgEntry entry{};
    entry.key[0] = 11;
    entry.key[1] = 22;
    entry.keyLen = 8;
    std::strcpy(entry.text, "l2pt debug");
    EXPECT_EQ(ozmCfgInsert(1, &entry), 0);
    EXPECT_EQ(fake->cfgKeys.back(), (std::vector<uint32_t>{11, 22}));
    EXPECT_EQ(fake->cfgText, "l2pt debug");
    entry.keyLen = 4000;                              // bounded by the key array
    std::memset(entry.text, 'y', sizeof entry.text);  // no terminator: bounded by the array
    EXPECT_EQ(ozmCfgInsert(1, &entry), 0);
    EXPECT_EQ(fake->cfgKeys.back().size(), 64u);
    EXPECT_EQ(fake->cfgText.size(), sizeof entry.text);
}

uint8_t gByte = 0;
uint16_t gShort = 0;
uint64_t gWide = 0;
OZM_EXPORT_SYMBOL(gByte);
OZM_EXPORT_SYMBOL(gShort);
OZM_EXPORT_SYMBOL(gWide);

TEST(SymbolsTest, SetAndGetByWidth) {
    EXPECT_TRUE(ozm::sym::set("gByte", 0x1FF));  // cut to the variable's width
    EXPECT_EQ(gByte, 0xFF);
    EXPECT_TRUE(ozm::sym::set("gShort", 0x9100));
    EXPECT_TRUE(ozm::sym::set("gWide", 1ull << 40));
    EXPECT_EQ(gWide, 1ull << 40);
    EXPECT_EQ(ozm::sym::get("gShort"), 0x9100u);
    EXPECT_FALSE(ozm::sym::set("missing", 1));
}

}  // namespace
