// What the library reads back from the device and from the settings service: the settings
// answer and its cache "NetworkInsight.db", the stored records "log.txt", "deviceID.db" and the
// journal "log.journal".
// One channel "quillmark-user" is registered once per process on a directory of its own, and
// the first input byte chooses which reader gets the rest.
#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "insight/vesk2Performance.h"
#include "platform/host_capture.h"
#include "record/handler.h"
#include "transport/channelRegistry.h"
#include "transport/deviceIdentity.h"
#include "transport/localStore.h"
#include "transport/recordJournal.h"
#include "transport/remoteSettings.h"
#include "util/jsonText.h"

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "property broken: %s\n", what);
    abort();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    require(static_cast<bool>(out), "cannot write the fuzz input to a file");
}

// The settings service is never asked here: answers come from the fuzz input.
struct NoTransport : CollectorTransport {
    CollectorAnswer exchange(const CollectorRequest&, const ExchangeDeadline&) override {
        return CollectorAnswer();
    }
};

struct Harness {
    std::string root;
    std::string directory;
    ChannelRegistry registry;
    NoTransport transport;
    RemoteSettings settings{registry, transport, RemoteSettings::Endpoints()};
    StoreHealth health;
    size_t urlsHandedOver = 0;

    Harness() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qm_fuzz_files_XXXXXX").string();
        require(mkdtemp(&pattern[0]) != nullptr, "no temporary directory");
        root = pattern;
        auto channel = std::make_unique<Handler>();
        channel->m_handlerName = "quillmark-user";
        channel->m_projectName = "FuzzApp";
        channel->m_sdCardPath = root;
        channel->m_Addr = "http://127.0.0.1";
        channel->m_Port = 9;
        require(registry.add(channel), "the channel was not registered");
        directory = root + "/quillmark/FuzzApp";
    }
    ~Harness() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    void settingsAnswer(const std::string& answer) {
        std::vector<std::string> urls;
        try {
            settings.apply(answer, urls);
        } catch (const std::exception&) {
            // Members of other types are refused this way; the caller falls back to defaults.
        }
        // The URLs go nowhere: no measuring thread exists.
        for (const std::string& url : urls) {
            require(vesk2Performance::get_port_from_url(url) != 0, "a URL with port 0");
        }
        urlsHandedOver += urls.size();
        // Whatever the answer left in the cache is read by the next start.
        settings.loadCached();
    }

    void settingsCache(const std::string& content) {
        writeFile(directory + "/NetworkInsight.db", content);
        settings.loadCached();
    }

    void storedRecords(const std::string& content) {
        const std::string file = directory + "/log.txt";
        writeFile(file, content);
        LocalStore store(directory, health);
        // An empty file holds nothing to send again and stays where it is.
        if (!store.claim()) {
            require(content.empty(), "log.txt was not claimed");
            return;
        }
        require(!std::filesystem::exists(file), "log.txt was not moved aside");
        std::vector<std::string> batch;
        while (store.nextBatch(batch)) {
            size_t bytes = 0;
            for (const std::string& line : batch) {
                bytes += line.size();
                require(line.find('\n') == std::string::npos, "a batch line with a line end");
                require(content.find(line) != std::string::npos, "a batch line is not in the file");
                Json::Value record;
                require(jsonText::parse(line, record) && record.isObject(),
                        "a batch line holds no JSON object");
                // Read back, each record is sent again: writing it must work for any content.
                jsonText::writeCompact(record);
            }
            require(batch.size() == 1 || bytes <= LocalStore::kMaxBatchBytes,
                    "a batch beyond the pass size");
            store.confirmBatch();
        }
        require(!std::filesystem::exists(store.resendPath()), "the re-send file was left");
    }

    // The registered channel holds its own directory's journal: this one lives beside it.
    void journal(const std::string& content) {
        const std::string journalDirectory = root + "/journal";
        std::filesystem::create_directories(journalDirectory);
        writeFile(journalDirectory + "/log.journal", content);
        const MapValues record{{"body", "after the fuzz input"}, {"handlerName", "quillmark-user"}};
        {
            std::unique_ptr<RecordJournal> journal = RecordJournal::open(journalDirectory);
            require(journal != nullptr, "the journal did not open");
            uint32_t last = 0;
            const std::vector<MapValues> leftovers = journal->takeLeftovers(last);
            // A first-format record the ring cannot take again is handed over unjournaled.
            require(!leftovers.empty() || last == 0, "a last number without leftovers");
            journal->markDone(last);
            QueuedRecord queued(record);
            require(journal->appendAndPush(queued, [] { return true; }), "a record was refused");
        }
        std::unique_ptr<RecordJournal> reopened = RecordJournal::open(journalDirectory);
        require(reopened != nullptr, "the journal did not open again");
        uint32_t last = 0;
        const std::vector<MapValues> leftovers = reopened->takeLeftovers(last);
        require(!leftovers.empty() && leftovers.front() == record,
                "the record after the marked ones was not found again");
    }

    void deviceId(const std::string& content) {
        const std::string file = directory + "/deviceID.db";
        writeFile(file, content);
        const std::string id = loadDeviceId(file);
        require(id.size() < 256, "device ID longer than its read limit");
        require(content.compare(0, id.size(), id) == 0, "device ID is not the start of the file");
    }
};

Harness* harness = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qm_platform::setLogToStderr(false);
    static std::unique_ptr<Harness> kept = std::make_unique<Harness>();
    harness = kept.get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string content(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
        case 0:
            harness->settingsAnswer(content);
            break;
        case 1:
            harness->settingsCache(content);
            break;
        case 2:
            harness->storedRecords(content);
            break;
        case 3:
            harness->deviceId(content);
            break;
        default:
            harness->journal(content);
            break;
    }
    return 0;
}
