// The collector's answer to a batch of records.
#pragma once

#include <cstddef>
#include <string>

#include "transport/deliveryOutcome.h"

// Only a collector answer (a JSON object with "header" and "body" -> "data" -> "resultList")
// decides per record: a record is accepted when its entry says "isSuccessful" true, refused
// when its entry says anything else, and not answered when it has no entry (an answer cut at
// its byte bound, or a shorter list). Any other answer leaves every record not answered.
DeliveryOutcome readCollectorAnswer(const std::string& answer, size_t recordCount);
