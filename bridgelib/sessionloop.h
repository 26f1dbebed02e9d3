#pragma once

#include "sessionprotocol.h"

#include <cstdint>
#include <string>

// The message loop of one printer's session with the WVT server, once the
// registration has gone out: reads the server's 68-byte messages, answers
// each keep-alive, receives the password file when the server announces a
// newer one, and passes tunnel requests on. It owns no connection and no
// thread: its Host reads and writes the session's bytes and carries out what
// the messages ask, so that the loop can be tested and fuzzed on bytes alone.
// Lives on the stack of the gateway thread for one session.
class SessionLoop {
public:
    // What the loop needs from the printer and its session connection; all
    // called on the loop's thread.
    class Host {
    public:
        virtual ~Host() = default;
        // Tested before each read: false ends the session.
        virtual bool mayGoOn() = 0;
        // Called before each read of a message (drops finished tunnels).
        virtual void beforeRead() = 0;
        // Reads exactly `size` bytes: the count, 0 when the receive time-out
        // ran out, negative on an error or a closed connection.
        virtual int read(unsigned char *buffer, uint32_t size) = 0;
        // Writes all `size` bytes; false on failure.
        virtual bool write(const unsigned char *bytes, uint32_t size) = 0;
        // The text of the connection's last error, for the log.
        virtual std::string errorText() = 0;
        // The first message of the session has arrived.
        virtual void serverAnswered() = 0;
        // A WVT_OPEN_TUNNEL arrived.
        virtual void openTunnel(const SessionProtocol::GatewayRequest &request) = 0;
        // Turns a received keep-alive into its reply of `type`, with the
        // printer's current status.
        virtual void makeKeepAliveReply(SessionProtocol::GatewayRequest &request, int16_t type) = 0;
        // Hands the password file to the printer; true when it was delivered.
        virtual bool deliverPasswordFile(const unsigned char *bytes, unsigned length) = 0;
    };

    // `name` is the printer's name for the log texts.
    SessionLoop(Host &host, std::string name);

    SessionLoop(const SessionLoop &) = delete;
    SessionLoop &operator=(const SessionLoop &) = delete;

    // Serves messages until the host says to stop or the session fails.
    void run();

private:
    // Answers a keep-alive; false when the session must end.
    bool answerKeepAlive(SessionProtocol::GatewayRequest &request);
    // Receives the password file announced after a WVT_GET_PASSWORDS reply
    // and hands it on; false when the session must end.
    bool receivePasswordFile();

    Host &host_;
    const std::string name_;
    int64_t lastPasswordVersion_ = -1;  // a new session asks for any version of 0 or more
};
