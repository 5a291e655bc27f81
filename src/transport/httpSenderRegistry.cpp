// The process-wide channel registry, the per-channel setters and getters, record fields and
// the small file helpers. Every registry access takes m_mtxSvr: application threads change
// channels while the sending thread reads them.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <mutex>

#include "transport/httpSender.h"
#include "transport/pendingCrashes.h"
#include "util/uniqueFile.h"
#include "util/utilLog.h"

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

bool HttpSender::setHandler(std::unique_ptr<Handler>& handler) {
    // Dumps made from here on are this process's own: the kept crashes it sends are older.
    pendingCrashes::processStartNs();
    const std::string name = handler ? handler->m_handlerName : std::string();
    if (!registerChannel(handler)) return false;
    crashRecordInputsChanged(name);
    return true;
}

bool HttpSender::registerChannel(std::unique_ptr<Handler>& handler) {
    std::lock_guard lock(m_mtxSvr);
    if (!handler) {
        _error_log("handler is null");
        return false;
    }
    if (_findChannel(handler->m_handlerName) != nullptr) return false;
    local_list.push_back(handler->m_handlerName);
    handler->fieldsChanged();
    handler->m_deviceID.clear();
    // Send-only: no directory, so nothing is stored, read back or kept (device ID, settings).
    if (handler->m_SendOnlyMode) {
        m_handlerManager.push_back(handler.release());
        return true;
    }

    const std::string root = handler->m_sdCardPath + "/quillmark";
    if (!check_directory(root) && !make_directory(root)) {
        _error_log("[setHandler] can not access root dir");
        return false;
    }
    const std::string directory = root + "/" + handler->m_projectName;
    if (!check_directory(directory) && !make_directory(directory)) {
        _error_log("[setHandler] can't access user dir : " + directory);
        return false;
    }
    handler->m_directoryPath = directory;
    if (m_journals.find(directory) == m_journals.end()) {
        m_journals[directory] = RecordJournal::open(directory);
    }
    handler->m_deviceIdPath = directory + "/deviceID.db";
    // Registered channels live for the rest of the process: the registry never frees them.
    m_handlerManager.push_back(handler.release());
    return true;
}

Handler* HttpSender::_findChannel(const std::string& name) {
    for (Handler* channel : m_handlerManager) {
        if (channel->m_handlerName == name) return channel;
    }
    return nullptr;
}

int HttpSender::getHandlerIndex(const std::string& key) {
    std::lock_guard lock(m_mtxSvr);
    int position = 0;
    for (const Handler* channel : m_handlerManager) {
        if (channel->m_handlerName == key) return position;
        ++position;
    }
    return -1;
}

bool HttpSender::checkHandle(const std::string& name) {
    if (name.empty()) return false;
    std::lock_guard lock(m_mtxSvr);
    return _findChannel(name) != nullptr;
}

void HttpSender::set_logLevel(VESK_LOG_LEVEL eLevel, const std::string& handlerName) {
    std::lock_guard lock(m_mtxSvr);
    if (Handler* channel = _findChannel(handlerName)) channel->m_elogLevel = eLevel;
}

VESK_LOG_LEVEL HttpSender::get_logLevel(const std::string& handlerName) {
    std::lock_guard lock(m_mtxSvr);
    const Handler* channel = _findChannel(handlerName);
    return channel ? channel->m_elogLevel : VESK_LL_NONE;
}

void HttpSender::set_userID(const std::string& userID, const std::string& handlerName) {
    {
        std::lock_guard lock(m_mtxSvr);
        if (Handler* channel = _findChannel(handlerName)) {
            channel->m_userId = userID;
            channel->fieldsChanged();
        }
    }
    crashRecordInputsChanged(handlerName);
}

std::string HttpSender::get_userID(const std::string& handlerName) {
    std::lock_guard lock(m_mtxSvr);
    const Handler* channel = _findChannel(handlerName);
    return channel ? channel->m_userId : std::string();
}

void HttpSender::set_duplicate(bool flag, const std::string& handlerName) {
    std::lock_guard lock(m_mtxSvr);
    if (Handler* channel = _findChannel(handlerName)) {
        channel->m_isDeduplicate = flag;
    }
}

void HttpSender::set_enableHost(bool flag, const std::string& handlerName) {
    {
        std::lock_guard lock(m_mtxSvr);
        Handler* channel = _findChannel(handlerName);
        if (channel == nullptr) return;
        _info_log("set enable host : " + handlerName + " " + (flag ? "true" : "false"));
        channel->m_isEnableHost = flag;
    }
    crashRecordInputsChanged(handlerName);
}

