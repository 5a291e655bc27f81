// Records kept on the device for a later attempt.
#include "transport/httpSender.h"

// Keeping undelivered records in the channel's "log.txt" comes with local storage; for now a
// record handed here is only shown to an observer, if one is set.
void HttpSender::save_local_storage(const std::string& message, const std::string& handlerName) {
    if (m_onStore) m_onStore(message, handlerName);
}

// Reads back a channel's stored records; nothing is stored yet, so nothing is read.
void HttpSender::getFileStorage(const std::string&) {}

// Sends a channel's stored records again at its set-up; nothing is stored yet.
void HttpSender::check_local_storage(const std::string&) {}
