// The collector's answer decides which records of a batch are kept for a later attempt, and
// the plain-HTTP reader takes its framing apart (Content-Length, chunks, end of connection).
// The answer is arbitrary bytes here, against one fixed batch of three records.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/host_capture.h"
#include "transport/collectorAnswer.h"
#include "transport/plainHttp.h"
#include "transport/recordStore.h"
#include "transport/recordWriter.h"
#include "util/jsonText.h"

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "property broken: %s\n", what);
    abort();
}

struct SentBatch {
    std::vector<std::string> records;  // as sent, one compact object and a line feed each
    Batch batch;
};

// The second record carries text that needs escaping and a byte that is not UTF-8, so a stored
// copy that was written differently from the sent one would show.
SentBatch makeBatch() {
    SentBatch batch;
    for (int i = 0; i < 3; ++i) {
        MapValues record{
            {"body", i == 1 ? "say \"hi\"\n\t\\ \xC3\xA9 \xFF" : "record " + std::to_string(i)},
            {"handlerName", "quillmark-user"},
            {"qmkBulkIndex", std::to_string(i)}};
        std::string text;
        if (!writeRecordObject(record, text)) abort();
        batch.batch.add(text);
        batch.records.push_back(text);
    }
    return batch;
}

// No channel is registered, so storing stops at the observer and never touches a file.
struct Harness {
    SentBatch batch = makeBatch();
    ChannelRegistry registry;
    RecordStore store{registry};
    std::vector<size_t> stored;
    bool foreign = false;

    Harness() {
        store.setKeepObserver([this](const std::string& text, const std::string&) {
            for (size_t i = 0; i < batch.records.size(); ++i) {
                if (batch.records[i] == text) {
                    stored.push_back(i);
                    return;
                }
            }
            foreign = true;
        });
    }

    std::vector<size_t> evaluate(const std::string& answer) {
        stored.clear();
        foreign = false;
        const DeliveryOutcome outcome = readCollectorAnswer(answer, batch.batch.size());
        require(outcome.records.size() == batch.records.size(), "an outcome per record");
        store.keepUndelivered(batch.batch, outcome, "quillmark-user");
        require(!foreign, "a stored text is none of the sent records");
        for (size_t i = 1; i < stored.size(); ++i) {
            require(stored[i - 1] < stored[i], "records stored twice or out of order");
        }
        return stored;
    }
};

Harness* harness = nullptr;

struct Read {
    bool complete = false;
    long status = 0;
    std::string body;
    bool cut = false;
    // Not compared: bytes after the answer are seen only when they come with its end.
    bool reusable = false;
    bool operator==(const Read& other) const {
        return complete == other.complete && status == other.status && body == other.body &&
               cut == other.cut;
    }
};

// Small, so that cutting a long body is reached often.
constexpr size_t kReaderLimit = 64;

Read readInPieces(const std::string& bytes, size_t piece) {
    plainHttp::AnswerReader reader(kReaderLimit);
    bool wanted = true;
    for (size_t at = 0; wanted && at < bytes.size(); at += piece) {
        wanted = reader.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    if (wanted) reader.endOfInput();
    plainHttp::Answer answer;
    reader.takeInto(answer);
    return Read{answer.complete, answer.status, answer.body, answer.cut,
                reader.leavesConnectionReusable()};
}

// However the bytes arrive, the reader comes to the same answer.
void checkHttpReader(const std::string& answer) {
    const Read whole = readInPieces(answer, answer.size() + 1);
    require(whole.body.size() <= kReaderLimit, "body kept beyond the limit");
    if (whole.complete) {
        require(whole.status <= 999 && whole.status / 100 != 1, "odd final status");
    }
    if (!whole.complete) require(whole.status == 0, "status of an answer that did not end");
    require(!whole.reusable || whole.complete, "connection kept after an unfinished answer");
    if (answer.size() <= 4096) {
        const Read byByte = readInPieces(answer, 1);
        require(byByte == whole, "byte-wise reading differs");
        require(!whole.reusable || byByte.reusable, "keep-alive differs when read byte-wise");
        require(readInPieces(answer, 7) == whole, "reading in pieces differs");
    }
}

// The layout of an answer says nothing: the same JSON written compact, its members in key
// order (so "body" before "header"), decides every record the same way. Only text that is an
// object from its first byte on is compared: before it the reader looks for the object itself.
void checkLayoutFree(const std::string& answer) {
    Json::Value root;
    if (answer.empty() || answer[0] != '{' || !jsonText::parse(answer, root)) return;
    const std::string compact = jsonText::writeCompact(root);
    Json::Value again;
    // Text the writer repairs, or a number it cannot write back, is another answer.
    if (!jsonText::parse(compact, again) || !(again == root)) return;
    const DeliveryOutcome original = readCollectorAnswer(answer, 3);
    const DeliveryOutcome rewritten = readCollectorAnswer(compact, 3);
    require(original.records == rewritten.records &&
                original.collectorAnswered == rewritten.collectorAnswered,
            "the layout of an answer changed what it says");
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
    checkLayoutFree(answer);
    const std::vector<size_t> whole = harness->evaluate(answer);
    if (answer.empty()) require(whole.size() == 3, "no answer did not keep the whole batch");
    return 0;
}
