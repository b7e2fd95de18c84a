#include "console_capture.h"
#include "stand_ins.h"
#include "transport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

class Framing : public ::testing::Test {
protected:
    void SetUp() override
    {
        stand_in::ResetSockets();
        stand_in::sockets().scriptUid = true;
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    }
    void TearDown() override
    {
        stand_in::ResetSockets();
        CloseSocket(fds_[0]);
        CloseSocket(fds_[1]);
    }
    int daemonSide() const { return fds_[0]; }
    int clientSide() const { return fds_[1]; }

    void ClientSends(const std::string &data, size_t headLen = BRIM_MSG_HEAD_LEN)
    {
        std::string frame(headLen, 'H');
        frame += data;
        ASSERT_EQ(write(clientSide(), frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    }
    // Everything the daemon side sent, up to its close.
    std::string ClientReceivesAll()
    {
        CloseSocket(fds_[0]);
        fds_[0] = -1;
        std::string got;
        char chunk[512];
        for (ssize_t n; (n = read(clientSide(), chunk, sizeof(chunk))) > 0;) {
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }

    int fds_[2] = {-1, -1};
};

TEST_F(Framing, RequestDataAfterTheHeadIsNulTerminated)
{
    ClientSends("c2VjcmV0");
    char buf[2048];
    memset(buf, 'X', sizeof(buf));
    ASSERT_EQ(BrimGetRequest(daemonSide(), buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "c2VjcmV0");
}

TEST_F(Framing, DataOf2047BytesIsTakenAnd2048Refused)
{
    char buf[2048];
    ClientSends(std::string(2047, 'A'));
    ASSERT_EQ(BrimGetRequest(daemonSide(), buf, sizeof(buf)), 0);
    EXPECT_EQ(strlen(buf), 2047u);

    const Captured c = CaptureConsole([&] {
        ClientSends(std::string(2048, 'B'));
        EXPECT_EQ(BrimGetRequest(daemonSide(), buf, sizeof(buf)), -1);
    });
    EXPECT_NE(c.out.find("][Warn][BrimGetRequest]["), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("]Failed recv from client, ret{2048}.\n"), std::string::npos) << c.out;
}

TEST_F(Framing, HeadThenCloseGivesAnEmptyRequest)
{
    ClientSends("");
    shutdown(clientSide(), SHUT_WR);
    char buf[2048] = "stale";
    ASSERT_EQ(BrimGetRequest(daemonSide(), buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "");
}

TEST_F(Framing, OnlyUserId1000IsAdmitted)
{
    for (const uint32_t uid : {0u, 999u, 1001u}) {
        stand_in::sockets().uid = uid;
        char buf[2048];
        const Captured c = CaptureConsole([&] { EXPECT_EQ(BrimGetRequest(daemonSide(), buf, sizeof(buf)), -1); });
        EXPECT_NE(c.out.find("]connect from unallow client uid{" + std::to_string(uid) + "}.\n"), std::string::npos)
            << c.out;
    }
    // A failed credentials query counts as root.
    stand_in::sockets().scriptUid = false;
    const int notASocket = dup(STDIN_FILENO);
    char buf[2048];
    const Captured c = CaptureConsole([&] { EXPECT_EQ(BrimGetRequest(notASocket, buf, sizeof(buf)), -1); });
    close(notASocket);
    EXPECT_NE(c.out.find("connect from unallow client uid{0}."), std::string::npos) << c.out;
}

TEST_F(Framing, ResponseHeadCarriesBigEndianLengthThenZeros)
{
    ASSERT_EQ(BrimSendResponse(daemonSide(), "plain text"), 0);
    const std::string got = ClientReceivesAll();
    ASSERT_EQ(got.size(), 64u + 10u);
    EXPECT_EQ(got.substr(0, 4), std::string("\0\0\0\x0a", 4));
    EXPECT_EQ(got.substr(4, 60), std::string(60, '\0'));
    EXPECT_EQ(got.substr(64), "plain text");
}

TEST_F(Framing, PlainTextOf960BytesFillsTheLargestResponseAnd961IsRefused)
{
    const std::string largest(960, 'p');
    ASSERT_EQ(BrimSendResponse(daemonSide(), largest.c_str()), 0);
    const Captured c = CaptureConsole([&] {
        EXPECT_EQ(BrimSendResponse(daemonSide(), std::string(961, 'q').c_str()), -1);
    });
    EXPECT_NE(c.err.find("][Error][BrimSendResponse]["), std::string::npos) << c.err;
    EXPECT_NE(c.err.find("]Data length {961} exceeded.\n"), std::string::npos) << c.err;
    const std::string got = ClientReceivesAll();
    ASSERT_EQ(got.size(), 1024u);
    EXPECT_EQ(got.substr(0, 4), std::string("\0\0\x03\xc0", 4));
    EXPECT_EQ(got.substr(64), largest);
}

TEST_F(Framing, EmptyPlainTextIsAnsweredWithTheHeadAlone)
{
    ASSERT_EQ(BrimSendResponse(daemonSide(), ""), 0);
    EXPECT_EQ(ClientReceivesAll(), std::string(64, '\0'));
}

TEST_F(Framing, NullPlainTextIsRefused)
{
    const Captured c = CaptureConsole([&] { EXPECT_EQ(BrimSendResponse(daemonSide(), nullptr), -1); });
    EXPECT_NE(c.err.find("]No valid data.\n"), std::string::npos) << c.err;
    EXPECT_EQ(ClientReceivesAll(), "");
}

TEST_F(Framing, PartialWritesAreContinuedUntilTheFrameIsOut)
{
    stand_in::sockets().sendChunk = 100;
    const std::string text(900, 'z');
    ASSERT_EQ(BrimSendResponse(daemonSide(), text.c_str()), 0);
    const std::string got = ClientReceivesAll();
    ASSERT_EQ(got.size(), 964u);
    EXPECT_EQ(got.substr(64), text);
}

TEST_F(Framing, SendFailingAfterAPartialWriteIsAFailure)
{
    stand_in::sockets().sendChunk = 100;
    stand_in::sockets().sendFailAfter = 2;
    const Captured c = CaptureConsole([&] {
        EXPECT_EQ(BrimSendResponse(daemonSide(), std::string(500, 'y').c_str()), -1);
    });
    EXPECT_NE(c.err.find("]Failed send msg, len{-1}.\n"), std::string::npos) << c.err;
}

TEST_F(Framing, PeerGoneIsAnErrorNotASignal)
{
    CloseSocket(fds_[1]);
    fds_[1] = -1;
    const Captured c = CaptureConsole([&] { EXPECT_EQ(BrimSendResponse(daemonSide(), "x"), -1); });
    EXPECT_NE(c.err.find("Failed send msg, len{-1}."), std::string::npos) << c.err;
}

TEST_F(Framing, IdlePeerTimesOutTheHeadReceive)
{
    // A short limit stands in for the daemon's five seconds.
    const struct timeval limit = {0, 200000};
    ASSERT_EQ(setsockopt(daemonSide(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)), 0);
    char buf[2048];
    const Captured c = CaptureConsole([&] { EXPECT_EQ(BrimGetRequest(daemonSide(), buf, sizeof(buf)), -1); });
    EXPECT_NE(c.out.find("]Failed recv msghead from client, ret{-1}.\n"), std::string::npos) << c.out;
}

TEST(AbstractAddress, FirstCharacterGivesWayToTheNamespaceMarker)
{
    struct sockaddr_un addr;
    socklen_t len = 0;
    ASSERT_EQ(BrimMakeAbstractAddress("@abc", &addr, &len), 0);
    EXPECT_EQ(len, 6u);
    EXPECT_EQ(std::string(addr.sun_path, 4), std::string("\0abc", 4));

    const std::string longest(107, 'n');
    EXPECT_EQ(BrimMakeAbstractAddress(longest.c_str(), &addr, &len), 0);
    EXPECT_EQ(len, 2u + 107u);
    EXPECT_EQ(BrimMakeAbstractAddress(std::string(108, 'n').c_str(), &addr, &len), 162);
}

} // namespace

namespace {

TEST(ConnectionLimits, AcceptedConnectionsGetFiveSecondReceiveAndSendLimits)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(BrimSetConnTimeouts(fds[0]), 0);
    for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        struct timeval limit {};
        socklen_t len = sizeof(limit);
        ASSERT_EQ(getsockopt(fds[0], SOL_SOCKET, option, &limit, &len), 0);
        EXPECT_EQ(limit.tv_sec, 5);
        EXPECT_EQ(limit.tv_usec, 0);
    }
    close(fds[0]);
    close(fds[1]);
}

} // namespace
