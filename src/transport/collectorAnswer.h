// The collector's answer to a batch of records.
#pragma once

#include <cstddef>
#include <string>

#include "transport/deliveryOutcome.h"

// Only a collector answer, a JSON object with "header" and "body" -> "data" -> "resultList"
// (any white space, any order of members), decides per record: a record is accepted when its
// entry says "isSuccessful" true, refused when its entry says anything else, and not answered
// when it has no complete entry (an answer cut at its byte bound or inside an entry, or a
// shorter list). Entries beyond the batch are ignored. Any other answer leaves every record
// not answered. A status line and headers before the object are skipped.
DeliveryOutcome readCollectorAnswer(const std::string& answer, size_t recordCount);
