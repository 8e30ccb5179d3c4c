// khronar-wincheck: runs the Win32 code under Wine: the serial terminal on a COM port
// linked to the device simulator's pseudo-terminal and on its network ports, the tick
// counter and the version resource reader. scripts/check-windows starts the simulator
// and runs this.
//   khronar-wincheck --port COM5 --log LOG.json [--absent PORT]... [--network URL]...

#include "app/identity.h"
#include "app/versionresource.h"
#include "engine/downloadengine.h"
#include "link/comhalfduplexterminal.h"
#include "link/portopener.h"
#include "link/porttcp.h"
#include "link/serialport.h"
#include "protocol/logtransfer.h"
#include "protocol/modbusmaster.h"
#include "protocol/tickcount.h"
#include "tests/windows/check.h"
#include "tests/windows/expectedlog.h"

#include "buildidentity.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

namespace {

// The simulator's line: it runs with parity none, as a pseudo-terminal refuses parity.
constexpr std::uint32_t BaudRate = 9600;
constexpr std::uint8_t ParityNone = 0;
constexpr std::uint8_t OneStopBit = 0;
// The pseudo-terminal takes any rate; at this one a tick (8N1) is 8 ms instead of 1.
constexpr std::uint32_t SlowBaudRate = 1200;
// The window's frame storage, frame gap and poll tick.
constexpr std::size_t StorageSize = 256;
constexpr std::uint8_t GapTicks = 10;
constexpr DWORD WindowTickMs = 100;
constexpr DWORD RepollMs = 1000;
// Closing or destroying an open terminal waits for the worker's current read: a tick,
// with wide room for a loaded machine.
constexpr double PromptCloseMs = 500;

const char *simulatorPort = nullptr;
const char *logPath = nullptr;
ExpectedLog expected;
std::vector<std::string> absentPorts;
std::vector<std::string> networkPorts;

bool runningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

double nowMs()
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Waits for `condition`, looking every millisecond, at most `timeoutMs`.
template<typename Condition> bool waitFor(Condition condition, DWORD timeoutMs = 10000)
{
    const DWORD started = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - started > timeoutMs)
            return false;
        Sleep(1);
    }
    return true;
}

// Says on which Win32 call opening `port` fails, after the terminal could not open it.
void explainOpenFailure(const char *port)
{
    const std::string path = std::string("\\\\.\\") + port;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        std::printf("  CreateFileA(%s) fails with error %lu\n", path.c_str(), GetLastError());
        return;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts;
    if (!GetCommState(handle, &dcb))
        std::printf("  GetCommState fails with error %lu\n", GetLastError());
    else if (!SetCommState(handle, &dcb))
        std::printf("  SetCommState of the port's own state fails with error %lu\n", GetLastError());
    else if (!GetCommTimeouts(handle, &timeouts))
        std::printf("  GetCommTimeouts fails with error %lu\n", GetLastError());
    else
        std::printf("  %s opens and configures now\n", path.c_str());
    CloseHandle(handle);
}

// Opens the simulator's port as the window does, or says why it cannot.
bool openSimulatorPort(ComHalfDuplexTerminal &terminal, std::uint32_t baudRate = BaudRate)
{
    if (terminal.open(simulatorPort, baudRate, ParityNone, OneStopBit))
        return true;
    explainOpenFailure(simulatorPort);
    return false;
}

// UTF-8 to the device's code page, Windows-1251, as the simulator stores captions.
bool toWindows1251(const std::string &utf8, std::string *converted)
{
    converted->clear();
    if (utf8.empty())
        return true;
    const int wideLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                               static_cast<int>(utf8.size()), nullptr, 0);
    if (wideLength <= 0)
        return false;
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), &wide[0],
                        wideLength);
    BOOL usedDefault = FALSE;
    const int length = WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, nullptr, 0, nullptr,
                                           &usedDefault);
    if (length <= 0 || usedDefault)
        return false;
    converted->resize(static_cast<std::size_t>(length));
    WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, &(*converted)[0], length, nullptr,
                        nullptr);
    return true;
}

