// The text of a whole store (or of a list of records), record after record (a list line, a JSON
// object), made on two threads: once a scan is done its second processor is idle, and at a
// million contacts making the text takes as long as a tenth of the scan.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "contacts/contact_store.h"

namespace contacts {

// Appends one record's text to `out`. Called on two threads at once: it must change no state
// outside its arguments other than thread_local.
using MakeRecordText = std::function<void(const ContactRecord& record, std::string& out)>;

// Hands `write` the text of every record of `store` in store order, in pieces of
// `records_per_piece` records, on the caller's thread; the pieces after the first are made
// alternately by the caller and by a thread of its own (one thread only for a store of two
// pieces or less, or when no thread can be had). No record may be appended meanwhile. Stops at
// the first `write` that returns false, and returns false then.
bool write_store_text(const ContactStore& store, const MakeRecordText& make,
                      const std::function<bool(std::string_view)>& write, std::size_t records_per_piece = 512);
// The same for the records of a list, in its order (a merge's cards to write).
bool write_records_text(std::span<const ContactRecord* const> records, const MakeRecordText& make,
                        const std::function<bool(std::string_view)>& write, std::size_t records_per_piece = 512);

} // namespace contacts
