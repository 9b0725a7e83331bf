/*
 * calendar_file.h - the weekly timer's days as text a person can read and
 * edit: one switched-on day a line (YYYY-MM-DD), every day not listed off.
 * `powctl timer export` writes it, `powctl timer import` reads it back, and
 * the service keeps a calendar's days in its runtime directory this way
 * before anything rewrites or replaces the calendar.
 */
#ifndef LIBPOW_CALENDAR_FILE_H
#define LIBPOW_CALENDAR_FILE_H

#include "LIB_POW_areas.h"

#include <string>

/* The text of the days switched on in `image`, after comment lines naming
 * `source`. `bytes` is how much of the object there was: days whose word
 * lay past it are not known, and the text says so. */
std::string calendarText(const NvdSharedArea& image, size_t bytes, const std::string& source);

/* Why `text` is not a day of the weekly timer, written YYYY-MM-DD exactly
 * (e.g. "month 13 does not exist"); empty when it is one, which `year`,
 * `month` and `day` then hold. */
std::string dateFault(const std::string& text, int& year, int& month, int& day);

/* Reads the text back into the day words of `image` (all other days off).
 * A line is a date, optionally followed by "on" or "off"; blank lines and
 * everything after '#' are ignored. False with one line in `error` naming
 * the line (`origin`:N) and what is wrong with it; `image` is then not to
 * be used. */
bool parseCalendarText(const std::string& text, const std::string& origin, NvdSharedArea& image, std::string& error);

/* The calendar of the object behind `fd`, read with pread (an object cut
 * short gives what it still holds); `bytes` gets its length. */
bool readCalendarImage(int fd, NvdSharedArea& image, size_t& bytes);

#endif
