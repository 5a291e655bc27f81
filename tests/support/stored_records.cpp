#include "support/stored_records.h"

#include <chrono>
#include <fstream>
#include <thread>

#include "api/quillmark_impl.h"
#include "util/jsonText.h"

namespace qm_test {

void observeStorage(const std::string& file) {
    GetPlumeLog();
    currentPlumeLog()->core()->state().store.setKeepObserver(
        [file](const std::string& record, const std::string& channel) {
            Json::Value line;
            line["channel"] = channel;
            line["record"] = record;
            std::ofstream(file, std::ios::app) << jsonText::writeCompact(line) << std::flush;
        });
}

std::vector<StoredRecord> readStored(const std::string& file) {
    std::vector<StoredRecord> stored;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        Json::Value entry;
        if (!jsonText::parse(line, entry)) continue;
        StoredRecord item;
        item.channel = entry["channel"].asString();
        jsonText::parse(entry["record"].asString(), item.record);
        stored.push_back(item);
    }
    return stored;
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace qm_test