std::wstring ownPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// A master whose transfer asks for the device's info first, as a download begins.
struct InfoMaster {
    InfoMaster()
    {
        handlers[0] = transfer.functionHandler();
        master.handlerTable = handlers;
        master.entryCount = 1;
    }
    // Builds the info request and commits it to `terminal`.
    bool sendRequest(ComHalfDuplexTerminal &terminal)
    {
        std::uint8_t request[MaxFrameLength + 1] = {};
        std::uint8_t length = 0;
        return CHECK_EQUAL(master.buildRequest(request, &length), RequestSent)
            && CHECK(terminal.sendRequest(request, length));
    }

    LogTransfer transfer;
    ModbusFunctionHandler handlers[1];
    ModbusMaster master;
};

// ---------------------------------------------------------------------------------
// The identity, read from this program's own version resource, which is the one
// generated for khronar.exe.

void identityFromVersionResource()
{
    struct Row {
        const wchar_t *key;
        std::uint32_t translation;
        const wchar_t *value;
    };
    // The Linux build answers from the same generated values, in block 0x040904E4 only.
    const Row rows[] = {
        {L"ProductName", IdentityTranslation, KHRONAR_PRODUCT_NAME},
        {L"InternalName", IdentityTranslation, KHRONAR_INTERNAL_NAME},
        {L"FileDescription", IdentityTranslation, KHRONAR_FILE_DESCRIPTION},
        {L"FileVersion", IdentityTranslation, KHRONAR_FILE_VERSION},
        {L"ProductVersion", IdentityTranslation, KHRONAR_PRODUCT_VERSION},
        {L"Comments", IdentityTranslation, L""},
        // The translation list names language 0x0419; its block does not exist.
        {L"ProductName", 0x041904E4, L""},
    };
    const std::wstring path = ownPath();
    if (!CHECK(!path.empty()))
        return;
    for (const Row &row : rows) {
        CHECK_EQUAL(identityString(path, row.key, row.translation), std::wstring(row.value));
        CHECK_EQUAL(readVersionString(path, row.key, row.translation), std::wstring(row.value));
    }
    // The values the window's title is made of, spelled out.
    CHECK_EQUAL(identityString(path, L"ProductName", IdentityTranslation),
                std::wstring(L"\u0425\u0440\u043E\u043D\u0430\u0440"));
    CHECK_EQUAL(identityString(path, L"InternalName", IdentityTranslation), std::wstring());

    // A file without a version resource (the simulator's log), and no file at all.
    const int length = MultiByteToWideChar(CP_ACP, 0, logPath, -1, nullptr, 0);
    std::wstring log(length > 0 ? static_cast<std::size_t>(length) : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, logPath, -1, &log[0], length);
    log.resize(log.size() - 1);
    CHECK(GetFileAttributesW(log.c_str()) != INVALID_FILE_ATTRIBUTES);
    CHECK_EQUAL(readVersionString(log, L"ProductName", IdentityTranslation), std::wstring());
    CHECK_EQUAL(readVersionString(path + L".missing", L"ProductName", IdentityTranslation), std::wstring());
}

// ---------------------------------------------------------------------------------
// The tick counter behind the reply deadlines.

void tickCountIsGetTickCount()
{
    const DWORD before = GetTickCount();
    const std::uint32_t system = systemTickCount();
    const std::uint32_t current = tickCount();
    const DWORD after = GetTickCount();
    // Compared by signed difference, as the protocol compares ticks.
    CHECK(static_cast<std::int32_t>(system - before) >= 0);
    CHECK(static_cast<std::int32_t>(after - system) >= 0);
    CHECK(static_cast<std::int32_t>(current - before) >= 0);
    CHECK(static_cast<std::int32_t>(after - current) >= 0);
}

