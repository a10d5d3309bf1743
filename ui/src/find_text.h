// What find searches in a record: its names, company, e-mail addresses and phone numbers, folded.
#pragma once

#include <string>

namespace contacts {
class ContactRecord;
}

namespace ui {

// Appends the find text of `record` to `out`: each searched field that is not empty on a line
// of its own (a line break starts it, and no term holds one, so no match spans two fields),
// folded; a phone number is followed by a line of its digits (phoneDigits).
void appendFindText(const contacts::ContactRecord& record, std::string& out);

} // namespace ui
