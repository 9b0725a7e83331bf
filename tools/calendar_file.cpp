#include "calendar_file.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMonths = LIB_POW_CALENDAR_YEARS * 12;

int daysIn(int year, int month)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : kDays[month - 1];
}

/* Day d of a month is bit d % 8 of byte d / 8 of its little-endian word. */
bool isOn(const NvdSharedArea& image, int month, int day)
{
    return (image.ul_DateOnBits[month][day / 8] >> (day % 8) & 1) != 0;
}

void setOn(NvdSharedArea& image, int month, int day, bool on)
{
    uint8_t bit = static_cast<uint8_t>(1u << (day % 8));
    uint8_t& byte = image.ul_DateOnBits[month][day / 8];
    byte = static_cast<uint8_t>(on ? byte | bit : byte & ~bit);
}

} // namespace

std::string dateFault(const std::string& text, int& year, int& month, int& day)
{
    bool shape = text.size() == 10;
    for (size_t n = 0; shape && n < text.size(); ++n)
        shape = n == 4 || n == 7 ? text[n] == '-' : text[n] >= '0' && text[n] <= '9';
    if (!shape)
        return "not a date of the form YYYY-MM-DD";
    year = std::stoi(text.substr(0, 4)), month = std::stoi(text.substr(5, 2)), day = std::stoi(text.substr(8, 2));
    if (year < LIB_POW_CALENDAR_FIRST_YEAR || year >= LIB_POW_CALENDAR_FIRST_YEAR + LIB_POW_CALENDAR_YEARS)
        return "the weekly timer covers the years 2000 to 2089";
    if (month < 1 || month > 12)
        return "month " + std::to_string(month) + " does not exist";
    if (day < 1 || day > daysIn(year, month))
        return "day " + std::to_string(day) + " does not exist, that month has " + std::to_string(daysIn(year, month)) +
               " days";
    return "";
}

std::string calendarText(const NvdSharedArea& image, size_t bytes, const std::string& source)
{
    std::string text = "# Days switched on in the weekly timer calendar " + source +
                       "\n# one day a line (YYYY-MM-DD); every day not listed is off. powctl timer import FILE "
                       "puts them back.\n";
    size_t known = kMonths;
    if (bytes < sizeof image) {
        size_t whole = bytes > offsetof(NvdSharedArea, ul_DateOnBits) ? bytes - offsetof(NvdSharedArea, ul_DateOnBits) : 0;
        known = whole / 4 < known ? whole / 4 : known;
        char note[160];
        snprintf(note, sizeof note, "# The object was %zu bytes of %zu: the days of the %zu months after the first %zu "
                 "are not known and are left out.\n", bytes, sizeof image, kMonths - known, known);
        text += note;
    }
    for (size_t month = 0; month < known; ++month) {
        int year = LIB_POW_CALENDAR_FIRST_YEAR + static_cast<int>(month / 12), m = static_cast<int>(month % 12) + 1;
        for (int day = 1; day <= daysIn(year, m); ++day)
            if (isOn(image, static_cast<int>(month), day)) {
                char line[48];
                snprintf(line, sizeof line, "%04d-%02d-%02d\n", year, m, day);
                text += line;
            }
    }
    return text;
}

bool parseCalendarText(const std::string& text, const std::string& origin, NvdSharedArea& image, std::string& error)
{
    memset(image.ul_DateOnBits, 0, sizeof image.ul_DateOnBits);
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        std::istringstream words(line.substr(0, line.find('#')));
        std::string date, state, extra;
        if (!(words >> date))
            continue;
        words >> state >> extra;
        int year = 0, month = 0, day = 0;
        std::string reason = dateFault(date, year, month, day);
        if (reason.empty() && !state.empty() && state != "on" && state != "off")
            reason = "after the date only on or off";
        else if (reason.empty() && !extra.empty())
            reason = "one date a line";
        if (!reason.empty()) {
            error = origin + ":" + std::to_string(number) + ": '" + line + "': " + reason;
            return false;
        }
        setOn(image, (year - LIB_POW_CALENDAR_FIRST_YEAR) * 12 + month - 1, day, state != "off");
    }
    return true;
}

bool readCalendarImage(int fd, NvdSharedArea& image, size_t& bytes)
{
    struct stat st;
    memset(&image, 0, sizeof image);
    if (fstat(fd, &st) != 0)
        return false;
    bytes = static_cast<size_t>(st.st_size);
    return pread(fd, &image, sizeof image, 0) >= 0;
}
