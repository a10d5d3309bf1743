// Dates of the date fields ("YYYY-MM-DD", the form the extraction gives them) for the writers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace contacts {

struct CivilDate
{
    int year;
    int month;
    int day;
};

// The date of a "YYYY-MM-DD" text (a real calendar day of the years 1601 to 4499, the range a
// PST date holds besides its "no date" value 4501-01-01); nullopt otherwise.
std::optional<CivilDate> parse_iso_date(std::u16string_view text);

// The FILETIME (100 ns ticks since 1601-01-01 UTC) of midnight UTC of `date`.
uint64_t filetime_of(const CivilDate& date);

} // namespace contacts
