// The collector's answer decides which records of a batch are kept for a later attempt, and
// our own socket code reads its status line and Content-Length. The answer is arbitrary bytes
// here, against one fixed batch of three records.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/host_capture.h"
#include "transport/httpSender.h"
#include "transport/plainHttp.h"

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "property broken: %s\n", what);
    abort();
}

struct Batch {
    std::vector<std::string> records;  // as sent, one compact object and a line feed each
    std::string body;
};

// The second record carries text that needs escaping and a byte that is not UTF-8, so a stored
// copy that was written differently from the sent one would show.
Batch makeBatch() {
    Batch batch;
    batch.body = "[";
    for (int i = 0; i < 3; ++i) {
        MapValues record{
            {"body", i == 1 ? "say \"hi\"\n\t\\ \xC3\xA9 \xFF" : "record " + std::to_string(i)},
            {"handlerName", "quillmark-user"},
            {"qmkBulkIndex", std::to_string(i)}};
        std::string text;
        if (!HttpSender::_getHttpBody(record, text)) abort();
        batch.body += (i > 0 ? "," : "") + text;
        batch.records.push_back(text);
    }
    batch.body += "]";
    return batch;
}

// No channel is registered, so storing stops at the observer and never touches a file.
struct Harness {
    Batch batch = makeBatch();
    HttpSender sender;
    std::vector<size_t> stored;
    bool foreign = false;

    Harness() {
        sender.m_onStore = [this](const std::string& text, const std::string&) {
            for (size_t i = 0; i < batch.records.size(); ++i) {
                if (batch.records[i] == text) {
                    stored.push_back(i);
                    return;
                }
            }
            foreign = true;
        };
    }

    std::vector<size_t> evaluate(const std::string& answer, bool cut) {
        stored.clear();
        foreign = false;
        sender.is_collector_message(answer, batch.body, "quillmark-user", cut);
        require(!foreign, "a stored text is none of the sent records");
        for (size_t i = 1; i < stored.size(); ++i) {
            require(stored[i - 1] < stored[i], "records stored twice or out of order");
        }
        return stored;
    }
};

Harness* harness = nullptr;

bool contains(const std::vector<size_t>& all, const std::vector<size_t>& subset) {
    size_t at = 0;
    for (size_t index : all) {
        if (at < subset.size() && subset[at] == index) ++at;
    }
    return at == subset.size();
}

void checkHttpReader(const std::string& answer) {
    const long status = plainHttp::parseStatus(answer);
    require(status >= 0 && status <= 999, "status outside three digits");
    if (status != 0) require(answer.compare(0, 7, "HTTP/1.") == 0, "status without a status line");
    plainHttp::isComplete(answer);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qm_platform::setLogToStderr(false);
    static std::unique_ptr<Harness> kept = std::make_unique<Harness>();
    harness = kept.get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string answer(reinterpret_cast<const char*>(data), size);
    checkHttpReader(answer);
    const std::vector<size_t> whole = harness->evaluate(answer, false);
    const std::vector<size_t> cut = harness->evaluate(answer, true);
    // Being told the answer was cut can only keep more records, never fewer.
    require(contains(cut, whole), "a cut answer kept fewer records than the whole one");
    if (answer.empty()) require(whole.size() == 3, "no answer did not keep the whole batch");
    return 0;
}
