#include "remoteprinter.h"

#include "bridgeservice.h"
#include "controlprotocol.h"
#include "littleendian.h"
#include "logmanager.h"
#include "platform.h"
#include "printerprotocol.h"
#include "stringutils.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <ctime>
#include <system_error>
#include <vector>

RemotePrinter::RemotePrinter(uint32_t address, bool isStatic, bool discovered, BridgeService *service)
    : isStatic_(isStatic), address_(address), service_(service), discovered_(discovered)
{
}

RemotePrinter::~RemotePrinter()
{
    stop(true);
}

void RemotePrinter::startPrinterThread()
{
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (printerThread_)
        return;
    try {
        // The token keeps the service waiting for this thread even after the
        // printer has removed itself from the registry.
        printerThread_ = std::make_shared<std::thread>(
            [this, activity = service_->acquireActivity()] { runPrinterThread(); });
    } catch (const std::system_error &error) {
        ORVEL_LOG(Error, formatString("Cannot start the printer thread of '%s': %s",
                                      addressToString(address_).c_str(), error.what()));
    }
}

void RemotePrinter::stop(bool join)
{
    scheduler_.cancel();
    if (!join)
        return;
    std::shared_ptr<std::thread> thread;
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        thread = std::move(printerThread_);
    }
    if (!thread || !thread->joinable())
        return;
    if (thread->get_id() == std::this_thread::get_id()) {
        // The service never lets this happen; a joinable thread must not
        // be destroyed, though.
        ORVEL_LOG(Error, formatString("The printer thread of '%s' cannot join itself", addressToString(address_).c_str()));
        thread->detach();
        return;
    }
    thread->join();
}

bool RemotePrinter::isRunning() const
{
    return service_->isRunning() && scheduler_.isActive();
}

std::string RemotePrinter::getName() const
{
    std::lock_guard<std::mutex> lock(infoMutex_);
    return infoValid_ ? PrinterInfo::text(info_.name) : std::string();
}

bool RemotePrinter::getDetails(PrinterDetails &details) const
{
    std::lock_guard<std::mutex> lock(infoMutex_);
    if (!infoValid_)
        return false;
    details = PrinterDetails::from(address_, info_, gatewayAddress_, gatewayPort_);
    return true;
}

void RemotePrinter::getStatus(PrinterDetails &details) const
{
    std::lock_guard<std::mutex> lock(infoMutex_);
    details = infoValid_ ? PrinterDetails::from(address_, info_, gatewayAddress_, gatewayPort_) : PrinterDetails();
    details.address = address_;
    details.sessionUp = sessionUp_;
    details.sessionsStarted = sessionsStarted_;
    details.lastKeepAlive = lastKeepAlive_;
    details.lastBackup = lastBackup_;
    details.lastBackupFile = lastBackupFile_;
    details.failedBackups = failedBackups_;
    details.lastBackupFailed = lastBackupFailed_;
}

void RemotePrinter::noteSession(bool up)
{
    {
        std::lock_guard<std::mutex> lock(infoMutex_);
        if (sessionUp_ == up)
            return;
        sessionUp_ = up;
        if (up)
            ++sessionsStarted_;
    }
    service_->statusChanged();
}

void RemotePrinter::noteBackup(bool stored, const std::string &file)
{
    {
        std::lock_guard<std::mutex> lock(infoMutex_);
        if (stored) {
            lastBackup_ = static_cast<int64_t>(std::time(nullptr));
            lastBackupFile_ = file;
        } else {
            ++failedBackups_;
        }
        lastBackupFailed_ = !stored;
    }
    service_->statusChanged();
}

bool RemotePrinter::isDiscovered() const
{
    std::lock_guard<std::mutex> lock(infoMutex_);
    return discovered_;
}

void RemotePrinter::setDiscovered()
{
    std::lock_guard<std::mutex> lock(infoMutex_);
    discovered_ = true;
}

std::string RemotePrinter::sanitiseFileName(const std::string &name)
{
    std::string result = name;
    for (char &c : result) {
        switch (c) {
        case '\\': case '/': case '<': case '>': case ':': case '"': case '|': case '?': case '*':
            c = '_';
            break;
        default:
            break;
        }
    }
    return result;
}

bool RemotePrinter::controlExchange(const char *socketName, const char *command,
                                    const std::function<bool(Socket &)> &sendData)
{
    const std::shared_ptr<Socket> socket = service_->createSocket(socketName);
    if (!socket || !socket->connect(address_, ControlProtocol::Port))
        return false;
    socket->receiveTimeout = ControlReceiveTimeoutMs;
    socket->applyTimeouts();
    const auto name = ControlProtocol::command(command);
    if (socket->write(name.data(), static_cast<uint32_t>(name.size())) < 1)
        return false;
    unsigned char answer = 0;
    if (socket->read(&answer, ControlProtocol::AnswerSize, true) < 1)
        return false;
    return !ControlProtocol::wantsData(answer) || sendData(*socket);
}

bool RemotePrinter::updatePasswordFile(const unsigned char *bytes, unsigned length)
{
    if (!bytes || length == 0)
        return false;
    return controlExchange("PrinterControlPort - password", ControlProtocol::CopyFile, [&](Socket &socket) {
        const auto name = ControlProtocol::paddedText<ControlProtocol::FileNameSize>(ControlProtocol::PasswordFileName);
        const auto size = ControlProtocol::fileLength(length);
        return socket.write(name.data(), static_cast<uint32_t>(name.size())) >= 1 &&
               socket.write(size.data(), static_cast<uint32_t>(size.size())) >= 1 && socket.write(bytes, length) >= 1;
    });
}

