// The people in the mail: one card per SMTP address among the senders and recipients of the
// file's mail, with the name most often used for it, the number of messages it is in and the date
// of the latest, in the notes ("Found in 12 messages of the mail, the latest on 2024-05-01").
//
// The file's owner is the sender of the messages in Sent Items (the folder found by its name in
// Outlook's languages). An address becomes a card when the owner wrote to it (it is a recipient
// of a message the owner sent) and it is in at least `min_messages` messages; the owner's own
// addresses never do. A file without sent mail has no known owner: then every address seen in
// `min_messages` messages does. Exchange DNs are resolved through the SMTP addresses the same
// messages pair them with (PR_SENDER_SMTP_ADDRESS, PR_SMTP_ADDRESS); a DN left without one gives
// no card. Cards go in falling number of messages, then by address.
#pragma once

#include <functional>

#include "engine/pst_source.h"
#include "engine/scan_events.h"

namespace contacts {
class ContactStore;
}

namespace engine {

class PauseGate;

// Reads the mail of every folder of `file` and appends the cards to `store`, counting them in
// result->correspondents and each skipped item through `skipped`. False when stopped through
// `gate` or out of memory. The cards take `place` (outside the folders; 0: none).
bool read_correspondents(PstSource& file, contacts::ContactStore& store, ScanListener& listener, PauseGate* gate,
                         ScanResult* result, const std::function<void(const SkippedItem&)>& skipped, uint32_t place);

} // namespace engine
