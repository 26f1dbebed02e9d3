// One simulated printer: its status, control and web ports and its
// discovery answers, all on the printer's own IPv4 address.
#pragma once

#include "printerconfig.h"
#include "report.h"
#include "tcplistener.h"
#include "uniquefd.h"

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// Owned by main(). start(), startSilenceTimer() and stop() run on the main
// thread; answerDiscovery() runs on the discovery thread; the silence timer
// thread (only with silent-after) closes the listeners when its time comes.
// The listeners are touched by one thread at a time: the timer thread until
// stop() has joined it, the main thread after that.
class SimulatedPrinter {
public:
    static constexpr std::uint16_t kStatusPort = 9101;
    static constexpr std::uint16_t kControlPort = 9102;

    // webPort 0 means no web page.
    SimulatedPrinter(const PrinterConfig& config, std::uint16_t webPort, Report& report);
    ~SimulatedPrinter();
    SimulatedPrinter(const SimulatedPrinter&) = delete;
    SimulatedPrinter& operator=(const SimulatedPrinter&) = delete;

    // Opens the discovery answer socket and the listeners. A status or
    // control port (or answer socket) that cannot be opened is reported and
    // makes start() return false; a web port that cannot be bound is
    // reported and the printer goes on without its page.
    bool start();

    // With silent-after, starts the thread that silences the printer at
    // programStart + silent-after.
    void startSilenceTimer(Report::Clock::time_point programStart);

    // Answers one printers discovery request from requester according to
    // the printer's discovery mode (nothing once silent).
    void answerDiscovery(const sockaddr_in& requester);

    // Ends the timer and closes every port and connection; joins all threads.
    void stop();

    const PrinterConfig& config() const { return config_; }

private:
    bool listen(TcpListener& listener, std::uint16_t port, const char* service,
                TcpListener::Handler handler);
    void silenceTimer(Report::Clock::time_point deadline);  // timer thread body
    void closeListeners();

    const PrinterConfig config_;
    const std::uint16_t webPort_;
    Report& report_;

    TcpListener status_, control_, web_;
    UniqueFd answerFd_;                 // UDP socket bound to the printer's address; used by the discovery thread
    std::atomic<bool> silent_{false};   // set once by the timer thread

    std::mutex timerMutex_;             // guards stopTimer_
    std::condition_variable timerWake_;
    bool stopTimer_ = false;
    std::thread timer_;                 // started and joined by the main thread
};