void replyDeadlineRunsOnTheTickCounter()
{
    constexpr std::uint16_t ReplyTimeoutMs = 300;
    LogTransfer transfer;
    transfer.setReplyTiming(ReplyTimeoutMs, 10);
    std::uint8_t frame[MaxFrameLength + 1] = {};
    std::uint8_t length = 0;

    const DWORD started = GetTickCount();
    if (!CHECK_EQUAL(transfer.buildRequest(frame, &length), RequestSent))
        return;
    const std::uint8_t attempts = transfer.attemptsLeft();
    CHECK_EQUAL(transfer.buildRequest(frame, &length), RequestWaiting);
    RequestResult code = RequestWaiting;
    CHECK(waitFor([&] {
        code = transfer.buildRequest(frame, &length);
        return code != RequestWaiting;
    }));
    const DWORD waited = GetTickCount() - started;
    // The resend comes once the deadline has passed on GetTickCount, never before.
    CHECK_EQUAL(code, RequestSent);
    CHECK(waited >= ReplyTimeoutMs);
    CHECK_EQUAL(transfer.attemptsLeft(), static_cast<std::uint8_t>(attempts - 1));
}

// ---------------------------------------------------------------------------------
// Opening and closing ports.

void portWithoutDeviceFailsToOpen()
{
    CHECK(!absentPorts.empty());
    for (const std::string &port : absentPorts) {
        std::uint8_t storage[StorageSize];
        ComHalfDuplexTerminal terminal(storage, sizeof storage, GapTicks);
        if (!CHECK(!terminal.open(port, BaudRate, ParityNone, OneStopBit)))
            std::printf("  port %s opened\n", port.c_str());
        CHECK(!terminal.isOpen());
        // No port at all is "not found". A port whose device is gone is too on
        // Windows; Wine sometimes opens the dangling link and then finds no serial
        // port behind it.
        const PortError &why = terminal.openError();
        std::printf("  %s: cause %d, system code %d\n", port.c_str(), int(why.cause), why.systemCode);
        const bool notSerial = why.cause == PortFailure::NotSerialPort && runningUnderWine();
        if (!notSerial)
            CHECK_EQUAL(int(why.cause), int(PortFailure::NoSuchPort));
        CHECK_EQUAL(portOpenFailureText(port, why),
                    "Не удается открыть порт \"" + port
                        + "\": " + (notSerial ? "это не последовательный порт" : "порт не найден"));
        // The Win32 table on its own, as the terminal picks it for a COM port's name.
        const PortHandle handle = platformSerialPort().open(port.c_str(), BaudRate, ParityNone, OneStopBit, 1, nullptr,
                                                            nullptr);
        CHECK_EQUAL(handle, InvalidPortHandle);
        if (handle != InvalidPortHandle)
            platformSerialPort().close(handle);
    }
    // A name that is no port at all.
    std::uint8_t storage[StorageSize];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, GapTicks);
    CHECK(!terminal.open("", BaudRate, ParityNone, OneStopBit));
    CHECK_EQUAL(int(terminal.openError().cause), int(PortFailure::NoSuchPort));
}

void portInUseIsRefused()
{
    std::uint8_t firstStorage[StorageSize];
    std::uint8_t secondStorage[StorageSize];
    ComHalfDuplexTerminal first(firstStorage, sizeof firstStorage, GapTicks);
    ComHalfDuplexTerminal second(secondStorage, sizeof secondStorage, GapTicks);
    if (!CHECK(openSimulatorPort(first)))
        return;
    const bool refused = !second.open(simulatorPort, BaudRate, ParityNone, OneStopBit);
    if (!refused && runningUnderWine()) {
        // Windows's serial driver admits one open of a port; Wine checks share modes
        // on files and directories only, and opens a device as often as asked.
        second.close();
        check::skip("Wine does not apply the share mode to a device");
        return;
    }
    CHECK(refused);
    CHECK_EQUAL(int(second.openError().cause), int(PortFailure::Busy));
    CHECK(!second.isOpen());
    CHECK(first.isOpen());
    first.close();
    CHECK(!first.isOpen());
    // Closed, the port is free again.
    CHECK(openSimulatorPort(second));
}