bool HttpSender::addCustomFields(const std::string& key, const std::string& value,
                                 const std::string& handlerName) {
    {
        std::lock_guard lock(m_mtxSvr);
        Handler* channel = _findChannel(handlerName);
        if (channel == nullptr) return false;
        channel->m_custom_fields[key] = value;
        channel->fieldsChanged();
    }
    crashRecordInputsChanged(handlerName);
    return true;
}

void HttpSender::deleteCustomFields(const std::string& key, const std::string& handlerName) {
    {
        std::lock_guard lock(m_mtxSvr);
        if (Handler* channel = _findChannel(handlerName)) {
            channel->m_custom_fields.erase(key);
            channel->fieldsChanged();
        }
    }
    crashRecordInputsChanged(handlerName);
}

void HttpSender::deleteAllCustomFields(const std::string& handlerName) {
    {
        std::lock_guard lock(m_mtxSvr);
        if (Handler* channel = _findChannel(handlerName)) {
            channel->m_custom_fields.clear();
            channel->fieldsChanged();
        }
    }
    crashRecordInputsChanged(handlerName);
}

bool HttpSender::getHandlerRecord(const std::string& handlerName, QueuedRecord& record,
                                  RecordJournal** journal) {
    std::lock_guard lock(m_mtxSvr);
    const Handler* channel = _findChannel(handlerName);
    if (channel == nullptr) return false;
    if (journal != nullptr) *journal = _journalOf(*channel);
    record.shared = channel->recordFields();
    return true;
}

RecordJournal* HttpSender::_journalOf(const Handler& channel) {
    if (channel.m_directoryPath.empty()) return nullptr;
    auto found = m_journals.find(channel.m_directoryPath);
    return found == m_journals.end() ? nullptr : found->second.get();
}

RecordJournal* HttpSender::journalOf(const std::string& handlerName) {
    std::lock_guard lock(m_mtxSvr);
    const Handler* channel = _findChannel(handlerName);
    return channel == nullptr ? nullptr : _journalOf(*channel);
}

bool HttpSender::queueRecord(RecordJournal* journal, QueuedRecord record) {
    ListJobs slot;
    slot.push_back(std::move(record));
    return queueRecord(journal, slot);
}

bool HttpSender::queueRecord(RecordJournal* journal, ListJobs& slot) {
    if (journal == nullptr || slot.size() != 1) return push(slot);
    return journal->appendAndPush(slot.front(), [this, &slot] { return push(slot); });
}

bool HttpSender::getHandlerSnapshot(const std::string& handlerName, Handler& snapshot) {
    std::lock_guard lock(m_mtxSvr);
    const Handler* channel = _findChannel(handlerName);
    if (channel == nullptr) return false;
    snapshot = *channel;
    return true;
}

std::string HttpSender::getMapField(const MapValues& mapVals, const std::string& key) {
    auto found = mapVals.find(key);
    return found == mapVals.end() ? std::string() : found->second;
}

void HttpSender::setMapField(MapValues& mapVals, const std::string& key, const std::string& value) {
    mapVals[key] = value;
}

bool HttpSender::check_directory(const std::string& path) {
    if (path.empty() || access(path.c_str(), F_OK) != 0) return false;
    std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
    return dir != nullptr;
}

bool HttpSender::make_directory(const std::string& path) {
    if (path.empty()) return false;
    return mkdir(path.c_str(), 0770) == 0;
}

bool HttpSender::check_file(const std::string& path) {
    return !path.empty() && access(path.c_str(), F_OK) == 0;
}

bool HttpSender::write_file(const std::string& path, const std::string& message) {
    if (path.empty() || message.empty()) return false;
    UniqueFile file(fopen(path.c_str(), "w"));
    if (!file) return false;
    const bool written = fwrite(message.data(), 1, message.size(), file.get()) == message.size();
    // A failed flush (full disk) must not pass for a written file.
    return fclose(file.release()) == 0 && written;
}

std::string HttpSender::read_file(const std::string& path) {
    if (path.empty()) return std::string();
    UniqueFile file(fopen(path.c_str(), "r"));
    if (!file) return std::string();
    char line[256] = {0};
    if (fgets(line, sizeof line, file.get()) == nullptr) return std::string();
    return line;
}
