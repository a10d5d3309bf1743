#include "output_dates.h"

namespace contacts {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int days_in_month(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

} // namespace

std::optional<CivilDate> parse_iso_date(std::u16string_view t)
{
    if (t.size() != 10 || t[4] != u'-' || t[7] != u'-') {
        return std::nullopt;
    }
    int digits[8];
    int n = 0;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (t[i] < u'0' || t[i] > u'9') {
            return std::nullopt;
        }
        digits[n++] = t[i] - u'0';
    }
    const CivilDate date{digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3], digits[4] * 10 + digits[5],
                         digits[6] * 10 + digits[7]};
    if (date.year < 1601 || date.year >= 4500 || date.month < 1 || date.month > 12 || date.day < 1 ||
        date.day > days_in_month(date.year, date.month)) {
        return std::nullopt;
    }
    return date;
}

uint64_t filetime_of(const CivilDate& date)
{
    constexpr int64_t kDays1601To1970 = 134774;
    constexpr uint64_t kTicksPerDay = 864'000'000'000ull;
    const int64_t days = days_from_civil(date.year, date.month, date.day) + kDays1601To1970;
    return static_cast<uint64_t>(days) * kTicksPerDay;
}

} // namespace contacts