void closeIsPrompt()
{
    // Ticks of 1 and 8 ms.
    const std::uint32_t rates[] = {BaudRate, SlowBaudRate};
    for (const std::uint32_t baudRate : rates) {
        std::uint8_t storage[StorageSize];
        ComHalfDuplexTerminal terminal(storage, sizeof storage, GapTicks);
        if (!CHECK(openSimulatorPort(terminal, baudRate)))
            return;
        // Let the worker settle into its reads.
        Sleep(50);
        double started = nowMs();
        terminal.close();
        double took = nowMs() - started;
        CHECK(!terminal.isOpen());
        std::printf("  close took %.1f ms at %u baud\n", took, static_cast<unsigned>(baudRate));
        CHECK(took < PromptCloseMs);

        // Destroying an open terminal stops its worker just as promptly.
        auto owned = std::make_unique<ComHalfDuplexTerminal>(storage, sizeof storage, GapTicks);
        if (!CHECK(openSimulatorPort(*owned, baudRate)))
            return;
        Sleep(50);
        started = nowMs();
        owned.reset();
        took = nowMs() - started;
        std::printf("  destruction took %.1f ms at %u baud\n", took, static_cast<unsigned>(baudRate));
        CHECK(took < PromptCloseMs);
    }
}

// ---------------------------------------------------------------------------------
// Gateways that refuse or never answer, opened on the opener's thread.

// A Winsock listener on 127.0.0.1 with an accept queue of its own.
struct Listener {
    explicit Listener(int backlog)
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (socket == INVALID_SOCKET || bind(socket, reinterpret_cast<sockaddr *>(&address), length) != 0
            || listen(socket, backlog) != 0
            || getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
    }
    ~Listener()
    {
        for (SOCKET client : clients)
            closesocket(client);
        if (socket != INVALID_SOCKET)
            closesocket(socket);
    }
    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port); }
    // Connects clients that are never accepted until one's handshake goes unanswered.
    bool fillAcceptQueue()
    {
        for (int i = 0; i < 16; ++i) {
            SOCKET client = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            u_long nonBlocking = 1;
            ioctlsocket(client, FIONBIO, &nonBlocking);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(port);
            connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
            clients.push_back(client);
            WSAPOLLFD entry{};
            entry.fd = client;
            entry.events = POLLOUT;
            if (WSAPoll(&entry, 1, 300) == 0)
                return true;
        }
        return false;
    }

    SOCKET socket = INVALID_SOCKET;
    std::uint16_t port = 0;
    std::vector<SOCKET> clients;
};

void gatewayCausesAreNamed()
{
    std::string refused;
    {
        // Free a moment ago: nobody listens there now.
        Listener probe(1);
        refused = probe.url();
    }
    std::uint8_t storage[StorageSize];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, GapTicks);
    CHECK(!terminal.open(refused, BaudRate, ParityNone, OneStopBit));
    CHECK_EQUAL(int(terminal.openError().cause), int(PortFailure::ConnectionRefused));
    CHECK_EQUAL(portOpenFailureText(refused, terminal.openError()),
                "Не удается открыть порт \"" + refused + "\": шлюз отклонил соединение");
    CHECK(!terminal.open("tcp://127.0.0.1", BaudRate, ParityNone, OneStopBit));
    CHECK_EQUAL(int(terminal.openError().cause), int(PortFailure::NoSuchPort));
}

void openerCancelsASilentGateway()
{
    Listener gateway(0);
    if (!CHECK(gateway.port != 0) || !CHECK(gateway.fillAcceptQueue()))
        return;
    PortOpener opener;
    double started = nowMs();
    opener.start(gateway.url(), BaudRate, ParityNone, OneStopBit);
    const double startMs = nowMs() - started;
    // The handshake is in flight and stays so.
    CHECK(!opener.waitFinished(std::chrono::milliseconds(300)));
    started = nowMs();
    opener.cancel();
    CHECK(opener.waitFinished(std::chrono::milliseconds(GatewayConnectTimeoutMs)));
    const double endedMs = nowMs() - started;
    const OpenedPort opened = opener.take();
    std::printf("  start %.2f ms, the open ended %.1f ms after the cancel\n", startMs, endedMs);
    CHECK_EQUAL(opened.handle, InvalidPortHandle);
    CHECK_EQUAL(int(opened.error.cause), int(PortFailure::Cancelled));
}

