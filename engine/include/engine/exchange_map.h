// The SMTP addresses that a file's messages pair with legacy Exchange DNs, for the contacts
// whose e-mail addresses are DNs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "contacts/output_writers.h"
#include "engine/pst_source.h"

namespace engine {

// Walks every message of the live folders of `path_utf8` (with the reader and code page of
// `options`) and maps each sender's DN (PR_SENDER_EMAIL_ADDRESS 0x0C1F, and the represented
// sender's 0x0065) to its SMTP address (0x5D01, 0x5D02) where a message holds both, and the DN
// of each recipient row of address type EX (0x3002, 0x3003) to the row's SMTP address (0x39FE).
// The first address found for a DN stays. A file that cannot be opened gives an empty map and
// *why. *unreadable (when given): the messages, recipient tables and recipient rows that could
// not be read, whose addresses are not in the map.
contacts::ExchangeMap exchange_address_map(const std::string& path_utf8, const SourceOptions& options, pst::Status* why,
                                           int64_t* unreadable = nullptr);

// The map of several files (a scan of several into one store): each file's, the first address
// found for a DN staying. *unreadable counts over all of them; a file that cannot be opened adds
// nothing.
contacts::ExchangeMap exchange_address_map(const std::vector<std::string>& paths_utf8, const SourceOptions& options,
                                           int64_t* unreadable = nullptr);

} // namespace engine
