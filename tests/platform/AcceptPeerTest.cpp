// AcceptPeerTest.cpp - the peer address an accepted connection reports is the
// client's dotted IPv4 text, for octets of one, two and three digits, written
// within the area given. Runs against both platform backends.
#include "Platform.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class AcceptPeerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureSockets();
        listener_ = PlatformTcpSocket();
        ASSERT_NE(listener_, PlatformNoSocket);
        ASSERT_EQ(PlatformBind(listener_, "127.0.0.1", 0), 0);
        ASSERT_EQ(PlatformListen(listener_, 16), 0);
        port_ = PlatformLocalPort(listener_);
    }
    void TearDown() override { PlatformCloseSocket(listener_); }

    // Connects from the given loopback address and accepts into an area of
    // the given size, filled with 'x' beforehand.
    std::string PeerOf(const char* from, size_t areaSize) {
        PlatformSocket client = ConnectLoopback(port_, from);
        EXPECT_NE(client, PlatformNoSocket) << from;
        EXPECT_EQ(PlatformWaitReadable(listener_, 5000), 1);
        char area[40];
        std::memset(area, 'x', sizeof area);
        PlatformSocket accepted = PlatformAccept(listener_, area, areaSize);
        EXPECT_NE(accepted, PlatformNoSocket);
        PlatformCloseSocket(accepted);
        PlatformCloseSocket(client);
        EXPECT_NE(std::memchr(area, '\0', areaSize), nullptr) << "not terminated inside the area";
        EXPECT_EQ(area[areaSize], 'x') << "written past the area";
        return area;
    }

    PlatformSocket listener_ = PlatformNoSocket;
    unsigned short port_ = 0;
};

TEST_F(AcceptPeerTest, PeerIsTheClientsDottedAddress) {
    for (const char* from :
         {"127.0.0.1", "127.0.0.2", "127.10.99.100", "127.200.30.4", "127.255.255.254"})
        EXPECT_EQ(PeerOf(from, 32), from);
}

TEST_F(AcceptPeerTest, PeerFillsAnAreaOfExactlyItsSize) {
    EXPECT_EQ(PeerOf("127.255.255.254", 16), "127.255.255.254"); // 15 characters and the zero
    EXPECT_EQ(PeerOf("127.0.0.1", 10), "127.0.0.1");
}

} // namespace