void openerHandsTheTerminalItsPort()
{
    PortOpener opener;
    opener.start(simulatorPort, BaudRate, ParityNone, OneStopBit);
    OpenedPort opened = opener.take();
    if (!CHECK(opened.handle != InvalidPortHandle)) {
        explainOpenFailure(simulatorPort);
        return;
    }
    std::uint8_t storage[StorageSize];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, ComHalfDuplexTerminal::LineSilence{});
    CHECK(terminal.attach(std::move(opened)));
    CHECK(terminal.isOpen());
    // The info request, answered.
    InfoMaster info;
    if (!info.sendRequest(terminal) || !CHECK(terminal.waitForFrame(std::chrono::seconds(10))))
        return;
    const std::uint8_t *frame = nullptr;
    std::size_t frameLength = 0;
    if (CHECK(terminal.takeFrame(&frame, &frameLength)))
        CHECK_EQUAL(info.master.processReply(frame, static_cast<std::uint8_t>(frameLength)), ReplyAccepted);
    terminal.releaseFrame();
}

// ---------------------------------------------------------------------------------
// Reads: each empty read waits its tick, so a quiet line is not polled in a loop and a
// frame ends only after the gap of silence.

// The Win32 port with its reads counted, for the terminal's worker.
std::atomic<unsigned> portReads{0};

int countedRead(PortHandle port, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutUs,
                const PortWake *wake, PortError *error)
{
    portReads.fetch_add(1, std::memory_order_relaxed);
    return platformSerialPort().read(port, data, capacity, timeoutUs, wake, error);
}

const SerialPortMethods &countedWin32Port()
{
    static const SerialPortMethods methods = [] {
        SerialPortMethods counted = platformSerialPort();
        counted.read = countedRead;
        return counted;
    }();
    return methods;
}

void emptyReadsTakeATick()
{
    // A tick of 8 ms: about 125 reads a second on a quiet line.
    const std::uint32_t tickMs = ComHalfDuplexTerminal::tickMilliseconds(SlowBaudRate, ParityNone, OneStopBit);
    std::uint8_t storage[StorageSize];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, GapTicks, countedWin32Port());
    if (!CHECK(openSimulatorPort(terminal, SlowBaudRate)))
        return;
    constexpr DWORD WatchMs = 1000;
    const unsigned readsBefore = portReads.load();
    const double started = nowMs();
    Sleep(WatchMs);
    const unsigned reads = portReads.load() - readsBefore;
    const double watched = nowMs() - started;
    terminal.close();
    std::printf("  %u reads in %.0f ms, a tick is %u ms\n", reads, watched, static_cast<unsigned>(tickMs));
    // Reads that return at once make thousands; twice the tick count allows for a
    // timer that ends a wait early. Reads that wait ten ticks would stretch the frame
    // gap tenfold.
    CHECK(reads <= 2 * watched / tickMs + 2);
    CHECK(reads >= watched / tickMs / 10);
}

