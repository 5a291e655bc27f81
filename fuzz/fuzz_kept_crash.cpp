// The crash a process left for the next start: the input is its record "<id>.rec" (written by
// the crashed process's signal path, or by anything else that got there), beside a dump. The
// main channel's set-up reads it back and posts it to a collector that takes it.
#include <fcntl.h>
#include <json/value.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/host_capture.h"
#include "record/handler.h"
#include "transport/channelRegistry.h"
#include "transport/crashDelivery.h"
#include "transport/pendingCrashes.h"
#include "util/jsonText.h"
#include "util/utilTools.h"

namespace {

const char kDump[] = "MDMP-fuzz";

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

// Takes every post and keeps its body.
struct AcceptingTransport : CollectorTransport {
    std::vector<std::string> posts;
    CollectorAnswer exchange(const CollectorRequest& request, const ExchangeDeadline&) override {
        if (!request.get && request.body != nullptr) posts.push_back(*request.body);
        CollectorAnswer answer;
        answer.connected = answer.sent = answer.complete = true;
        answer.status = 200;
        answer.body = R"({"header":{"code":200},"body":{"data":{"resultList":[)"
                      R"({"isSuccessful":true}]}}})";
        return answer;
    }
};

struct Harness {
    std::string root;
    std::string directory;
    ChannelRegistry registry;
    CrashDelivery delivery{registry, nullptr};

    Harness() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qm_fuzz_crash_XXXXXX").string();
        require(mkdtemp(&pattern[0]) != nullptr, "no temporary directory");
        root = pattern;
        auto channel = std::make_unique<Handler>();
        channel->m_handlerName = VESK_CHANNEL_USER;
        channel->m_projectName = "FuzzApp";
        channel->m_sdCardPath = root;
        channel->m_Addr = "http://127.0.0.1";
        channel->m_Port = 9;
        channel->m_isCrashEnable = true;
        require(registry.add(channel), "the channel was not registered");
        Handler registered;
        require(registry.snapshot(VESK_CHANNEL_USER, registered), "no channel");
        directory = registered.m_directoryPath;
        std::filesystem::create_directories(directory);
    }
    ~Harness() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    void keptCrash(const std::string& record) {
        const std::string base = directory + "/fuzz";
        writeFile(base + ".rec", record);
        writeFile(base + ".dmp", kDump);
        // Older than this process's start, as a crash of an earlier process is.
        const int64_t modified = pendingCrashes::processStartNs() - 60 * 1000000000LL;
        const timespec times[2] = {{static_cast<time_t>(modified / 1000000000), 0},
                                   {static_cast<time_t>(modified / 1000000000), 0}};
        require(utimensat(AT_FDCWD, (base + ".dmp").c_str(), times, 0) == 0, "no dump time");

        std::string objectText;
        long long crashTimeMs = 0;
        const int recordFd = open((base + ".rec").c_str(), O_RDONLY | O_CLOEXEC);
        require(recordFd >= 0, "no record to read");
        const bool read = pendingCrashes::readRecord(recordFd, objectText, crashTimeMs);
        close(recordFd);
        if (read) {
            require(!objectText.empty() && objectText.find('\n') == std::string::npos,
                    "the record's object is not one line");
            require(objectText.size() <= pendingCrashes::kMaxRecordBytes,
                    "the record was read beyond its bound");
        }

        AcceptingTransport transport;
        delivery.deliverKept(transport);
        // Whatever the record holds, the dump is sent once, whole, as a crash.
        require(transport.posts.size() == 1, "the kept dump was not posted exactly once");
        Json::Value posted;
        require(jsonText::parse(transport.posts.front(), posted) && posted.isArray() &&
                    posted.size() == 1 && posted[0].isObject(),
                "the post is not an array of one record");
        std::string dump;
        UtilTools::encode_base64_string(kDump, dump);
        require(posted[0]["DmpData"].asString() == dump, "the dump did not travel whole");
        require(!posted[0]["logLevel"].asString().empty(), "a crash without its level");
        require(!std::filesystem::exists(base + ".dmp") && !std::filesystem::exists(base + ".rec"),
                "an accepted crash was left behind");
    }
};

Harness* harness = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qm_platform::setLogToStderr(false);
    pendingCrashes::processStartNs();
    static std::unique_ptr<Harness> kept = std::make_unique<Harness>();
    harness = kept.get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    harness->keptCrash(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
