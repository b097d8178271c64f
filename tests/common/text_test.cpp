#include "common/text.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>

namespace {

// Reads a shown text back: \\ is a backslash, \xNN a byte.
std::string ReadBack(const std::string& shown) {
  std::string text;
  for (size_t at = 0; at < shown.size();) {
    if (shown[at] != '\\') {
      text += shown[at++];
    } else if (shown.compare(at, 2, "\\\\") == 0) {
      text += '\\';
      at += 2;
    } else {
      EXPECT_EQ(shown[at + 1], 'x') << shown;
      text += static_cast<char>(std::stoi(shown.substr(at + 2, 2), nullptr, 16));
      at += 4;
    }
  }
  return text;
}

// Whatever the bytes, what is shown is valid UTF-8 without a control but tab
// (and line feed where kept), and reads back as the bytes it shows.
TEST(Printable, ShowsAnyBytesSafelyAndReadsBack) {
  std::mt19937 random(31);
  // Pieces that make the cases: controls, DEL, C1 and other UTF-8, broken
  // and overlong sequences, surrogates, backslashes and escapes lookalikes.
  // clang-format off
  const std::string pieces[] = {"\x1b", "\x01", "\t", "\n", "\r", "\x7f", "\xc2\x80", "\xc2\x9f", "\xc2\xa0", "é", "€",
                                "\xf0\x9f\x8e\xb5", "\xed\xa0\x80", "\xc0\xaf", "\xe2\x82", "\xff", "\x80",
                                "\xf4\x90\x80\x80", "\\", "\\x1b", "a", " ", "\xef\xbf\xbe", "\xef\xbf\xbf"};
  // clang-format on
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int n = static_cast<int>(random() % 12); n > 0; --n) {
      text += random() % 4 == 0 ? std::string(1, static_cast<char>(random())) : pieces[random() % std::size(pieces)];
    }
    // For a picture: no control (nor tab), nothing XML cannot hold, valid
    // UTF-8; the same as the terminal's text where that has none of them.
    const std::string displayed = Displayable(text);
    EXPECT_NO_THROW((void)nlohmann::json(displayed).dump()) << "not UTF-8: " << displayed;
    for (size_t i = 0; i < displayed.size(); ++i) {
      const auto c = static_cast<unsigned char>(displayed[i]);
      EXPECT_TRUE(c >= 0x20 && c != 0x7F) << displayed;
      EXPECT_NE(displayed.compare(i, 3, "\xef\xbf\xbe"), 0) << displayed;
      EXPECT_NE(displayed.compare(i, 3, "\xef\xbf\xbf"), 0) << displayed;
      EXPECT_FALSE(c == 0xC2 && i + 1 < displayed.size() && static_cast<unsigned char>(displayed[i + 1]) < 0xA0);
    }
    const bool plain = text.find('\t') == std::string::npos && text.find("\xef\xbf\xbe") == std::string::npos &&
                       text.find("\xef\xbf\xbf") == std::string::npos;
    bool utf8 = true;
    try {
      (void)nlohmann::json(text).dump();
    } catch (const nlohmann::json::exception&) {
      utf8 = false;
    }
    if (plain && utf8) {
      EXPECT_EQ(displayed, Printable(text));
    }
    for (const bool line_ends : {false, true}) {
      const std::string shown = Printable(text, line_ends);
      EXPECT_EQ(ReadBack(shown), text);
      EXPECT_NO_THROW((void)nlohmann::json(shown).dump()) << "not UTF-8: " << shown;
      for (size_t i = 0; i < shown.size(); ++i) {
        const auto c = static_cast<unsigned char>(shown[i]);
        EXPECT_TRUE(c >= 0x20 || c == '\t' || (line_ends && c == '\n')) << shown;
        EXPECT_NE(c, 0x7F);
        EXPECT_FALSE(c == 0xC2 && i + 1 < shown.size() && static_cast<unsigned char>(shown[i + 1]) < 0xA0) << shown;
      }
    }
  }
  EXPECT_EQ(Printable("Intro \xe2\x80\x94 caf\xc3\xa9\t1"), "Intro \xe2\x80\x94 caf\xc3\xa9\t1");
  EXPECT_EQ(Printable("a\x1b[2Jb\\c\xc2\x9b\xe9\n"), "a\\x1b[2Jb\\\\c\\xc2\\x9b\\xe9\\x0a");
  EXPECT_EQ(Displayable("a\x1b[2Jb\\c\xc2\x9b\xe9\t\xef\xbf\xbe\xe2\x80\x94"),
            "a\\x1b[2Jb\\\\c\\xc2\\x9b\xef\xbf\xbd\\x09\\xef\\xbf\\xbe\xe2\x80\x94");
}

}  // namespace
