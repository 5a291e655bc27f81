#include "support/scripted_library.h"

#include <utility>

#include "util/jsonText.h"

namespace qm_test {

namespace {

TransportFactory heldFactory(TransportFactory factory, std::function<void()> beforeTransport) {
    if (!beforeTransport) return factory;
    return [factory = std::move(factory), beforeTransport = std::move(beforeTransport)] {
        beforeTransport();
        return factory();
    };
}

}  // namespace

ScriptedLibrary::ScriptedLibrary(ScriptedCollector::Responder responder,
                                 std::function<void()> beforeTransport)
    : collector(std::move(responder)),
      state(heldFactory(collector.factory(), std::move(beforeTransport))),
      core(state) {
    state.settings.batchWindowMs = kBatchWindowMs;
    state.store.setKeepObserver([this](const std::string& record, const std::string& channel) {
        StoredRecord item;
        item.channel = channel;
        jsonText::parse(record, item.record);
        std::lock_guard lock(m_mutex);
        m_stored.push_back(item);
    });
}

int ScriptedLibrary::init(const std::string& project, const std::string& storage, bool heldBack,
                          const char* channel) {
    return core.initialize(project.c_str(), storage.c_str(), "1.0.0", nullptr, nullptr, kAddress,
                           kPort, true, heldBack, channel);
}

std::vector<StoredRecord> ScriptedLibrary::stored() const {
    std::lock_guard lock(m_mutex);
    return m_stored;
}

}  // namespace qm_test
