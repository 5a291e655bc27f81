// Records kept on the device for a later attempt. Each record the collector did not take is
// appended to its project's store (LocalStore: "log.txt") with the number of failed deliveries
// so far; the first set-up of a project in a process sends what earlier processes stored
// again, batch by batch, and a batch leaves the store only once the collector answered for it.
// Written caps: three failed deliveries per record, LocalStore::kMaxStoreBytes per project
// (oldest dropped first); each drop is logged with the cap that made it.
#include <errno.h>
#include <json/value.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "transport/exchangeDeadline.h"
#include "transport/httpSender.h"
#include "transport/localStore.h"
#include "util/jsonText.h"
#include "util/noDestructor.h"
#include "util/utilLog.h"

namespace {

const char* const kAppendName = "/log.txt";
const char* const kResendName = "/log.resend";
const char* const kPositionName = "/log.resend.pos";
const char* const kErrorRate = "errorRate";
// How long a store off the sending thread waits for a lock. A crash report stores from the
// crashing thread, which may itself be the holder; it then gives up instead of waiting for ever.
const int kCrashPathWaitMs = 500;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Serialises every use of the store files in the process.
std::timed_mutex& storeMutex() {
    static NoDestructor<std::timed_mutex> mutex;
    return *mutex;
}

// The sending thread waits for a lock as long as it takes; any other thread (the crash report)
// only for kCrashPathWaitMs.
class StoreWait {
public:
    explicit StoreWait(std::timed_mutex& mutex) : m_mutex(mutex) {
        if (HttpSender::onSendingThread()) {
            m_mutex.lock();
            m_owns = true;
        } else {
            m_owns = m_mutex.try_lock_for(std::chrono::milliseconds(kCrashPathWaitMs));
        }
    }
    ~StoreWait() {
        if (m_owns) m_mutex.unlock();
    }
    StoreWait(const StoreWait&) = delete;
    StoreWait& operator=(const StoreWait&) = delete;
    bool owns() const { return m_owns; }

private:
    std::timed_mutex& m_mutex;
    bool m_owns = false;
};

// A store that cannot be written is logged once per condition (what failed and why), not once
// per record; when a write succeeds again, one line says how many records were not kept.
struct StoreHealth {
    std::mutex mutex;
    std::set<std::string> conditions;
    size_t recordsNotKept = 0;
};
StoreHealth& storeHealth() {
    static NoDestructor<StoreHealth> health;
    return *health;
}

void reportNotKept(const std::string& condition, size_t records) {
    StoreHealth& health = storeHealth();
    std::lock_guard<std::mutex> lock(health.mutex);
    health.recordsNotKept += records;
    if (!health.conditions.insert(condition).second) return;
    _error_log("[store] records not kept: " + condition);
}

void reportWritable() {
    StoreHealth& health = storeHealth();
    std::lock_guard<std::mutex> lock(health.mutex);
    if (health.conditions.empty()) return;
    _error_log("[store] writable again; " + std::to_string(health.recordsNotKept) +
               " records were not kept");
    health.conditions.clear();
    health.recordsNotKept = 0;
}

void reportLosses() {
    StoreHealth& health = storeHealth();
    std::lock_guard<std::mutex> lock(health.mutex);
    if (health.recordsNotKept == 0) return;
    _error_log("[store] " + std::to_string(health.recordsNotKept) + " records were not kept");
    health.recordsNotKept = 0;
}

std::string failureText(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + std::strerror(error);
}

void logByteCapDrop(size_t records) {
    if (records == 0) return;
    _error_log("[store] byte cap of " + std::to_string(LocalStore::kMaxStoreBytes) +
               " bytes: dropped " + std::to_string(records) + " oldest records");
}

// Size of a regular file; 0 when there is none.
uint64_t fileSize(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    return static_cast<uint64_t>(info.st_size);
}

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

enum class Stored { Line, OverFailureCap, NotAnObject };

// The stored line, without line end, for a record that failed once more.
Stored withOneMoreFailure(const std::string& message, std::string& line) {
    Json::Value record;
    try {
        if (!jsonText::parse(message, record) || !record.isObject()) return Stored::NotAnObject;
    } catch (const std::exception&) {
        return Stored::NotAnObject;  // nested beyond the reader's depth limit
    }
    const long long count = failuresSoFar(record[kErrorRate]) + 1;
    if (count > HttpSender::kMaxDeliveryFailures) return Stored::OverFailureCap;
    record[kErrorRate] = std::to_string(count);
    line = jsonText::writeCompact(record);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line.empty() ? Stored::NotAnObject : Stored::Line;
}

// A writer that died in the middle of a line left the file without its last line end;
// starting on a new line keeps that cut line from swallowing the next record.
bool endsInsideLine(FILE* file) {
    if (fseek(file, -1, SEEK_END) != 0) return false;
    const int last = fgetc(file);
    fseek(file, 0, SEEK_END);
    return last != EOF && last != '\n';
}

bool isStoredRecord(const std::string& line) {
    try {
        Json::Value record;
        return jsonText::parse(line, record) && record.isObject();
    } catch (const std::exception&) {
        return false;  // nested beyond the reader's depth limit
    }
}

// Channels of one project share its store: the first of them set up in a process sends what
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
Batch storedBatch(const std::vector<std::string>& lines) {
    Batch batch;
    for (const std::string& line : lines) {
        std::string object = jsonText::writeCompact(flatRecord(line));
        if (!object.empty() && object.back() == '\n') object.pop_back();
        batch.add(object);
    }
    return batch;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// LocalStore

LocalStore::LocalStore(std::string directory) : m_directory(std::move(directory)) {}

std::string LocalStore::appendPath() const { return m_directory + kAppendName; }

std::string LocalStore::resendPath() const { return m_directory + kResendName; }

bool LocalStore::append(const std::vector<std::string>& lines) {
    if (lines.empty()) return true;
    // One byte more per line for its line end, and one for a line cut by an earlier crash.
    uint64_t incoming = 1;
    for (const std::string& line : lines) incoming += line.size() + 1;
    size_t first = 0;
    while (first < lines.size() && incoming > kMaxStoreBytes) incoming -= lines[first++].size() + 1;
    logByteCapDrop(first);
    if (first == lines.size()) return true;

    const std::string path = appendPath();
    const uint64_t size = fileSize(path);
    if (size + incoming > kMaxStoreBytes) makeRoom(size, incoming);
    UniqueFile file(fopen(path.c_str(), "a+"));
    if (!file) {
        reportNotKept(failureText("cannot open", path, errno), lines.size() - first);
        return false;
    }
    bool written = !endsInsideLine(file.get()) || fputc('\n', file.get()) != EOF;
    for (size_t i = first; written && i < lines.size(); ++i) {
        written = fwrite(lines[i].data(), 1, lines[i].size(), file.get()) == lines[i].size() &&
                  fputc('\n', file.get()) != EOF;
    }
    written = fflush(file.get()) == 0 && written;
    const int error = errno;
    if (fclose(file.release()) != 0) written = false;
    if (!written) {
        reportNotKept(failureText("cannot write", path, error), lines.size() - first);
        return false;
    }
    reportWritable();
    return true;
}

// Keeps at most half the bound besides what comes in, so the copy is not made on every append.
void LocalStore::makeRoom(uint64_t currentSize, uint64_t incoming) const {
    const uint64_t keepLimit = std::min(kMaxStoreBytes - incoming, kMaxStoreBytes / 2);
    const std::string path = appendPath();
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    uint64_t skipped = 0;
    size_t dropped = 0;
    std::string line;
    while (currentSize - skipped > keepLimit && std::getline(in, line)) {
        skipped += line.size() + (in.eof() ? 0 : 1);
        if (!line.empty()) ++dropped;
    }
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (in.good()) out << in.rdbuf();
        out.flush();
        if (!out) {
            out.close();
            std::remove(temporary.c_str());
            reportNotKept(failureText("cannot make room in", path, errno), 0);
            return;
        }
    }
    // The rename replaces the file in one step: a kill leaves the old or the new one.
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return;
    }
    logByteCapDrop(dropped);
}