void frameEndsAfterTheGap()
{
    // Reads wait 8 ms, so a reply is complete 80 ms after its last byte.
    const std::uint32_t tickMs = ComHalfDuplexTerminal::tickMilliseconds(SlowBaudRate, ParityNone, OneStopBit);
    std::uint8_t storage[StorageSize];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, GapTicks);
    if (!CHECK(openSimulatorPort(terminal, SlowBaudRate)))
        return;

    InfoMaster info;
    if (!info.sendRequest(terminal))
        return;

    // The reply's bytes all arrive at once on a pseudo-terminal; the first look that
    // finds them is no earlier than their arrival.
    double firstSeen = 0;
    CHECK(waitFor([&] {
        const TerminalBuffer::State state = terminal.currentState();
        if (state == TerminalBuffer::Receiving && firstSeen == 0)
            firstSeen = nowMs();
        return state == TerminalBuffer::FrameReady;
    }));
    const double ready = nowMs();
    const std::uint8_t *frame = nullptr;
    std::size_t frameLength = 0;
    if (CHECK(terminal.takeFrame(&frame, &frameLength))) {
        CHECK_EQUAL(info.master.processReply(frame, static_cast<std::uint8_t>(frameLength)), ReplyAccepted);
        terminal.releaseFrame();
    }
    terminal.close();
    // Half the gap, for the coarse timer of a loaded machine; reads that return at once
    // end the frame within a millisecond.
    const double gapMs = GapTicks * tickMs;
    if (!CHECK(firstSeen != 0))
        return;
    std::printf("  the reply was complete %.1f ms after its bytes came; the gap is %.0f ms\n", ready - firstSeen,
                gapMs);
    CHECK(ready - firstSeen >= gapMs / 2);
}

// ---------------------------------------------------------------------------------
// The whole download, as the window drives it.

struct Received {
    bool infoSeen = false;
    std::uint16_t captionCount = 0;
    std::vector<std::uint16_t> captionPositions;
    std::vector<ExpectedCaption> captions; // text in the device's code page
    bool rangeSeen = false;
    std::uint32_t rangeFirst = 0;
    std::uint32_t rangeSpan = 0;
    std::vector<ExpectedRecord> records;
};

// The transfer's callbacks, each handed the Received they fill as their context.
bool onLogInfo(void *context, std::uint16_t captionCount, std::uint32_t, std::uint32_t)
{
    Received *received = static_cast<Received *>(context);
    received->infoSeen = true;
    received->captionCount = captionCount;
    return true;
}

void onCaption(void *context, std::uint16_t position, std::uint32_t eventId, const char *text)
{
    Received *received = static_cast<Received *>(context);
    received->captionPositions.push_back(position);
    received->captions.push_back(ExpectedCaption{eventId, text});
}

std::uint32_t onRange(void *context, std::uint32_t first, std::uint32_t span)
{
    Received *received = static_cast<Received *>(context);
    received->rangeSeen = true;
    received->rangeFirst = first;
    received->rangeSpan = span;
    return first;
}

void onRecord(void *context, std::uint32_t index, std::uint8_t count, std::uint8_t type, std::uint32_t time,
              std::uint32_t eventId, const std::uint8_t *data, std::size_t dataLength)
{
    static_cast<Received *>(context)->records.push_back(
        ExpectedRecord{index, count, type, time, eventId, std::vector<std::uint8_t>(data, data + dataLength)});
}

// The window's side of a download, reduced to counting what happens.
class CountingObserver : public DownloadObserver
{
public:
    bool downloadWanted() const override { return true; }
    void frameReceived(const std::uint8_t *, std::size_t, ReplyResult code) override
    {
        if (code == ReplyCorrupt)
            ++corrupt;
        else if (code == ReplyUnexpected)
            ++unexpected;
        else if (code == exceptionResult(ExceptionServerBusy))
            ++busy;
    }
    void frameBuilt(const std::uint8_t *, std::size_t) override {}
    void requestSent() override { ++requests; }
    void replyCounted() override { ++counted; }
    void progressChanged(std::uint32_t) override {}
    void downloadStopped(DownloadStop reason, ReplyResult exceptionCode) override
    {
        stopped = true;
        stopReason = reason;
        stopCode = exceptionCode;
    }

    unsigned requests = 0;
    unsigned counted = 0;
    unsigned busy = 0;
    unsigned corrupt = 0;
    unsigned unexpected = 0;
    bool stopped = false;
    DownloadStop stopReason = DownloadStop::NoReply;
    ReplyResult stopCode = ReplyAccepted;
};

