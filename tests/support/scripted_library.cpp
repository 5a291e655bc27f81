#include "support/scripted_library.h"

#include <utility>

#include "util/jsonText.h"

namespace qm_test {

ScriptedLibrary::ScriptedLibrary(ScriptedCollector::Responder responder)
    : collector(std::move(responder)), state(collector.factory()), core(state) {
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
