#pragma once

#include "relay.h"

// No relay at all: clients connect straight to the sink. The limit the
// relays are measured against.
class DirectRoute : public Relay {
public:
    std::string name() const override { return "direct"; }
    bool start(uint16_t targetPort, int, std::string &) override
    {
        port_ = targetPort;
        return true;
    }
    uint16_t port() const override { return port_; }
    void stop() override {}

private:
    uint16_t port_ = 0;
};
