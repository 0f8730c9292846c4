// The firmware transfers on the /metrics page: one set of series per transfer the service
// lists, or the latest transfer's status alone from a service without the listing.
#ifndef KIVO_EXPORTER_TRANSFERS_H
#define KIVO_EXPORTER_TRANSFERS_H

#include <cstddef>

#include "kivo_client.h"
#include "metrics.h"

namespace kivo::exporter {

// Transfers shown at most. The service keeps 16 running and finished ones; should a list
// be longer, the most recently started are shown.
inline constexpr size_t kMaxTransfers = 16;

// The listing's transfers, labelled mac, interface and kind. A device upgraded twice is
// listed twice: only its most recent transfer is shown, so that no series appears twice.
void WriteTransfers(MetricsText& m, const client::FwTransfers& list);
// The latest transfer's status, without labels.
void WriteFwStatus(MetricsText& m, const client::FwStatus& s);

}  // namespace kivo::exporter

#endif
