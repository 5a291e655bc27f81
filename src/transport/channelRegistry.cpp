#include "transport/channelRegistry.h"

#include <sys/stat.h>

#include <utility>
#include <vector>

#include "util/utilLog.h"

namespace {

bool isDirectory(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool ensureDirectory(const std::string& path) {
    return isDirectory(path) || (!path.empty() && mkdir(path.c_str(), 0770) == 0);
}

}  // namespace

// The directory is made outside the registry's lock, which the sending thread and logging
// threads need meanwhile; registrations take turns on m_addMutex. The journal file is the
// sending thread's work (openJournals).
bool ChannelRegistry::add(std::unique_ptr<Handler>& channel) {
    if (!channel) {
        _error_log("handler is null");
        return false;
    }
    std::lock_guard adding(m_addMutex);
    if (contains(channel->m_handlerName)) return false;
    channel->m_deviceID.clear();
    channel->fieldsChanged();
    // Send-only: no directory, so nothing is stored, read back or kept (device ID, settings).
    if (!channel->m_SendOnlyMode) {
        const std::string root = channel->m_sdCardPath + "/quillmark";
        if (!ensureDirectory(root)) {
            _error_log("[setHandler] can not access root dir");
            return false;
        }
        const std::string directory = root + "/" + channel->m_projectName;
        if (!ensureDirectory(directory)) {
            _error_log("[setHandler] can't access user dir : " + directory);
            return false;
        }
        channel->m_directoryPath = directory;
        channel->m_deviceIdPath = directory + "/deviceID.db";
    }
    std::unique_lock lock(m_mutex, kAppWait);
    if (!lock.owns_lock()) return false;
    const std::string& directory = channel->m_directoryPath;
    if (!directory.empty() && m_journals.find(directory) == m_journals.end()) {
        m_journals[directory] = std::make_unique<JournalSlot>(directory);
        m_journalsPending.fetch_add(1, std::memory_order_release);
    }
    m_setUps.push_back(channel->m_handlerName);
    m_setUpsPending.store(m_setUps.size(), std::memory_order_relaxed);
    m_channels.push_back(std::move(channel));
    return true;
}

void ChannelRegistry::openJournals(
    const std::function<void(const JournalSlot&, RecordJournal&)>& journalWaiting) {
    std::vector<JournalSlot*> waiting;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [directory, slot] : m_journals) {
            if (!slot->opened()) waiting.push_back(slot.get());
        }
    }
    for (JournalSlot* slot : waiting) {
        if (slot->open([&](RecordJournal& journal) { journalWaiting(*slot, journal); })) {
            m_journalsPending.fetch_sub(1, std::memory_order_release);
        }
    }
}

Handler* ChannelRegistry::find(const std::string& name) const {
    for (const auto& channel : m_channels) {
        if (channel->m_handlerName == name) return channel.get();
    }
    return nullptr;
}

JournalSlot* ChannelRegistry::journalOf(const Handler& channel) const {
    if (channel.m_directoryPath.empty()) return nullptr;
    auto found = m_journals.find(channel.m_directoryPath);
    return found == m_journals.end() ? nullptr : found->second.get();
}

bool ChannelRegistry::contains(const std::string& name) const {
    if (name.empty()) return false;
    std::unique_lock lock(m_mutex, kAppWait);
    if (!lock.owns_lock()) return false;
    return find(name) != nullptr;
}

bool ChannelRegistry::snapshot(const std::string& name, Handler& copy) const {
    std::lock_guard lock(m_mutex);
    const Handler* channel = find(name);
    if (channel == nullptr) return false;
    copy = *channel;
    return true;
}

bool ChannelRegistry::read(const std::string& name,
                           const std::function<void(const Handler&)>& look) const {
    std::unique_lock lock(m_mutex, kAppWait);
    if (!lock.owns_lock()) return false;
    const Handler* channel = find(name);
    if (channel == nullptr) return false;
    look(*channel);
    return true;
}

bool ChannelRegistry::update(const std::string& name, const std::function<void(Handler&)>& change) {
    {
        std::unique_lock lock(m_mutex, kAppWait);
        if (!lock.owns_lock()) return false;
        Handler* channel = find(name);
        if (channel == nullptr) return false;
        change(*channel);
        channel->fieldsChanged();
    }
    notifyCrashInputs(name);
    return true;
}

bool ChannelRegistry::updateSwitch(const std::string& name,
                                   const std::function<void(Handler&)>& change) {
    std::unique_lock lock(m_mutex, kAppWait);
    if (!lock.owns_lock()) return false;
    Handler* channel = find(name);
    if (channel == nullptr) return false;
    change(*channel);
    return true;
}

void ChannelRegistry::forEach(
    const std::function<void(const Handler&, RecordJournal*)>& visit) const {
    std::lock_guard lock(m_mutex);
    for (const auto& channel : m_channels) {
        const JournalSlot* slot = journalOf(*channel);
        visit(*channel, slot != nullptr ? slot->journal() : nullptr);
    }
}

bool ChannelRegistry::recordFields(const std::string& name, QueuedRecord& record,
                                   JournalSlot** journal) const {
    std::unique_lock lock(m_mutex, kAppWait);
    if (!lock.owns_lock()) return false;
    const Handler* channel = find(name);
    if (channel == nullptr) return false;
    if (journal != nullptr) *journal = journalOf(*channel);
    record.shared = channel->recordFields();
    return true;
}

JournalSlot* ChannelRegistry::journalOf(const std::string& name) const {
    std::unique_lock lock(m_mutex, kAppWait);
    if (!lock.owns_lock()) return nullptr;
    const Handler* channel = find(name);
    return channel == nullptr ? nullptr : journalOf(*channel);
}

bool ChannelRegistry::takeSetUp(std::string& name) {
    std::lock_guard lock(m_mutex);
    if (m_setUps.empty()) return false;
    name = std::move(m_setUps.front());
    m_setUps.pop_front();
    m_setUpsPending.store(m_setUps.size(), std::memory_order_relaxed);
    return true;
}

std::string ChannelRegistry::hostName() const {
    std::lock_guard lock(m_mutex);
    return m_hostName;
}

void ChannelRegistry::setHostName(const std::string& name) {
    {
        std::lock_guard lock(m_mutex);
        m_hostName = name;
    }
    notifyCrashInputs(VESK_CHANNEL_USER);
}

bool ChannelRegistry::crashSnapshot(std::chrono::milliseconds wait, Handler& channel,
                                    std::string& host) const {
    std::unique_lock lock(m_mutex, wait);
    if (!lock.owns_lock()) _warn_log("[sendCrashReport] registry busy, reading it unlocked");
    host = m_hostName;
    const Handler* found = find(VESK_CHANNEL_USER);
    if (found == nullptr) return false;
    channel = *found;
    return true;
}

void ChannelRegistry::setObserver(Observer observer) {
    std::lock_guard lock(m_observerMutex);
    m_observer = std::move(observer);
}

void ChannelRegistry::notifyCrashInputs(const std::string& name) const {
    if (name != VESK_CHANNEL_USER) return;
    Observer observer;
    {
        std::lock_guard lock(m_observerMutex);
        observer = m_observer;
    }
    if (observer) observer();
}
