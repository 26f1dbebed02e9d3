#include "gatewaytable.h"


GatewayTable::GatewayTable(Timeout::Clock clock) : clock_(std::move(clock)) {}

bool GatewayTable::paused(Entry &entry)
{
    if (entry.pause && entry.pause->expired())
        entry.pause.reset();
    return entry.pause != nullptr;
}

std::deque<GatewayTable::Entry>::iterator GatewayTable::find(uint32_t address, uint16_t port)
{
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->gateway.address == address && it->gateway.port == port)
            return it;
    }
    return entries_.end();
}

GatewayTable::Added GatewayTable::add(const gateway_info_t &gateway, std::vector<gateway_info_t> &dropped)
{
    for (Entry &entry : entries_) {
        if (entry.gateway.address != gateway.address)
            continue;
        if (entry.gateway.port == gateway.port)
            return Added::Known;
        // The same host on another port: a gateway started anew. What it
        // answered before says nothing of the new port; a pause stays, so
        // that a host cannot shorten it by announcing other ports.
        entry.gateway = gateway;
        entry.answered = false;
        return Added::Moved;
    }
    if (entries_.size() >= Capacity) {
        auto victim = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end() && victim == entries_.end(); ++it) {
            if (paused(*it))
                victim = it;
        }
        for (auto it = entries_.begin(); it != entries_.end() && victim == entries_.end(); ++it) {
            if (!it->answered)
                victim = it;
        }
        if (victim == entries_.end())
            return Added::Full;
        dropped.push_back(victim->gateway);
        entries_.erase(victim);
    }
    entries_.push_back(Entry{gateway, false, nullptr});
    return Added::New;
}

bool GatewayTable::remove(uint32_t address, uint16_t port)
{
    const auto found = find(address, port);
    if (found == entries_.end())
        return false;
    entries_.erase(found);
    return true;
}

void GatewayTable::candidates(std::vector<gateway_info_t> &answered, std::vector<gateway_info_t> &untried)
{
    for (Entry &entry : entries_) {
        if (paused(entry))
            continue;
        (entry.answered ? answered : untried).push_back(entry.gateway);
    }
}

void GatewayTable::markAnswered(uint32_t address, uint16_t port)
{
    const auto found = find(address, port);
    if (found == entries_.end())
        return;
    found->answered = true;
    found->pause.reset();
}

bool GatewayTable::markFailed(uint32_t address, uint16_t port)
{
    const auto found = find(address, port);
    if (found == entries_.end())
        return false;
    Entry entry = std::move(*found);
    entries_.erase(found);
    entry.pause = std::make_unique<Timeout>(std::chrono::seconds(RetryPauseSeconds), clock_);
    entries_.push_back(std::move(entry));
    return true;
}

std::deque<gateway_info_t> GatewayTable::list() const
{
    std::deque<gateway_info_t> gateways;
    for (const Entry &entry : entries_)
        gateways.push_back(entry.gateway);
    return gateways;
}
