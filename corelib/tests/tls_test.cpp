// The TLS layer under Socket and Tunnel, against a TLS server of the test's
// own with certificates made for each test: verification, reads and writes
// with the socket's time-out and close(), and a relay with one TLS side.
#include "exception.h"
#include "logcapture.h"
#include "tempdirectory.h"
#include "tlsclient.h"
#include "tlsstream.h"
#include "tlstesttools.h"
#include "tunneltesttools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <future>

namespace {

using namespace tlstest;
using tunneltest::readPattern;
using tunneltest::writePattern;  // on plain sockets only: a TLS socket is used by one thread at a time

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }  // the test server writes with plain send()

    void SetUp() override
    {
        writeFile(directory.file("ca.pem"), authority.pem());
        client = std::make_unique<TlsClient>(directory.file("ca.pem"));
    }

    // A client socket connected to `server`, not yet TLS.
    std::shared_ptr<Socket> connectTo(const Server &server, uint32_t receiveTimeout = 10000)
    {
        auto socket = std::make_shared<Socket>("Server");
        socket->receiveTimeout = receiveTimeout;
        if (!socket->connect(Loopback, server.port()))
            throw std::runtime_error("connect failed");
        return socket;
    }

    TempDirectory directory;
    Authority authority;
    std::unique_ptr<TlsClient> client;
};

TEST_F(Tls, HandshakeVerifiesChainAndNameThenCarriesBytesBothWays)
{
    const Identity identity = authority.issue("wvt.test", "DNS:wvt.test,IP:127.0.0.1");
    Server server(identity, echo);
    for (const std::string name : {"wvt.test", "127.0.0.1"}) {
        SCOPED_TRACE(name);
        const std::shared_ptr<Socket> socket = connectTo(server);
        ASSERT_TRUE(socket->startTls(*client, name));
        const std::shared_ptr<TlsStream> stream = socket->tlsStream();
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->peerSubject(), "CN=wvt.test,O=Orvel Test");
        const int64_t now = static_cast<int64_t>(std::time(nullptr));
        EXPECT_GT(stream->peerExpiry(), now + 86400 - 600);
        EXPECT_LE(stream->peerExpiry(), now + 86400 + 600);
        EXPECT_TRUE(stream->protocol() == "TLSv1.2" || stream->protocol() == "TLSv1.3") << stream->protocol();

        // 68 + 120 bytes of a registration, then a large message in pieces:
        // exact reads across records.
        std::vector<unsigned char> message(188);
        for (size_t i = 0; i < message.size(); ++i)
            message[i] = static_cast<unsigned char>(i * 7);
        ASSERT_EQ(socket->write(message.data(), 188), 188);
        std::vector<unsigned char> back(188);
        ASSERT_EQ(socket->read(back.data(), 68, true), 68);
        ASSERT_EQ(socket->read(back.data() + 68, 120, true), 120);
        EXPECT_EQ(back, message);
        // Pieces of every size around a record's (16 KiB), each read back
        // before the next goes (TLS allows one thread at a time per stream).
        std::vector<unsigned char> piece(40000), echoed(40000);
        for (uint32_t size = 1; size <= piece.size(); size = size * 3 + 7) {
            for (uint32_t i = 0; i < size; ++i)
                piece[i] = static_cast<unsigned char>(i * 13 + size);
            ASSERT_EQ(socket->write(piece.data(), size), static_cast<int>(size));
            ASSERT_EQ(socket->read(echoed.data(), size, true), static_cast<int>(size));
            EXPECT_TRUE(std::equal(piece.begin(), piece.begin() + size, echoed.begin())) << size;
        }
    }
    EXPECT_EQ(server.handshakesDone(), 2);
}

