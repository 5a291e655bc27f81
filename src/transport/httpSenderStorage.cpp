// Records kept on the device for a later attempt: each record the collector did not take is
// appended to its project's "log.txt" with the number of failed deliveries so far, and the
// whole file is read back, deleted and sent again as one batch when a channel of that project
// is set up.
#include <json/value.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "transport/httpSender.h"
#include "util/jsonText.h"
#include "util/noDestructor.h"
#include "util/utilLog.h"

namespace {

const char* const kStorageFileName = "/log.txt";
const char* const kErrorRate = "errorRate";
// How long a store waits for the registry. A crash report stores from the crashing thread,
// which may itself be the holder; the record is then dropped instead of waiting for ever.
const int kRegistryWaitMs = 500;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// The failures a stored record already had: the leading decimal number of its "errorRate"
// text, as it was always written. A count below zero would let a record come back for ever,
// so it counts as none.
long long failuresSoFar(const Json::Value& errorRate) {
    if (!errorRate.isString() && !errorRate.isIntegral()) return 0;
    const std::string text = errorRate.asString();
    const long long count = std::strtoll(text.c_str(), nullptr, 10);
    if (count < 0) return 0;
    return count > HttpSender::kMaxDeliveryFailures ? HttpSender::kMaxDeliveryFailures : count;
}

// The stored line for a record that failed once more; false when it is not a JSON object or
// has failed often enough.
bool withOneMoreFailure(const std::string& message, std::string& line) {
    Json::Value record;
    if (!jsonText::parse(message, record) || !record.isObject()) return false;
    const long long count = failuresSoFar(record[kErrorRate]) + 1;
    if (count > HttpSender::kMaxDeliveryFailures) return false;
    record[kErrorRate] = std::to_string(count);
    line = jsonText::writeCompact(record);
    return !line.empty();
}

bool reserveStoreSlot() {
    int used = HttpSender::m_nTotalSize.load();
    do {
        if (used >= HttpSender::kMaxStoredRecords) return false;
    } while (!HttpSender::m_nTotalSize.compare_exchange_weak(used, used + 1));
    return true;
}

// A writer that died in the middle of a line left the file without its last line end;
// starting on a new line keeps that cut line from swallowing the next record.
bool endsInsideLine(FILE* file) {
    if (fseek(file, -1, SEEK_END) != 0) return false;
    const int last = fgetc(file);
    fseek(file, 0, SEEK_END);
    return last != EOF && last != '\n';
}

void appendStoredLine(const std::string& path, const std::string& line) {
    UniqueFile file(fopen(path.c_str(), "a+"));
    if (!file || !reserveStoreSlot()) return;
    if (endsInsideLine(file.get()) && fputc('\n', file.get()) == EOF) return;
    fwrite(line.data(), 1, line.size(), file.get());
}

bool isStoredRecord(const std::string& line) {
    try {
        Json::Value record;
        return jsonText::parse(line, record) && record.isObject();
    } catch (const std::exception&) {
        return false;  // nested beyond the reader's depth limit
    }
}

// Keeps the lines that hold a JSON object, one line in memory at a time besides them.
bool readStoredLines(const std::string& path, fileValues& kept) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string line;
    int index = static_cast<int>(kept.size());
    while (std::getline(in, line)) {
        if (isStoredRecord(line)) kept.emplace(index++, line + "\n");
    }
    return true;
}

// Channels of one project share its file: the first of them set up in a process sends what
// earlier processes stored. Records that fail again then wait for the next start instead of
// being sent again by the next channel of the project, which would spend their attempts at once.
bool claimReadBack(const std::string& directory) {
    static NoDestructor<std::mutex> mutex;
    static NoDestructor<std::set<std::string>> claimed;
    std::lock_guard<std::mutex> lock(*mutex);
    return claimed->insert(directory).second;
}

// Stored values are texts; anything else was put there by hand and travels as its JSON text.
std::string flatText(const Json::Value& value) {
    if (value.isString()) return value.asString();
    if (value.isNull()) return std::string();
    if (!value.isArray() && !value.isObject()) return value.asString();
    std::string text = jsonText::writeCompact(value);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

Json::Value flatRecord(const std::string& line) {
    Json::Value stored;
    jsonText::parse(line, stored);
    Json::Value flat(Json::objectValue);
    for (const std::string& key : stored.getMemberNames()) {
        if (key == VESK_KEY_HANDLERNAME) continue;
        flat[key] = flatText(stored[key]);
    }
    return flat;
}

// One JSON array of flat objects, joined the way the send loop joins a batch.
std::string storedBatchBody(const fileValues& stored) {
    std::string body;
    for (const auto& entry : stored) {
        body += body.empty() ? "[" : ",";
        body += jsonText::writeCompact(flatRecord(entry.second));
    }
    if (!body.empty()) body += "]";
    return body;
}

}  // namespace

void HttpSender::save_local_storage(const std::string& message, const std::string& handlerName) {
    if (m_onStore) m_onStore(message, handlerName);
    if (m_nTotalSize >= kMaxStoredRecords) return;
    try {
        std::string line;
        if (!withOneMoreFailure(message, line)) return;
        std::string directory;
        if (!storageDirectoryOf(handlerName, directory)) return;
        appendStoredLine(directory + kStorageFileName, line);
    } catch (const std::exception&) {
        _error_log("[save_local_storage] record not stored");
    }
}

bool HttpSender::storageDirectoryOf(const std::string& handlerName, std::string& directory) {
    Threads::Mutex::timed_lock lock(m_mtxSvr, kRegistryWaitMs);
    if (!lock.owns()) return false;
    const Handler* channel = _findChannel(handlerName);
    if (channel == nullptr) return false;
    directory = channel->m_directoryPath;
    return !directory.empty();
}

// The file is deleted whatever becomes of its records: those that fail again are stored anew.
void HttpSender::getFileStorage(const std::string& path) {
    if (!check_directory(path)) return;
    const std::string file = path + kStorageFileName;
    if (!readStoredLines(file, m_filemap)) return;
    if (remove(file.c_str()) != 0) _warn_log("[getFileStorage] can not remove " + file);
}

void HttpSender::check_local_storage(const std::string& handlerName) {
    Handler channel;
    if (!getHandlerSnapshot(handlerName, channel)) return;
    if (channel.m_directoryPath.empty() || !claimReadBack(channel.m_directoryPath)) return;
    std::string body;
    try {
        getFileStorage(channel.m_directoryPath);
        body = storedBatchBody(m_filemap);
    } catch (const std::exception&) {
        _error_log("[check_local_storage] stored records not read");
    }
    m_filemap.clear();
    if (body.empty()) return;
    BulkTarget target;
    target.address = channel.m_Addr;
    target.protocol = channel.m_protocol;
    target.port = channel.m_Port;
    target.handlerName = handlerName;
    sendBulk(target, body);
}
