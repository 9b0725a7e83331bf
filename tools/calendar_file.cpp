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

/* Why `word` is not a day of the calendar ("YYYY-MM-DD"); empty when it is
 * one, whose month's position and day are then in `month` and `day`. */
std::string dayFault(const std::string& word, int& month, int& day)
{
    int y = 0, m = 0, d = 0;
    char end = 0;
    /* All ten characters taken by the scan put both dashes in place; a sign it would take is not. */
    if (word.size() != 10 || sscanf(word.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &end) != 3 ||
        word.find_first_not_of("0123456789-") != std::string::npos)
        return "not a date of the form YYYY-MM-DD";
    if (y < LIB_POW_CALENDAR_FIRST_YEAR || y >= LIB_POW_CALENDAR_FIRST_YEAR + LIB_POW_CALENDAR_YEARS)
        return "the weekly timer covers the years 2000 to 2089";
    if (m < 1 || m > 12 || d < 1 || d > daysIn(y, m))
        return "that day does not exist";
    month = (y - LIB_POW_CALENDAR_FIRST_YEAR) * 12 + m - 1;
    day = d;
    return "";
}

} // namespace

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
        int month = 0, day = 0;
        std::string reason = dayFault(date, month, day);
        if (reason.empty() && !state.empty() && state != "on" && state != "off")
            reason = "after the date only on or off";
        else if (reason.empty() && !extra.empty())
            reason = "one date a line";
        if (!reason.empty()) {
            error = origin + ":" + std::to_string(number) + ": '" + line + "': " + reason;
            return false;
        }
        setOn(image, month, day, state != "off");
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
