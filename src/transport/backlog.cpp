#include "transport/backlog.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <system_error>
#include <utility>
#include <vector>

#include "record/vesk2Define.h"
#include "transport/exchangeDeadline.h"
#include "transport/localStore.h"
#include "transport/overflowFile.h"
#include "transport/recordStore.h"
#include "transport/recordWriter.h"
#include "transport/sendPass.h"
#include "transport/storeLock.h"
#include "util/utilLog.h"
#include "util/utilTools.h"

namespace {

// A store another process holds is tried again this often before the records count as lost.
constexpr int kBusyTries = 10;
// How long the spill thread looks for records by itself after a write, and how often.
constexpr std::chrono::milliseconds kLinger{50};
constexpr std::chrono::milliseconds kLook{2};
using Clock = std::chrono::steady_clock;

// What the spill thread needs of a channel, copied once a write.
struct ChannelView {
    std::string directory;
    MapValues passFields;
    bool deduplicate = false;
    bool sessionEnable = false;
    bool normalEnable = false;
    bool crashEnable = false;
};

// Whether the pass would send the record at all: the switches SendPass applies.
bool wanted(const ChannelView& channel, const QueuedRecord& record) {
    return denialOf(record, channel.sessionEnable, channel.normalEnable, channel.crashEnable) ==
           Denial::None;
}

}  // namespace

Backlog::Backlog(const ChannelRegistry& registry, std::function<void()> written,
                 std::function<void(ListJobs&)> spent)
    : m_registry(registry), m_written(std::move(written)), m_spent(std::move(spent)) {}

Backlog::~Backlog() { finish(); }

bool Backlog::hasRoom() {
    std::lock_guard lock(m_mutex);
    return roomLocked();
}

bool Backlog::roomLocked() {
    if (m_finishing) return false;
    if (m_list.size() + m_writing >= kMaxSpilled) {
        ++m_refusedForSpeed;
        return false;
    }
    if (m_room == 0) {
        ++m_refusedForBound;
        return false;
    }
    return true;
}

bool Backlog::take(ListJobs& slot) {
    bool wakeWriter = false;
    {
        std::lock_guard lock(m_mutex);
        if (!roomLocked()) return false;
        --m_room;
        slot.front().awaits = nullptr;
        slot.front().sequence = 0;
        m_list.splice(m_list.end(), slot);
        wakeWriter = m_writerAsleep && m_list.size() == 1;
    }
    if (wakeWriter) m_listed.notify_one();
    return true;
}

void Backlog::start() {
    std::lock_guard lock(m_mutex);
    if (m_writer.joinable()) return;
    try {
        m_writer = std::thread(&Backlog::writeLoop, this);
        m_finishing = false;
    } catch (const std::system_error&) {
        // No spill thread: records beyond the queue are refused, as without storage.
    }
}

void Backlog::finish() {
    std::thread writer;
    {
        std::lock_guard lock(m_mutex);
        m_finishing = true;
        writer = std::move(m_writer);
    }
    m_listed.notify_one();
    if (writer.joinable()) writer.join();
    reportRefusals();
}

void Backlog::writeLoop() {
    for (;;) {
        ListJobs records;
        {
            std::unique_lock lock(m_mutex);
            // While records come, the writer looks for them by itself: waking it is a system
            // call, which would fall on the application's thread.
            const auto lingerUntil = Clock::now() + kLinger;
            while (m_list.empty() && !m_finishing && Clock::now() < lingerUntil) {
                m_listed.wait_for(lock, kLook);
            }
            while (m_list.empty() && !m_finishing) {
                m_writerAsleep = true;
                m_listed.wait(lock);
                m_writerAsleep = false;
            }
            // Finishing still writes what was taken: each record taken was a promise.
            if (m_list.empty()) return;
            records.swap(m_list);
            m_writing = records.size();
        }
        writeRecords(records);
        {
            std::lock_guard lock(m_mutex);
            m_writing = 0;
        }
        if (m_spent) m_spent(records);
        if (m_written) m_written();
    }
}

void Backlog::writeRecords(ListJobs& records) {
    std::map<std::string, ChannelView> view;
    const std::string networkModel = UtilTools::getNetworkModel();
    const std::string hostName = m_registry.hostName();
    m_registry.forEach([&](const Handler& channel, RecordJournal*) {
        ChannelView& entry = view[channel.m_handlerName];
        entry.directory = channel.m_directoryPath;
        entry.passFields = passFieldsOf(channel, hostName, networkModel);
        entry.deduplicate = channel.m_isDeduplicate;
        entry.sessionEnable = channel.m_isSessionEnable;
        entry.normalEnable = channel.m_isNormalEnable;
        entry.crashEnable = channel.m_isCrashEnable;
    });
    std::map<std::string, std::vector<std::string>> lines;
    RecordWriter writer;
    std::string text;
    size_t longest = 0;
    size_t index = 0;
    for (const QueuedRecord& record : records) {
        const std::string* name = record.find(VESK_KEY_HANDLERNAME);
        const auto found = name != nullptr ? view.find(*name) : view.end();
        if (found == view.end() || found->second.directory.empty()) continue;
        const ChannelView& channel = found->second;
        if (!wanted(channel, record)) continue;
        if (channel.deduplicate && m_repeats.isRepeat(record, *name)) continue;
        text.clear();
        if (!writer.append(record, channel.passFields, index++, text)) continue;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        longest = std::max(longest, text.size() + 1);
        lines[channel.directory].push_back(text);
    }
    for (const auto& [directory, written] : lines) {
        std::lock_guard lock(m_fileMutex);
        overflowFile::Appended appended = overflowFile::Appended::Busy;
        for (int tries = 0; appended == overflowFile::Appended::Busy && tries < kBusyTries &&
                            !ExchangeDeadline::cutOffPassed();
             ++tries) {
            appended = overflowFile::append(directory, written, m_health);
        }
        if (appended == overflowFile::Appended::Busy) {
            m_health.notKept("the store of " + directory + " stayed busy", written.size());
        }
        if (appended == overflowFile::Appended::Written) m_withFile.insert(directory);
        m_directories.insert(directory);
        if (longest > 0) m_longestLine = longest;
    }
    updateRoom(false);
}

