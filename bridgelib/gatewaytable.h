#pragma once

#include "gatewayinfo.h"
#include "timeout.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

// The gateways a bridge has heard of through its discovery responder, and
// the order in which its printers' routes try them. Any host of the LAN can
// announce itself, so the table holds one entry per address (a newer
// announcement moves it to its new port), at most Capacity entries, and
// remembers which gateways have answered and which have just failed:
// answered ones are tried first, and a failed one goes behind the others
// and is not tried again for RetryPauseSeconds, whatever it announces
// meanwhile. A full table makes room by forgetting a failed entry, else the
// oldest that never answered; gateways that answered are never pushed out
// by newcomers.
//
// No lock of its own: the service's mutex guards it.
class GatewayTable {
public:
    static constexpr size_t Capacity = 16;
    static constexpr long RetryPauseSeconds = 300;

    explicit GatewayTable(Timeout::Clock clock = Timeout::monotonicClock);

    enum class Added {
        New,    // a new address
        Moved,  // a known address on another port
        Known,  // nothing new
        Full,   // no room: every entry has answered and none failed
    };
    // Takes an announcement; `dropped` receives an entry forgotten to make room.
    Added add(const gateway_info_t &gateway, std::vector<gateway_info_t> &dropped);
    // Forgets the entry at this address and port; false when there is none.
    bool remove(uint32_t address, uint16_t port);

    // The gateways to try now: `answered` those that answered before, the
    // others in `untried`; each in table order, none in its pause.
    void candidates(std::vector<gateway_info_t> &answered, std::vector<gateway_info_t> &untried);
    void markAnswered(uint32_t address, uint16_t port);
    // Moves the entry behind the others and pauses it; false when unknown.
    bool markFailed(uint32_t address, uint16_t port);

    // Every entry in table order, for the front ends and the status record.
    std::deque<gateway_info_t> list() const;
    size_t size() const { return entries_.size(); }
    // The clock of the pauses (tests set one they control).
    void setClock(Timeout::Clock clock) { clock_ = std::move(clock); }

private:
    struct Entry {
        gateway_info_t gateway;
        bool answered = false;
        std::unique_ptr<Timeout> pause;  // set while a failure keeps it out
    };

    // True while the entry's pause after a failure lasts.
    static bool paused(Entry &entry);
    std::deque<Entry>::iterator find(uint32_t address, uint16_t port);

    std::deque<Entry> entries_;
    Timeout::Clock clock_;
};
