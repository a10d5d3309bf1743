// The sources beyond the contact items (engine/sources.h) read from an open file into the store,
// after the walk: each source in turn, its cards marked by their origin and counted in the result.
#pragma once

#include <functional>
#include <string>

#include "engine/pst_source.h"
#include "engine/scan_events.h"

namespace contacts {
class ContactStore;
}

namespace engine {

class PauseGate;

// Calls `visit` with every folder reached from the root folder through the hierarchy tables,
// parents first, and its path below the root (names joined by '\'); a folder met before (by node
// id) is not entered again, nor one deeper than 64 levels. A folder whose sub folders cannot be
// read is reported through `skipped`. Stops, returning false, when `visit` returns false.
bool for_each_folder(PstSource& file, const std::function<bool(PstItem&, const std::u16string&)>& visit,
                     const std::function<void(const SkippedItem&)>& skipped);

// Reads what `file.options().sources` asks beyond the contact items into `store` (cards numbered
// after those in it), reporting each card and skipped item through `listener`, and adds the
// counts to *result. `gate` (optional) may stop it at its checkpoints. The cards take their places
// in file `source_file` of the store's sources (kUnknownFile: none).
void read_other_sources(PstSource& file, uint32_t source_file, contacts::ContactStore& store, ScanListener& listener,
                        PauseGate* gate, ScanResult* result);

} // namespace engine