void Backlog::updateRoom(bool report) {
    std::set<std::string> directories;
    size_t longestLine = 0;
    {
        std::lock_guard lock(m_fileMutex);
        directories = m_directories;
        longestLine = m_longestLine;
    }
    if (directories.empty()) return;
    uint64_t freeBytes = LocalStore::kMaxStoreBytes;
    for (const std::string& directory : directories) {
        const uint64_t used =
            LocalStore(directory, m_health).keptBytes() + overflowFile::unsentBytes(directory);
        freeBytes = std::min(freeBytes, LocalStore::kMaxStoreBytes - std::min(used, freeBytes));
    }
    const uint64_t fits = freeBytes / std::max<uint64_t>(longestLine, 1);
    bool takesAgain = false;
    {
        std::lock_guard lock(m_mutex);
        const uint64_t listed = m_list.size();
        m_room =
            static_cast<size_t>(std::min<uint64_t>(fits > listed ? fits - listed : 0, kMaxSpilled));
        takesAgain = report && m_room > 0 && (m_refusedForBound > 0 || m_refusedForSpeed > 0);
    }
    if (takesAgain) reportRefusals();
}

void Backlog::reportRefusals() {
    size_t forBound = 0;
    size_t forSpeed = 0;
    {
        std::lock_guard lock(m_mutex);
        std::swap(forBound, m_refusedForBound);
        std::swap(forSpeed, m_refusedForSpeed);
    }
    if (forBound > 0) {
        _error_log("[store] device bound of " + std::to_string(LocalStore::kMaxStoreBytes) +
                   " bytes reached: refused " + std::to_string(forBound) + " records");
    }
    if (forSpeed > 0) {
        _error_log("[store] records came faster than the device took them: refused " +
                   std::to_string(forSpeed) + " records");
    }
}

bool Backlog::adopt(const std::string& directory) {
    if (directory.empty()) return false;
    const bool left = overflowFile::unsentBytes(directory) > 0;
    {
        std::lock_guard lock(m_fileMutex);
        m_directories.insert(directory);
        if (left) m_withFile.insert(directory);
    }
    updateRoom(false);
    return left;
}

bool Backlog::hasFiles() const {
    std::lock_guard lock(m_fileMutex);
    return !m_withFile.empty();
}

Backlog::Sent Backlog::sendFiles(
    const std::function<DeliveryOutcome(const std::string&, const Batch&)>& post,
    const std::function<void(const std::string&, const Batch&, const DeliveryOutcome&)>& keep) {
    std::set<std::string> directories;
    {
        std::lock_guard lock(m_fileMutex);
        directories = m_withFile;
    }
    Sent result = Sent::Everything;
    for (const std::string& directory : directories) {
        // Another process of the app that sends this directory's records sends these too.
        const FileLock owner = takeResendLock(directory, m_health);
        if (!owner.mayProceed()) {
            result = Sent::Busy;
            continue;
        }
        for (;;) {
            if (ExchangeDeadline::cutOffPassed()) return Sent::Busy;
            std::vector<std::string> lines;
            uint64_t end = 0;
            {
                std::lock_guard lock(m_fileMutex);
                if (!overflowFile::nextBatch(directory, lines, end, m_health)) {
                    if (overflowFile::unsentBytes(directory) == 0) {
                        m_withFile.erase(directory);
                    } else {
                        result = Sent::Busy;
                    }
                    break;
                }
            }
            const Batch batch = RecordStore::storedBatch(lines);
            const DeliveryOutcome outcome = post(directory, batch);
            if (!outcome.collectorAnswered) return Sent::NoAnswer;
            keep(directory, batch, outcome);
            bool done = false;
            {
                std::lock_guard lock(m_fileMutex);
                done = overflowFile::confirm(directory, end, m_health);
                if (done) m_withFile.erase(directory);
            }
            updateRoom(true);
            if (done) break;
        }
    }
    return result;
}

bool Backlog::drained() const {
    {
        std::lock_guard lock(m_mutex);
        if (!m_list.empty() || m_writing > 0) return false;
    }
    std::lock_guard lock(m_fileMutex);
    return m_withFile.empty();
}
