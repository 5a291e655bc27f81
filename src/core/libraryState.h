// Everything the library keeps for the whole process, in one object with one owner: the
// channel registry (channels, journals, host name), the record store, the crash delivery,
// the process settings, the transports and the state the cores share (the session ID, host
// switches remembered for channels not registered yet).
//
// The process has one, made at first use and never destroyed (`process()`): a channel
// registered once stays registered for the process, and a crash may be reported while the
// process is already exiting. Tests build their own, with a scripted transport, and drop it.
// What a signal handler must reach is not here: the crash catcher (crash/veskCatcher.h) holds
// it, prepared ahead, in the one place its signal path reads.
#pragma once

#include <mutex>
#include <string>

#include "transport/channelRegistry.h"
#include "transport/crashDelivery.h"
#include "transport/httpSender.h"
#include "transport/processSettings.h"
#include "transport/recordStore.h"
#include "transport/transport.h"

class LibraryState {
public:
    // Without transports, the ones the library ships (plain HTTP, HTTPS by libcurl).
    explicit LibraryState(TransportFactory transports = nullptr);
    ~LibraryState();
    LibraryState(const LibraryState&) = delete;
    LibraryState& operator=(const LibraryState&) = delete;

    static LibraryState& process();

    // What a sending thread of this state uses.
    SenderParts senderParts();

    // One session per state: made at first use.
    std::string sessionId();
    // Host switches set before their channel was registered.
    void rememberEnableHost(bool enable, bool corvane);
    bool rememberedEnableHost(bool corvane);

    ProcessSettings settings;
    ChannelRegistry registry;
    RecordStore store{registry};
    const TransportFactory transports;
    const CrashDelivery crash{registry, transports};

private:
    std::mutex m_mutex;
    std::string m_sessionId;
    bool m_quillmarkEnableHost = true;
    bool m_corvaneEnableHost = true;
};
