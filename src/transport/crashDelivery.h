// How crashes reach the collector: the main channel's crash record prepared before any crash
// (for the catcher to write beside a dump from its signal path), the report the crashed
// process posts at once, and the crashes earlier processes left in the main channel's dump
// directory (pendingCrashes.h), sent by the sending thread after the main channel's set-up.
// Nothing is stored in the record store: a crash the collector did not take stays beside its
// dump, and a copy in the store would arrive a second time.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "transport/channelRegistry.h"
#include "transport/deliveryOutcome.h"
#include "transport/transport.h"
#include "util/vesk2Utils.h"

class CrashDelivery {
public:
    // How long the crash path waits for the registry's lock. The holder may be the crashed
    // thread itself, which will never let go, so the report goes on without the lock then.
    static constexpr std::chrono::milliseconds kCrashLockWait{500};

    CrashDelivery(const ChannelRegistry& registry, TransportFactory transports);

    // What the main channel's crash record is made of before its crash keys, each layer under
    // the next: the channel's fields (the map its records share) and the pass's fields. False
    // when there is no main channel.
    bool recordLayers(std::shared_ptr<const MapValues>& channel, MapValues& pass) const;
    // The network model the prepared record carries. It comes from an interface scan, which
    // application threads must not wait for: the sending thread notes it, others reuse it.
    void noteNetworkModel(const std::string& model);
    // The journal slot of the main channel's directory, whose last records a crash carries;
    // null without a main channel or directory. It lives as long as the registry.
    const JournalSlot* mainJournal() const;

    // Completes the crash record from the main channel and posts it at once, on the calling
    // thread, with a transport of its own. What the collector said of it; not answered when it
    // was not sent. The caller keeps the dump unless the collector accepted the record.
    DeliveryOutcome report(MapValues record) const;

    // Sends the crashes earlier processes left in the main channel's directory, oldest first,
    // through the sending thread's transport: accepted ones go, others count one attempt more.
    void deliverKept(CollectorTransport& transport) const;

private:
    struct Target {
        bool found = false;
        Handler channel;
        std::string hostName;
    };
    Target takeTarget() const;
    DeliveryOutcome post(CollectorTransport& transport, const Target& target,
                         MapValues record) const;
    std::string networkModel() const;

    const ChannelRegistry& m_registry;
    const TransportFactory m_transports;
    mutable std::mutex m_modelMutex;
    std::string m_networkModel = "unknown";
};