// Only a regular file is taken over: anything else in its place (a directory, a device) is
// left alone, and appends report it.
bool LocalStore::claim() {
    const std::string resend = resendPath();
    if (fileSize(resend) == 0) {
        finishResend();  // a re-send that ended, or never began
        if (fileSize(appendPath()) == 0) return false;
        if (std::rename(appendPath().c_str(), resend.c_str()) != 0) return false;
    }
    m_position = skipBeyondBound(readPosition());
    m_batchEnd = m_position;
    return true;
}

uint64_t LocalStore::skipBeyondBound(uint64_t position) const {
    const std::string path = resendPath();
    const uint64_t size = fileSize(path);
    if (size <= position || size - position <= kMaxStoreBytes) return position;
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(position));
    size_t dropped = 0;
    std::string line;
    while (size - position > kMaxStoreBytes && std::getline(in, line)) {
        position += line.size() + (in.eof() ? 0 : 1);
        if (!line.empty()) ++dropped;
    }
    logByteCapDrop(dropped);
    writePosition(position);
    return position;
}

bool LocalStore::nextBatch(std::vector<std::string>& lines) {
    lines.clear();
    // Never beyond the size a regular file had when the batch began.
    const uint64_t size = fileSize(resendPath());
    std::ifstream in(resendPath(), std::ios::binary);
    if (!in || m_position >= size) {
        finishResend();
        return false;
    }
    in.seekg(static_cast<std::streamoff>(m_position));
    uint64_t position = m_position;
    size_t bytes = 0;
    std::string line;
    while (position < size && std::getline(in, line)) {
        const uint64_t lineEnd = position + line.size() + (in.eof() ? 0 : 1);
        if (!isStoredRecord(line)) {
            position = lineEnd;  // unreadable: leaves with the batch before it
            continue;
        }
        if (!lines.empty() && bytes + line.size() > kMaxBatchBytes) break;
        position = lineEnd;
        bytes += line.size();
        lines.push_back(std::move(line));
        line.clear();
        if (bytes >= kMaxBatchBytes) break;
    }
    m_batchEnd = position;
    if (lines.empty()) finishResend();
    return !lines.empty();
}

