// Remote settings: the settings service says which kinds of records the main channel
// ("quillmark-user") may send, and which URLs the measuring thread is to measure. It is asked
// once per sending thread, with a GET through the transport; a valid answer is cached in the
// main channel's directory ("NetworkInsight.db") for starts without a usable answer (none, not
// JSON, another status, members of other types). Only the switches come from the cache;
// built-in defaults apply when there is no usable cache either.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "transport/channelRegistry.h"
#include "transport/transport.h"

class RemoteSettings {
public:
    // Where the settings service is asked; deployment values from the build, replaceable.
    struct Endpoints {
        std::string url;
        long port = 0;
        // A collector address containing this text is served by the alternative service.
        std::string altCollectorIp;
        std::string altUrl;
        long altPort = 0;
    };
    static Endpoints builtInEndpoints();
    // Most of a settings answer that is read; a longer answer counts as no answer.
    static constexpr size_t kMaxSettingsBytes = 1024 * 1024;

    // The switches of the settings answer that the main channel follows.
    struct Switches {
        bool normal = true;
        bool crash = true;
        bool session = true;
        bool networkInsight = false;
    };

    RemoteSettings(ChannelRegistry& registry, CollectorTransport& transport, Endpoints endpoints);

    // Asks the service for the project's settings and applies them; the URLs to measure when
    // the answer switches network insights on.
    std::vector<std::string> fetchAndApply(const std::string& collectorAddress,
                                           const std::string& projectName);
    // Applies one answer of the service (cache or defaults when it is not usable); adds the
    // URLs it names to urls. Throws when its members are of other types.
    void apply(const std::string& answer, std::vector<std::string>& urls);
    // The cached switches, or the defaults.
    void loadCached();

private:
    void fetch(const std::string& collectorAddress, const std::string& projectName,
               std::string& answerText);
    // False when the main channel is not registered.
    bool applySwitches(const Switches& switches);
    std::string cachePath() const;
    void saveCache(const std::string& text) const;

    ChannelRegistry& m_registry;
    CollectorTransport& m_transport;
    const Endpoints m_endpoints;
    // The service asked is a reserved ".invalid" name: none is configured (the default build),
    // so its silence is expected and not worth a warning.
    bool m_unconfigured = false;
};
