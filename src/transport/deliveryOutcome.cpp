#include "transport/deliveryOutcome.h"

#include <algorithm>
#include <utility>

Batch::Batch() : m_body("[]") {}

Batch Batch::ofOne(std::string arrayText) {
    Batch batch;
    if (arrayText.size() < 2) return batch;
    batch.m_body = std::move(arrayText);
    batch.m_records.push_back({1, batch.m_body.size() - 2});
    return batch;
}

void Batch::add(const std::string& recordText) {
    m_body.pop_back();  // the closing bracket
    if (!m_records.empty()) m_body += ',';
    m_records.push_back({m_body.size(), recordText.size()});
    m_body += recordText;
    m_body += ']';
}

std::string Batch::record(size_t index) const {
    const Span& span = m_records.at(index);
    return m_body.substr(span.offset, span.length);
}

DeliveryOutcome DeliveryOutcome::all(size_t count, RecordOutcome outcome) {
    DeliveryOutcome result;
    result.records.assign(count, outcome);
    return result;
}

size_t DeliveryOutcome::count(RecordOutcome outcome) const {
    return static_cast<size_t>(std::count(records.begin(), records.end(), outcome));
}