void LocalStore::confirmBatch() {
    m_position = m_batchEnd;
    if (m_position >= fileSize(resendPath())) {
        finishResend();
        return;
    }
    writePosition(m_position);
}

uint64_t LocalStore::readPosition() const {
    std::ifstream in(m_directory + kPositionName);
    unsigned long long position = 0;
    if (!(in >> position)) return 0;
    return position;
}

// Written beside and renamed over the old one, so a kill leaves one whole number.
bool LocalStore::writePosition(uint64_t position) const {
    const std::string path = m_directory + kPositionName;
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << position;
        out.flush();
        if (!out) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// The re-send file goes first: a position without its file means nothing.
void LocalStore::finishResend() const {
    std::remove(resendPath().c_str());
    std::remove((m_directory + kPositionName).c_str());
}

// ---------------------------------------------------------------------------------------------
// HttpSender: what the sending thread stores and sends again

void HttpSender::reportStoreLosses() { reportLosses(); }

void HttpSender::save_local_storage(const std::string& message, const std::string& handlerName) {
    storeRecords({message}, handlerName);
}

void HttpSender::storeRecords(const std::vector<std::string>& records,
                              const std::string& handlerName) {
    if (m_onStore) {
        for (const std::string& record : records) m_onStore(record, handlerName);
    }
    std::vector<std::string> lines;
    size_t overCap = 0;
    for (const std::string& record : records) {
        std::string line;
        switch (withOneMoreFailure(record, line)) {
            case Stored::Line:
                lines.push_back(std::move(line));
                break;
            case Stored::OverFailureCap:
                ++overCap;
                break;
            case Stored::NotAnObject:
                _error_log("[store] not a record, not kept");
                break;
        }
    }
    if (overCap > 0) {
        _error_log("[store] cap of " + std::to_string(kMaxDeliveryFailures) +
                   " failed deliveries: dropped " + std::to_string(overCap) + " records");
    }
    if (lines.empty()) return;
    std::string directory;
    // A channel without a directory runs in send-only mode (or is gone): nothing to keep.
    if (!storageDirectoryOf(handlerName, directory)) {
        ++m_storeFailures;
        return;
    }
    StoreWait lock(storeMutex());
    if (!lock.owns()) {
        reportNotKept("store busy after " + std::to_string(kCrashPathWaitMs) + " ms", lines.size());
        ++m_storeFailures;
        return;
    }
    if (!LocalStore(directory).append(lines)) ++m_storeFailures;
}

bool HttpSender::storageDirectoryOf(const std::string& handlerName, std::string& directory) {
    StoreWait lock(m_mtxSvr);
    if (!lock.owns()) return false;
    const Handler* channel = _findChannel(handlerName);
    if (channel == nullptr) return false;
    directory = channel->m_directoryPath;
    return !directory.empty();
}

// Batch by batch; a batch is confirmed once its answer was dealt with, that is its records
// were accepted or stored anew. A batch whose failures could not be stored stays, as does
// everything once a shutdown has cut the exchanges off.
void HttpSender::check_local_storage(const std::string& handlerName) {
    Handler channel;
    if (!getHandlerSnapshot(handlerName, channel)) return;
    if (channel.m_directoryPath.empty() || !claimReadBack(channel.m_directoryPath)) return;
    BulkTarget target;
    target.address = channel.m_Addr;
    target.protocol = channel.m_protocol;
    target.port = channel.m_Port;
    target.handlerName = handlerName;

    LocalStore store(channel.m_directoryPath);
    std::vector<std::string> lines;
    try {
        {
            StoreWait lock(storeMutex());
            if (!lock.owns() || !store.claim()) return;
        }
        for (;;) {
            if (ExchangeDeadline::cutOffPassed()) return;
            {
                StoreWait lock(storeMutex());
                if (!lock.owns() || !store.nextBatch(lines)) return;
            }
            const size_t failuresBefore = m_storeFailures;
            sendBulk(target, storedBatch(lines));
            if (m_storeFailures != failuresBefore) return;
            StoreWait lock(storeMutex());
            if (lock.owns()) store.confirmBatch();
        }
    } catch (const std::exception&) {
        _error_log("[check_local_storage] stored records not read");
    }
}
