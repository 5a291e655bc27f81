// One batch posted to a collector through a transport, and what became of each record. Nothing
// is stored here: the caller decides what to keep.
#pragma once

#include <cstdint>
#include <string>

#include "transport/deliveryOutcome.h"
#include "transport/transport.h"

// The path every batch is posted to, after the address's path prefix.
extern const char* const kLogPath;

// Posts batch to the collector that address and port name (plain HTTP or HTTPS, as the
// transport decides by the scheme) under one ExchangeDeadline of kExchangeTimeout, cut short
// by a shutdown's cut-off; a cut-off already passed sends nothing. An address that is not a
// collector URL, an answer that is not complete and 2xx, or any failure answers nothing.
DeliveryOutcome deliverBatch(CollectorTransport& transport, const std::string& address,
                             uint16_t port, const Batch& batch);
