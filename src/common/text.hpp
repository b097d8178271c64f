#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

// printf into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatList(const char* format, va_list args);

// Bytes from the task file, a source or the file system made safe for a
// terminal and unambiguous to read back: C0 controls but tab (and, with
// `line_ends`, line feed), DEL, the C1 code points U+0080-U+009F of UTF-8
// text and bytes that are not UTF-8 become \xNN, each byte, and a backslash
// becomes \\. Valid UTF-8 text stays as it is.
std::string Printable(std::string_view text, bool line_ends = false);

// The same for a picture, where a reader cannot look at bytes: every control
// character (tab and line feed too), DEL and C1 code point as \xNN, a
// backslash as \\, but each byte that is not UTF-8 as U+FFFD, and the two
// code points XML cannot hold (U+FFFE, U+FFFF) as \xNN, each byte.
std::string Displayable(std::string_view text);
