// The download engine's tick: take a reply, report it, build and send the next request.

#include "engine/downloadengine.h"

DownloadEngine::DownloadEngine(ComHalfDuplexTerminal &terminal, ModbusMaster &master, LogTransfer &transfer,
                               DownloadObserver &observer)
    : terminal(terminal),
      master(master),
      transfer(transfer),
      observer(observer)
{}

DownloadEngine::TickResult DownloadEngine::tick()
{
    TickResult result;
    // A box shown inside a tick (an exception, the configuration question, a database
    // error) runs a nested event loop in which the timers keep firing. A second tick
    // in there would handle the same reply again and send requests before the user
    // has answered.
    if (running)
        return result;
    running = true;
    struct TickEnd {
        bool &flag;
        ~TickEnd() { flag = false; }
    } tickEnd{running};

    if (!takeReply(result))
        return result;
    sendNextRequest(result);
    return result;
}

bool DownloadEngine::takeReply(TickResult &result)
{
    const std::uint8_t *reply = nullptr;
    std::size_t received = 0;
    // An empty frame is left in place: the next request overwrites it.
    if (!terminal.takeFrame(&reply, &received) || received == 0)
        return true;

    result.replyTaken = true;
    const ReplyResult code = master.processReply(reply, static_cast<std::uint8_t>(received));
    observer.frameReceived(reply, received, code);
    if (code == ReplyAccepted || code == exceptionResult(ExceptionServerBusy)) {
        observer.replyCounted();
        observer.progressChanged(transfer.remaining());
    } else if (modbusExceptionMessage(code) != nullptr) {
        // The frame is given back first: the owner may wait for the user now.
        terminal.releaseFrame();
        transfer.stop();
        result.stopped = true;
        observer.downloadStopped(DownloadStop::DeviceException, code);
        return false;
    }
    // Stray, corrupt and other exception replies are only shown; the transfer resends
    // at its own pace.
    terminal.releaseFrame();
    return true;
}

void DownloadEngine::sendNextRequest(TickResult &result)
{
    if (!observer.downloadWanted() && !transfer.isClearing())
        return;
    const TerminalBuffer::State state = terminal.currentState();
    if (state == TerminalBuffer::RequestReady || state == TerminalBuffer::Transmitting)
        return;

    std::uint8_t request[256] = {};
    std::uint8_t length = 0;
    const RequestResult code = master.buildRequest(request, &length);
    if (length != 0)
        observer.frameBuilt(request, length);
    if (code == RequestNoReply) {
        transfer.stop();
        result.stopped = true;
        observer.downloadStopped(DownloadStop::NoReply, ReplyAccepted);
        return;
    }
    // A request built while no port is open is shown but goes nowhere.
    if (length == 0 || !terminal.isOpen())
        return;
    if (!terminal.sendRequest(request, length))
        return;
    result.requestSent = true;
    observer.requestSent();
}

void DownloadEngine::repoll()
{
    if (running)
        return;
    if (terminal.isOpen())
        transfer.repoll();
}

void DownloadEngine::start(std::uint8_t address)
{
    transfer.stop();
    master.deviceAddress = address;
}

void DownloadEngine::stop()
{
    transfer.stop();
}

void DownloadEngine::clear()
{
    transfer.startClear();
}

bool DownloadEngine::atRest() const
{
    return transfer.isIdle() && !transfer.requestOutstanding();
}