bool RemotePrinter::setPrinterDate()
{
    return controlExchange("PrinterControlPort - time", ControlProtocol::SetDate, [](Socket &socket) {
        const auto date =
            ControlProtocol::PrinterDate::fromLocalTime(boost::posix_time::microsec_clock::local_time()).toBytes();
        return socket.write(date.data(), static_cast<uint32_t>(date.size())) >= 1;
    });
}

void RemotePrinter::runPrinterThread()
{
    Platform::instance().setThreadName("Printer thread", nullptr);
    try {
        if (isStatic_) {
            while (isRunning()) {
                printerConnect();
                scheduler_.wait(pollPeriodMs_);
            }
        } else {
            printerConnect();
        }
    } catch (const std::exception &error) {
        ORVEL_LOG(Error, formatString("Printer thread of '%s' failed: %s", addressToString(address_).c_str(),
                                      error.what()));
    }
    {
        std::lock_guard<std::mutex> lock(infoMutex_);
        infoValid_ = false;
    }
    stopGatewayThread(true);
    closeTunnels();
    // Nothing of the object is touched afterwards: the service joins this
    // thread before it lets the object go.
    service_->removePrinter(address_, this);
}

void RemotePrinter::printerConnect()
{
    const std::shared_ptr<Socket> socket = service_->createSocket("PrinterStatusPort");
    if (!socket || !socket->connect(address_, PrinterProtocol::StatusPort))
        return;
    // Empty: the first answer of every connection sets the date and, when
    // one is due, makes a backup.
    std::optional<std::chrono::steady_clock::time_point> lastBackupPass;
    // The polls' time-out; set again only after a backup changed it, which
    // spares a thousand printers two system calls per poll each.
    socket->receiveTimeout = StatusReceiveTimeoutMs;
    socket->applyTimeouts();
    while (isRunning()) {
        std::string name;
        std::string model;
        if (!pollPrinterInfo(*socket, name, model))
            return;
        ensureGatewayThread();
        const std::chrono::steady_clock::time_point now = monotonicClock_();
        if (!lastBackupPass || now - *lastBackupPass > std::chrono::seconds(BackupPeriodSeconds)) {
            if (!backupPass(socket, name, model))
                return;
            lastBackupPass = now;
            socket->receiveTimeout = StatusReceiveTimeoutMs;
            socket->applyTimeouts();
        }
        scheduler_.wait(pollPeriodMs_);
    }
}

bool RemotePrinter::backupPass(const std::shared_ptr<Socket> &socket, const std::string &name,
                               const std::string &model)
{
    const std::string folder = service_->getBackupDirectory();
    const std::string prefix = "Backup-" + sanitiseFileName(name);
    if (!name.empty() && backupDue(name, folder, prefix)) {
        // A failed backup may leave its bytes in the status stream.
        if (!createBackup(socket, name, model, folder, prefix)) {
            noteBackup(false, std::string());
            return false;
        }
        deleteOldBackups(name, folder, prefix, boost::posix_time::hours(168), 5);
    }
    setPrinterDate();
    return true;
}

void RemotePrinter::ensureGatewayThread()
{
    std::shared_ptr<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(threadMutex_);
        if (gatewayThread_ && !gatewayThreadEnded_)
            return;
        ended = std::move(gatewayThread_);
        gatewayThreadEnded_ = false;
    }
    // The ended thread has nothing left to do but return.
    if (ended && ended->joinable())
        ended->join();
    std::lock_guard<std::mutex> lock(threadMutex_);
    try {
        gatewayThread_ = std::make_shared<std::thread>([this] { runGatewayThread(); });
    } catch (const std::system_error &error) {
        ORVEL_LOG(Error, formatString("Cannot start the gateway thread of '%s': %s",
                                      addressToString(address_).c_str(), error.what()));
    }
}

bool RemotePrinter::pollPrinterInfo(Socket &socket, std::string &name, std::string &model)
{
    const unsigned char command = PrinterProtocol::TQ_PRINTERINFO_CMD;
    if (socket.write(&command, 1) < 1) {
        ORVEL_LOG(Debug, "Failed to send command TQ_PRINTERINFO_CMD");
        return false;
    }
    unsigned char lengthField[PrinterProtocol::InfoLengthSize];
    if (socket.read(lengthField, sizeof lengthField, true) < 1) {
        ORVEL_LOG(Debug, "Failed to read command's TQ_PRINTERINFO_CMD response");
        return false;
    }
    const size_t length = PrinterProtocol::infoPayloadLength(lengthField);
    if (length == 0) {
        std::lock_guard<std::mutex> lock(infoMutex_);
        info_ = PrinterInfo::unnamed();
        infoValid_ = true;
        return true;
    }
    std::vector<unsigned char> payload(length);
    if (socket.read(payload.data(), static_cast<uint32_t>(payload.size()), true) < 1) {
        ORVEL_LOG(Debug, "Failed to read command's TQ_PRINTERINFO_CMD response payload");
        return false;
    }
    const PrinterInfo info = PrinterInfo::fromPayload(payload.data(), payload.size());
    name = PrinterInfo::text(info.name);
    model = PrinterInfo::text(info.model);
    bool renamed = false;
    {
        std::lock_guard<std::mutex> lock(infoMutex_);
        renamed = !infoValid_ || PrinterInfo::text(info_.name) != PrinterInfo::text(info.name);
        info_ = info;
        infoValid_ = true;
    }
    if (renamed)
        ORVEL_LOG(Debug, formatString("Printer '%s' is named '%s' (%s)", addressToString(address_).c_str(),
                                      name.c_str(), model.c_str()));
    return true;
}