// Downloads the device's whole log on `port` through the download engine, a tick
// every `tickMs`, the re-poll every second as the window's timer does, and compares
// every caption and record with the simulator's log file.
void downloadWholeLog(const std::string &port, DWORD tickMs, bool silenceFraming = false)
{
    Received got;
    LogTransfer transfer;
    transfer.setCallbacks({onLogInfo, onCaption, onRange, onRecord, &got});
    ModbusFunctionHandler handlers[] = {transfer.functionHandler()};
    ModbusMaster master;
    master.handlerTable = handlers;
    master.entryCount = 1;

    std::uint8_t storage[StorageSize];
    std::unique_ptr<ComHalfDuplexTerminal> owned = silenceFraming
        ? std::make_unique<ComHalfDuplexTerminal>(storage, sizeof storage, ComHalfDuplexTerminal::LineSilence{})
        : std::make_unique<ComHalfDuplexTerminal>(storage, sizeof storage, GapTicks);
    ComHalfDuplexTerminal &terminal = *owned;
    if (!CHECK(terminal.open(port, BaudRate, ParityNone, OneStopBit))) {
        if (portTransportOf(port) == PortTransport::Serial)
            explainOpenFailure(port.c_str());
        return;
    }
    CountingObserver observer;
    DownloadEngine engine(terminal, master, transfer, observer);
    engine.start(1);

    // One request a tick: info, captions, range, every position; three times the
    // time that takes at the window's pace leaves room for resends.
    const std::uint32_t positions = expected.endIndex - expected.firstIndex;
    const DWORD budgetMs = (3 + static_cast<DWORD>(expected.captions.size()) + positions) * (tickMs + WindowTickMs) * 3;
    const DWORD started = GetTickCount();
    DWORD nextTick = started;
    DWORD nextRepoll = started + RepollMs;
    bool ended = false;
    for (;;) {
        if (engine.tick().stopped)
            break;
        if (got.rangeSeen && engine.atRest()) {
            ended = true;
            break;
        }
        if (GetTickCount() - started > budgetMs)
            break;
        if (static_cast<std::int32_t>(GetTickCount() - nextRepoll) >= 0) {
            engine.repoll();
            nextRepoll += RepollMs;
        }
        if (silenceFraming) {
            // As khronar-fetch drives it: woken by the next frame.
            terminal.waitForFrame(std::chrono::milliseconds(tickMs));
            continue;
        }
        nextTick += tickMs;
        const DWORD now = GetTickCount();
        if (static_cast<std::int32_t>(nextTick - now) > 0)
            Sleep(nextTick - now);
    }
    const DWORD took = GetTickCount() - started;
    terminal.close();
    std::printf("  %s: %u captions and %u records in %.1f s: %u requests, %u replies counted, "
                "%u corrupt, %u unexpected, %u busy\n",
                port.c_str(), static_cast<unsigned>(got.captions.size()), static_cast<unsigned>(got.records.size()),
                took / 1000.0, observer.requests, observer.counted, observer.corrupt, observer.unexpected,
                observer.busy);

    CHECK(ended);
    if (!CHECK(!observer.stopped))
        std::printf("  stopped: %s, exception %u\n",
                    observer.stopReason == DownloadStop::NoReply ? "no reply" : "device exception",
                    static_cast<unsigned>(observer.stopCode));
    // Nothing on the way is lost or damaged: every request is answered at once, and
    // every reply arrives as one frame.
    CHECK_EQUAL(observer.corrupt, 0u);
    CHECK_EQUAL(observer.unexpected, 0u);
    CHECK_EQUAL(observer.counted, observer.requests);
    CHECK(got.infoSeen);
    CHECK_EQUAL(got.captionCount, expected.captions.size());
    if (CHECK_EQUAL(got.captions.size(), expected.captions.size())) {
        for (std::size_t i = 0; i < got.captions.size(); ++i) {
            std::string text;
            CHECK(toWindows1251(expected.captions[i].text, &text));
            if (!CHECK_EQUAL(got.captionPositions[i], i)
                || !CHECK_EQUAL(got.captions[i].eventId, expected.captions[i].eventId)
                || !CHECK_EQUAL(got.captions[i].text, text)) {
                std::printf("  at caption %u\n", static_cast<unsigned>(i));
                break;
            }
        }
    }
    CHECK(got.rangeSeen);
    CHECK_EQUAL(got.rangeFirst, expected.firstIndex);
    CHECK_EQUAL(got.rangeSpan, positions);
    if (CHECK_EQUAL(got.records.size(), expected.records.size())) {
        for (std::size_t i = 0; i < got.records.size(); ++i) {
            const ExpectedRecord &a = got.records[i];
            const ExpectedRecord &e = expected.records[i];
            if (!CHECK_EQUAL(a.index, e.index) || !CHECK_EQUAL(a.count, e.count) || !CHECK_EQUAL(a.type, e.type)
                || !CHECK_EQUAL(a.time, e.time) || !CHECK_EQUAL(a.eventId, e.eventId) || !CHECK_EQUAL(a.data, e.data)) {
                std::printf("  at record %u\n", static_cast<unsigned>(i));
                break;
            }
        }
    }
}

