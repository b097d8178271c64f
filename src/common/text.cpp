#include "common/text.hpp"

#include <cstdio>

std::string FormatList(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatList(format, args);
  va_end(args);
  return text;
}

namespace {

// The length of the valid UTF-8 sequence that starts text[at], or 0.
size_t Utf8Length(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0; };
  const auto follows = [&](size_t i, unsigned char low, unsigned char high) {
    return at + i < text.size() && byte(i) >= low && byte(i) <= high;
  };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return follows(1, 0x80, 0xBF) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    // No overlong forms, no surrogates.
    const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
    return follows(1, low, high) && follows(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
    return follows(1, low, high) && follows(2, 0x80, 0xBF) && follows(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

// How a text is shown: where bytes that are not UTF-8 become U+FFFD instead of
// \xNN, and which controls stay as they are.
struct Showing {
  bool line_ends = false;    // a line feed stays
  bool tabs = true;          // a tab stays
  bool replacement = false;  // a byte that is not UTF-8 is U+FFFD
  bool xml_only = false;     // U+FFFE and U+FFFF, which XML cannot hold, as \xNN
};

std::string Show(std::string_view text, const Showing& how) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    // A byte that is no UTF-8 is shown alone; a control, whole.
    const size_t valid = Utf8Length(text, at);
    const size_t length = valid == 0 ? 1 : valid;
    const auto next = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const bool c1 = length == 2 && c == 0xC2 && next(1) <= 0x9F;
    const bool not_xml = how.xml_only && length == 3 && c == 0xEF && next(1) == 0xBF && next(2) >= 0xBE;
    const bool kept = (how.tabs && c == '\t') || (how.line_ends && c == '\n');
    if (c == '\\') {
      shown += "\\\\";
    } else if (valid == 0 && how.replacement) {
      shown += "\xEF\xBF\xBD";
    } else if (valid == 0 || (c < 0x20 && !kept) || c == 0x7F || c1 || not_xml) {
      for (size_t i = 0; i < length; ++i) shown += Format("\\x%02x", static_cast<unsigned char>(text[at + i]));
    } else {
      shown.append(text.substr(at, length));
    }
    at += length;
  }
  return shown;
}

}  // namespace

std::string Printable(std::string_view text, bool line_ends) {
  return Show(text, Showing{.line_ends = line_ends, .tabs = true, .replacement = false, .xml_only = false});
}

std::string Displayable(std::string_view text) {
  return Show(text, Showing{.line_ends = false, .tabs = false, .replacement = true, .xml_only = true});
}