// Each refused certificate: one Warning line with the reason, the socket
// closed, and not one byte of application data at the server.
TEST_F(Tls, RefusedCertificatesAreNamedAndNothingIsSentAfterThem)
{
    Authority stranger("Stranger CA");
    struct Case {
        const char *what;
        Identity identity;
        const char *name;
        const char *reason;
    };
    Case cases[] = {
        {"unknown issuer", stranger.issue("wvt.test", "DNS:wvt.test"), "wvt.test", "unknown issuer"},
        {"other name", authority.issue("other.test", "DNS:other.test"), "wvt.test", "name mismatch"},
        {"other address", authority.issue("wvt.test", "IP:127.0.0.2"), "127.0.0.1", "name mismatch"},
        {"expired", authority.issue("wvt.test", "DNS:wvt.test", -7200, -3600), "wvt.test", "certificate expired"},
        {"not yet valid", authority.issue("wvt.test", "DNS:wvt.test", 3600, 7200), "wvt.test",
         "certificate not yet valid"},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log(Warning);
        Server server(c.identity, [](SSL *) { ADD_FAILURE() << "the handshake must not succeed"; });
        const std::shared_ptr<Socket> socket = connectTo(server);
        EXPECT_FALSE(socket->startTls(*client, c.name));
        EXPECT_FALSE(socket->tlsStream());
        EXPECT_EQ(socket->handle(), -1) << "the refused connection is closed";
        const auto messages = log.messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0]->level, Warning);
        EXPECT_NE(messages[0]->text.find(std::string("Server certificate of 127.0.0.1:") +
                                         std::to_string(server.port()) + " refused: " + c.reason),
                  std::string::npos)
            << messages[0]->text;
        EXPECT_EQ(socket->write("protocol", 0), -1);
        EXPECT_TRUE(eventually([&] { return server.handshakesFailed() == 1; }));
        EXPECT_EQ(server.bytesAfterFailure(), 0);
    }
}

