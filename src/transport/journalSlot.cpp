#include "transport/journalSlot.h"

bool JournalSlot::open(const std::function<void(RecordJournal&)>& journalWaiting) {
    std::lock_guard opening(m_opening);
    if (opened()) return false;
    // The slow part, while records go on being queued without an entry.
    std::unique_ptr<RecordJournal> journal = RecordJournal::open(m_directory);
    std::lock_guard lock(m_mutex);
    if (journal) journalWaiting(*journal);
    m_owned = std::move(journal);
    m_journal.store(m_owned.get(), std::memory_order_release);
    m_opened.store(true, std::memory_order_release);
    return true;
}