void wholeLogAtTheWindowsPace()
{
    downloadWholeLog(simulatorPort, WindowTickMs);
}

// The network transports (RTU frames over TCP, Modbus TCP) on Winsock, driven as
// fast as the replies come.
void wholeLogOverTheNetwork()
{
    if (networkPorts.empty()) {
        check::skip("no network port given");
        return;
    }
    for (const std::string &port : networkPorts)
        downloadWholeLog(port, 1);
}

// As khronar-fetch reads: frames ended by measured silence, the next request at once.
void wholeLogFramedBySilence()
{
    downloadWholeLog(simulatorPort, 5, true);
    for (const std::string &port : networkPorts)
        downloadWholeLog(port, 5, true);
}

} // namespace

int usage()
{
    std::fprintf(stderr,
                 "usage: khronar-wincheck --port COM5 --log LOG.json [--absent PORT]... "
                 "[--network URL]...\n");
    return 2;
}

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return usage();
        const char *value = argv[++i];
        if (option == "--port")
            simulatorPort = value;
        else if (option == "--log")
            logPath = value;
        else if (option == "--absent")
            absentPorts.push_back(value);
        else if (option == "--network")
            networkPorts.push_back(value);
        else
            return usage();
    }
    if (simulatorPort == nullptr || logPath == nullptr)
        return usage();
    std::string error;
    if (!readExpectedLog(logPath, &expected, &error)) {
        std::fprintf(stderr, "khronar-wincheck: %s\n", error.c_str());
        return 2;
    }

    check::run("identityFromVersionResource", identityFromVersionResource);
    check::run("tickCountIsGetTickCount", tickCountIsGetTickCount);
    check::run("replyDeadlineRunsOnTheTickCounter", replyDeadlineRunsOnTheTickCounter);
    check::run("portWithoutDeviceFailsToOpen", portWithoutDeviceFailsToOpen);
    check::run("portInUseIsRefused", portInUseIsRefused);
    check::run("gatewayCausesAreNamed", gatewayCausesAreNamed);
    check::run("openerCancelsASilentGateway", openerCancelsASilentGateway);
    check::run("openerHandsTheTerminalItsPort", openerHandsTheTerminalItsPort);
    check::run("closeIsPrompt", closeIsPrompt);
    check::run("emptyReadsTakeATick", emptyReadsTakeATick);
    check::run("frameEndsAfterTheGap", frameEndsAfterTheGap);
    check::run("wholeLogAtTheWindowsPace", wholeLogAtTheWindowsPace);
    check::run("wholeLogOverTheNetwork", wholeLogOverTheNetwork);
    check::run("wholeLogFramedBySilence", wholeLogFramedBySilence);

    std::printf("%d cases, %d failed, %d skipped\n", check::casesRun(), check::casesFailed(), check::casesSkipped());
    return check::casesFailed() == 0 ? 0 : 1;
}