TEST_F(Tls, AServerThatAnswersInPlainTextFailsTheHandshake)
{
    LogCapture log(Warning);
    // A server that answers the handshake with plain text.
    Listener plain;
    std::thread answer([&] {
        SocketHandle accepted = plain.accept();
        const char text[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
        accepted.send(text, sizeof text - 1);
        char byte;
        while (accepted.receive(&byte, 1) > 0) {
        }
    });
    auto socket = std::make_shared<Socket>("Server");
    ASSERT_TRUE(socket->connect(Loopback, plain.port()));
    EXPECT_FALSE(socket->startTls(*client, "wvt.test"));
    answer.join();
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_NE(log.messages()[0]->text.find("TLS handshake with 127.0.0.1:"), std::string::npos)
        << log.messages()[0]->text;
}

TEST_F(Tls, ReceiveTimeOutReadsAsZeroAndTheStreamGoesOn)
{
    const Identity identity = authority.issue("wvt.test", "DNS:wvt.test");
    std::promise<void> speak;
    std::shared_future<void> spoken = speak.get_future().share();
    Server server(identity, [spoken](SSL *ssl) {
        spoken.wait();
        SSL_write(ssl, "late", 4);
        char byte;
        SSL_read(ssl, &byte, 1);
    });
    const std::shared_ptr<Socket> socket = connectTo(server, 200);
    ASSERT_TRUE(socket->startTls(*client, "wvt.test"));
    char buffer[8] = {};
    EXPECT_EQ(socket->read(buffer, 4, true), 0) << "a silent server: the time-out, not an error";
    EXPECT_EQ(socket->read(buffer, 4, true), 0) << "twice";
    speak.set_value();
    int got = 0;
    for (int i = 0; i < 50 && got == 0; ++i)
        got = socket->read(buffer, 4, true);
    EXPECT_EQ(got, 4);
    EXPECT_EQ(std::string(buffer, 4), "late");
}

// A thread blocked in a TLS read, or in the handshake with a server that
// never answers, returns as soon as another thread closes the socket; the
// stream stays alive for it meanwhile.
TEST_F(Tls, CloseWakesAReadAndAHandshakeAtOnce)
{
    const Identity identity = authority.issue("wvt.test", "DNS:wvt.test");
    Server silent(identity, [](SSL *ssl) {
        char byte;
        SSL_read(ssl, &byte, 1);
    });
    for (int round = 0; round < 20; ++round) {
        const std::shared_ptr<Socket> socket = connectTo(silent, 0);
        ASSERT_TRUE(socket->startTls(*client, "wvt.test"));
        std::atomic<bool> done{false};
        std::atomic<int> result{-2};
        std::thread reader([&] {
            char buffer[68];
            result = socket->read(buffer, sizeof buffer, true);
            done = true;
        });
        if (round % 2)
            std::this_thread::sleep_for(milliseconds(5));
        socket->close();
        joinOrEnd(reader, done, "a TLS read");
        EXPECT_EQ(result, -1);
    }

    Server mute(identity, nullptr, false);
    for (int round = 0; round < 10; ++round) {
        const std::shared_ptr<Socket> socket = connectTo(mute, 0);
        socket->handshakeTimeout = 0;  // the handshake would wait for ever
        std::atomic<bool> done{false};
        std::atomic<bool> result{true};
        std::thread handshaker([&] {
            result = socket->startTls(*client, "wvt.test");
            done = true;
        });
        if (round % 2)
            std::this_thread::sleep_for(milliseconds(5));
        socket->close();
        joinOrEnd(handshaker, done, "a TLS handshake");
        EXPECT_FALSE(result);
    }
}

TEST_F(Tls, HandshakeWithAServerThatNeverAnswersEndsAfterItsTimeOut)
{
    const Identity identity = authority.issue("wvt.test", "DNS:wvt.test");
    Server mute(identity, nullptr, false);
    LogCapture log(Warning);
    const std::shared_ptr<Socket> socket = connectTo(mute, 0);
    socket->handshakeTimeout = 300;
    EXPECT_FALSE(socket->startTls(*client, "wvt.test"));
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_NE(log.messages()[0]->text.find("failed: no answer in time"), std::string::npos)
        << log.messages()[0]->text;
}

TEST_F(Tls, ClientRefusesACaFileWithoutCertificates)
{
    writeFile(directory.file("empty.pem"), "not a certificate\n");
    EXPECT_THROW(TlsClient(directory.file("empty.pem")), Exception);
    EXPECT_THROW(TlsClient(directory.file("missing.pem")), Exception);
    EXPECT_TRUE(TlsClient::available());
}

// A relay between a TLS connection and a plain one: bytes both ways at once,
// unchanged, with records larger and smaller than the relay's chunk, and the
// session tickets a TLS 1.3 server sends after the handshake in between.
TEST_F(Tls, TunnelRelaysBetweenATlsSideAndAPlainSide)
{
    const Identity identity = authority.issue("wvt.test", "DNS:wvt.test");
    Server server(identity, echo);
    Listener listener;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const std::shared_ptr<Socket> secure = connectTo(server);
        ASSERT_TRUE(secure->startTls(*client, "wvt.test"));
        SocketPair plain = makePair(listener);
        plain.client->receiveTimeout = 10000;
        plain.client->applyTimeouts();
        tunneltest::RecordingListener closed;
        auto tunnel = std::make_shared<Tunnel>(&closed, 7, plain.server, secure);
        tunnel->selectTimeout = 3000;
        ASSERT_TRUE(tunnel->start());
        const size_t size = round == 0 ? 100 : 3 * 1024 * 1024;
        std::thread writer([&] { writePattern(*plain.client, size, 11); });
        EXPECT_EQ(readPattern(*plain.client, size, 11), size);
        writer.join();
        EXPECT_TRUE(tunnel->copies());
        plain.client->close();
        tunnel->join();
        EXPECT_EQ(closed.calls, 1);
        EXPECT_EQ(secure->handle(), -1);
    }
}

TEST_F(Tls, TunnelStopEndsARelayBlockedOnItsTlsSide)
{
    const Identity identity = authority.issue("wvt.test", "DNS:wvt.test");
    Server server(identity, echo);
    Listener listener;
    const std::shared_ptr<Socket> secure = connectTo(server, 0);
    ASSERT_TRUE(secure->startTls(*client, "wvt.test"));
    SocketPair plain = makePair(listener);
    auto tunnel = std::make_shared<Tunnel>(nullptr, 0, secure, plain.server);
    tunnel->selectTimeout = 60000;
    ASSERT_TRUE(tunnel->start());
    const SocketHandle raw = secure->sharedHandle();
    std::this_thread::sleep_for(milliseconds(50));
    Watchdog guard(30000, [&] { std::fprintf(stderr, "tunnel stop hangs\n"); std::_Exit(1); });
    tunnel->stop();
    EXPECT_FALSE(guard.disarm());
    EXPECT_FALSE(raw.isOpen());
}

} // namespace
