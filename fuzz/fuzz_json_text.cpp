// The JSON reader sees collector answers, settings answers and stored lines; the writer sees
// any text an application logs. The reader must come back whatever it is given, and whatever
// the writer produces must be strict JSON that carries the text as repaired to UTF-8.
#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "platform/host_capture.h"
#include "transport/httpSender.h"
#include "transport/recordWriter.h"
#include "util/jsonText.h"
#include "wellFormedUtf8.h"

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "property broken: %s\n", what);
    abort();
}

bool parseStrict(const std::string& text, Json::Value& root) {
    static const std::unique_ptr<Json::CharReader> reader = [] {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }();
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &root, &errors);
}

void checkWrittenText(const std::string& input) {
    const std::string repaired = jsonText::repairUtf8(input);
    require(fuzz_support::isWellFormedUtf8(repaired), "repairUtf8 left ill-formed UTF-8");
    if (fuzz_support::isWellFormedUtf8(input)) {
        require(repaired == input, "repairUtf8 changed well-formed text");
    } else {
        require(repaired != input, "repairUtf8 kept ill-formed text");
    }

    // Strict mode wants an array or an object at the top.
    Json::Value array(Json::arrayValue);
    array.append(Json::Value(input));
    Json::Value back;
    require(parseStrict(jsonText::writeCompact(array), back),
            "a written string is not strict JSON");
    require(
        back.isArray() && back.size() == 1 && back[0].isString() && back[0].asString() == repaired,
        "a written string does not read back as its repaired text");

    Json::Value object(Json::objectValue);
    object[input] = Json::Value(input);
    Json::Value objectBack;
    require(parseStrict(jsonText::writeCompact(object), objectBack),
            "an object with that key is not strict JSON");
    require(objectBack.isObject() && objectBack.size() == 1 &&
                objectBack.getMemberNames().front() == repaired &&
                objectBack[repaired].asString() == repaired,
            "a written key does not read back as its repaired text");
}

// The map writer the sending thread uses must give the very bytes of the Json::Value writer:
// the input split into fields, in keys and values, with and without the skipped key.
void checkMapWriterAgrees(const std::string& input) {
    MapValues fields;
    for (size_t at = 0; at < input.size();) {
        const size_t keyEnd =
            std::min(input.size(), at + 1 + static_cast<unsigned char>(input[at]) % 7);
        const size_t valueEnd = std::min(input.size(), keyEnd + 11);
        fields[input.substr(at, keyEnd - at)] = input.substr(keyEnd, valueEnd - keyEnd);
        at = valueEnd;
    }
    fields["handlerName"] = input;
    for (const char* skip : {static_cast<const char*>(nullptr), "handlerName"}) {
        Json::Value object(Json::objectValue);
        for (const auto& [key, value] : fields) {
            if (skip == nullptr || key != skip) object[key] = value;
        }
        std::string direct;
        jsonText::appendCompactObject(fields, skip, direct);
        require(direct == jsonText::writeCompact(object), "the map writer differs");
    }
}

// A pass writes each record from its layers (channel, own, pass fields, place in the batch);
// the bytes must be those of the merged record, each layer over the one before, written by the
// map writer. The input's fields go to the layers by their first byte, so keys repeat across
// layers.
void checkRecordWriterAgrees(const std::string& input) {
    MapValues layers[3];
    for (size_t at = 0; at < input.size();) {
        const unsigned char selector = static_cast<unsigned char>(input[at]);
        const size_t keyEnd = std::min(input.size(), at + 1 + selector % 5);
        const size_t valueEnd = std::min(input.size(), keyEnd + 9);
        layers[selector % 3][input.substr(at + 1, keyEnd - at - 1)] =
            input.substr(keyEnd, valueEnd - keyEnd);
        at = valueEnd;
    }
    layers[0]["handlerName"] = "quillmark-user";
    if (input.size() % 2 == 1) layers[1]["qmkBulkIndex"] = "own";
    QueuedRecord record(layers[1]);
    if (!layers[0].empty() && input.size() % 3 != 0) {
        record.shared = std::make_shared<const MapValues>(layers[0]);
    } else {
        for (const auto& [key, value] : layers[0]) record.own.emplace(key, value);
    }
    MapValues merged = layers[0];
    for (const MapValues* layer : {&layers[1], &layers[2]}) {
        for (const auto& [key, value] : *layer) merged[key] = value;
    }
    RecordWriter writer;
    for (size_t index : {size_t{0}, input.size()}) {
        merged["qmkBulkIndex"] = std::to_string(index);
        std::string expected;
        require(writeRecordObject(merged, expected), "the merged record was not written");
        std::string written;
        require(writer.append(record, layers[2], index, written), "the record was not written");
        require(written == expected, "the record writer differs from the merged record");
    }
}

void checkReader(const std::string& input) {
    try {
        Json::Value root;
        size_t errorOffset = 0;
        if (!jsonText::parse(input, root, errorOffset)) {
            require(errorOffset <= input.size(), "error offset beyond the text");
        }
        // Whatever was read, in whole or in part, is written as well-formed text.
        const std::string written = jsonText::writeCompact(root);
        require(!written.empty() && written.back() == '\n', "written text without its line end");
        require(fuzz_support::isWellFormedUtf8(written), "written text is ill-formed UTF-8");
    } catch (const std::exception&) {
        // Nesting beyond the reader's depth limit is refused with an exception; callers catch it.
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qm_platform::setLogToStderr(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    checkReader(input);
    checkWrittenText(input);
    checkMapWriterAgrees(input);
    checkRecordWriterAgrees(input);
    return 0;
}
