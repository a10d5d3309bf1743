// The SMTP addresses that a file's messages pair with legacy Exchange DNs, for the contacts
// whose e-mail addresses are DNs.
#pragma once

#include <string>

#include "contacts/output_writers.h"
#include "engine/pst_source.h"

namespace engine {

// Walks every message of the live folders of `path_utf8` (with the reader and code page of
// `options`) and maps each sender's DN (PR_SENDER_EMAIL_ADDRESS 0x0C1F, and the represented
// sender's 0x0065) to its SMTP address (0x5D01, 0x5D02) where a message holds both. A file that
// cannot be opened gives an empty map and *why.
contacts::ExchangeMap exchange_address_map(const std::string& path_utf8, const SourceOptions& options,
                                           pst::Status* why);

} // namespace engine
