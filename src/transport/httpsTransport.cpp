#include "transport/httpsTransport.h"

#include <algorithm>
#include <functional>
#include <string>
#include <utility>

namespace {

struct BoundedBody {
    std::string text;
    size_t bound = 0;
    bool cut = false;
};

// Keeps the start of the answer's body, at most its bound; the rest is still taken, so the
// transfer ends as its framing says.
size_t keepAnswerStart(void* data, size_t size, size_t count, void* target) {
    auto* body = static_cast<BoundedBody*>(target);
    const size_t total = size * count;
    const size_t room = body->bound - body->text.size();
    if (total > room) body->cut = true;
    body->text.append(static_cast<const char*>(data), std::min(total, room));
    return total;
}

// The options of one exchange point at its body, headers and answer: the handle forgets them
// when the exchange ends, however it ends.
class ExchangeOptions {
public:
    explicit ExchangeOptions(CURL* handle) : m_handle(handle) {}
    ~ExchangeOptions() { resetCurlHandle(m_handle); }
    ExchangeOptions(const ExchangeOptions&) = delete;
    ExchangeOptions& operator=(const ExchangeOptions&) = delete;

private:
    CURL* m_handle;
};

long infoLong(CURL* handle, CURLINFO what) {
    long value = 0;
    curl_easy_getinfo(handle, what, &value);
    return value;
}

}  // namespace

HttpsTransport::HttpsTransport(bool verifyTls) : m_verifyTls(verifyTls) {}

CollectorAnswer HttpsTransport::exchange(const CollectorRequest& request,
                                         const ExchangeDeadline& deadline) {
    static const std::string kNoBody;
    const std::string& body = request.get || request.body == nullptr ? kNoBody : *request.body;
    const CollectorAddress& collector = request.target;
    CollectorAnswer answer;
    if (!m_handle) m_handle = newCurlHandle();
    if (!m_handle) {
        answer.failure = "libcurl initialize failed";
        return answer;
    }
    CURL* handle = m_handle.get();
    const ExchangeOptions forgetAfterwards(handle);
    const JsonPost options{
        collector.url(request.path), collector.port, &body, m_verifyTls, kConnectTimeoutSeconds, 0};
    const CurlHeaders headers =
        request.get ? prepareJsonGet(handle, options) : prepareJsonPost(handle, options);
    const std::function<bool()> stop = [&deadline] { return deadline.passed(); };
    // Never 0, which libcurl reads as no bound.
    setTransferBound(handle, std::max<long>(1, deadline.remaining().count()), &stop);
    curl_easy_setopt(handle, CURLOPT_MAXAGE_CONN, static_cast<long>(kMaxIdle.count()));
    BoundedBody answerBody;
    answerBody.bound = request.maxAnswerBytes;
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, keepAnswerStart);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answerBody);

    const CURLcode result = curl_easy_perform(handle);
    // Some of the request went out, so the connection and its TLS session stood.
    answer.connected = infoLong(handle, CURLINFO_REQUEST_SIZE) > 0;
    curl_off_t uploaded = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    answer.sent = answer.connected && static_cast<size_t>(uploaded) == body.size();
    answer.complete = result == CURLE_OK;
    answer.status = answer.complete ? infoLong(handle, CURLINFO_RESPONSE_CODE) : 0;
    answer.body = std::move(answerBody.text);
    answer.cut = answerBody.cut;
    answer.reused = answer.connected && infoLong(handle, CURLINFO_NUM_CONNECTS) == 0;
    if (!answer.complete) answer.failure = curl_easy_strerror(result);
    return answer;
}
