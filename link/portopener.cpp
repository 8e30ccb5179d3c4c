// The background open of a port, and its cancel.

#include "link/portopener.h"

#include <system_error>
#include <utility>

PortOpener::~PortOpener()
{
    discard();
}

void PortOpener::start(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
                       std::function<void()> onFinished, const SerialPortMethods *methods)
{
    discard();
    cancelSignal.clear();
    result = OpenedPort();
    result.name = portName;
    result.methods = methods != nullptr ? methods : &portMethodsFor(portName);
    result.baudRate = baudRate;
    result.parity = parity;
    result.stopBits = stopBits;
    finishedCallback = std::move(onFinished);
    {
        std::lock_guard<std::mutex> hold(lock);
        done = false;
    }
    try {
        thread = std::thread(&PortOpener::runOpen, this);
    } catch (const std::system_error &failure) {
        setPortError(&result.error, PortFailure::Other, failure.code().value());
        {
            std::lock_guard<std::mutex> hold(lock);
            done = true;
        }
        if (finishedCallback)
            finishedCallback();
    }
}

void PortOpener::runOpen()
{
    // Only this thread touches `result` until `done` is published under the lock.
    PortError error;
    const SerialPortMethods &methods = *result.methods;
    PortHandle handle = InvalidPortHandle;
    if (result.baudRate == 0)
        setPortError(&error, PortFailure::LineSettingsRefused, 0);
    else
        handle = methods.open(result.name.c_str(), result.baudRate, result.parity, result.stopBits,
                              ComHalfDuplexTerminal::tickMilliseconds(result.baudRate, result.parity, result.stopBits),
                              &cancelSignal, &error);
    if (handle != InvalidPortHandle && cancelSignal.signalled()) {
        methods.close(handle);
        handle = InvalidPortHandle;
        setPortError(&error, PortFailure::Cancelled, 0);
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        result.handle = handle;
        result.error = error;
        done = true;
    }
    ended.notify_all();
    if (finishedCallback)
        finishedCallback();
}

void PortOpener::cancel()
{
    cancelSignal.signal();
}

bool PortOpener::finished() const
{
    std::lock_guard<std::mutex> hold(lock);
    return done;
}

bool PortOpener::waitFinished(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> hold(lock);
    return ended.wait_for(hold, timeout, [this] { return done; });
}

OpenedPort PortOpener::take()
{
    if (thread.joinable())
        thread.join();
    OpenedPort taken = std::move(result);
    result = OpenedPort();
    // Cancelled after the open succeeded: the owner asked for no port.
    if (taken.handle != InvalidPortHandle && cancelSignal.signalled()) {
        taken.methods->close(taken.handle);
        taken.handle = InvalidPortHandle;
        setPortError(&taken.error, PortFailure::Cancelled, 0);
    }
    if (taken.methods == nullptr && !taken.error.failed())
        setPortError(&taken.error, PortFailure::Cancelled, 0);
    return taken;
}

void PortOpener::discard()
{
    cancel();
    OpenedPort left = take();
    if (left.handle != InvalidPortHandle)
        left.methods->close(left.handle);
}
