#include "core/libraryState.h"

#include <utility>

#include "crash/veskCatcher.h"
#include "transport/collectorTransports.h"
#include "util/noDestructor.h"
#include "util/utilRandom.h"
#include "util/utilTools.h"

namespace {

std::string makeSessionId() {
    std::string id = UtilRandom::drawText(35, UtilRandom::kIdAlphabet);
    id[8] = id[13] = id[18] = '-';
    std::string timePart;
    UtilTools::encode_base64_string(
        std::to_string(static_cast<long long>(UtilTools::getUTCTimeAsMillsec())), timePart);
    if (!timePart.empty()) id += "-" + timePart.substr(0, timePart.size() - 2);
    return id;
}

}  // namespace

LibraryState::LibraryState(TransportFactory transports)
    : transports(transports ? std::move(transports) : schemeTransports(settings.verifyTls)) {}

// The process's catcher may still be configured with this state's crash delivery.
LibraryState::~LibraryState() { gs_crashCatcher.forgetDelivery(&crash); }

LibraryState& LibraryState::process() {
    static NoDestructor<LibraryState> state;
    return *state;
}

SenderParts LibraryState::senderParts() {
    return SenderParts{registry, store, crash, settings, transports};
}

std::string LibraryState::sessionId() {
    std::lock_guard lock(m_mutex);
    if (m_sessionId.empty()) m_sessionId = makeSessionId();
    return m_sessionId;
}

void LibraryState::rememberEnableHost(bool enable, bool corvane) {
    std::lock_guard lock(m_mutex);
    (corvane ? m_corvaneEnableHost : m_quillmarkEnableHost) = enable;
}

bool LibraryState::rememberedEnableHost(bool corvane) {
    std::lock_guard lock(m_mutex);
    return corvane ? m_corvaneEnableHost : m_quillmarkEnableHost;
}
