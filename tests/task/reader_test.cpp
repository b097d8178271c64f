#include "task/reader.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <string>

#include "common/numbers.hpp"
#include "support/in_process.hpp"

namespace {

struct Read {
  TaskList list;
  std::string output;
  int status = -1;

  explicit Read(const std::string& text) {
    std::tie(output, status) = Captured([&] { list = ReadTaskText(text); });
    if (status == -1) output = list.said + output;  // what the reader says, the driver prints
  }
  const TaskList* operator->() const { return &list; }
  int count() const { return static_cast<int>(list.entries.size()); }
};

TEST(TaskReader, WorkedExampleStoresExactlyWhatIsWritten) {
  Read r(
      "using_samples\nsrc\tintro.wav\nxout\t9000\nlvl\t-3\nsrc\tmain.wav\nxin\t1500\nins\t8000\nxf\t50\t1\n"
      "src\toutro.wav\nins\tapp\nlvl\t30\ndest\tmix.wav\n");
  ASSERT_EQ(r.status, -1);
  EXPECT_EQ(r.output, "Reading time values as samples.\n");
  EXPECT_EQ(r->using_samples, true);
  EXPECT_EQ(r.count(), 3);
  EXPECT_EQ(r->destination_name, "mix.wav");

  EXPECT_EQ(r->entries[0].source_name, "intro.wav");
  EXPECT_EQ(r->entries[0].xout.value, 9000.0);
  EXPECT_EQ(r->entries[0].level_db, -3.0);
  EXPECT_EQ(r->entries[0].xin.value, 0.0);
  EXPECT_EQ(r->entries[0].appended, true);
  EXPECT_EQ(r->entries[0].xfade_width_ms, 100.0F);
  EXPECT_EQ(r->entries[0].xfade_type, 0);

  EXPECT_EQ(r->entries[1].source_name, "main.wav");
  EXPECT_EQ(r->entries[1].xin.value, 1500.0);
  EXPECT_EQ(r->entries[1].insert_value.value, 8000.0);
  EXPECT_EQ(r->entries[1].appended, false);
  EXPECT_EQ(r->entries[1].xfade_width_ms, 50.0F);
  EXPECT_EQ(r->entries[1].xfade_type, 1);
  EXPECT_EQ(r->entries[1].xout.value, 0.0);
  EXPECT_EQ(r->entries[1].level_db, 0.0);

  EXPECT_EQ(r->entries[2].source_name, "outro.wav");
  EXPECT_EQ(r->entries[2].appended, true);
  EXPECT_EQ(r->entries[2].level_db, 0.0);  // 30 dB is not stored
}

TEST(TaskReader, ValueTokensAreComparedWithTheLaterCommandWords) {
  {  // "xin" swallows "xout", which still runs in the same pass
    Read r("src\ta.wav\nxin\nxout\t3\ndest\tout.wav\n");
    EXPECT_EQ(r->entries[0].xin.value, 0.0);
    EXPECT_EQ(r->entries[0].xout.value, 3.0);
  }
  {  // "xout" swallows "xin", an earlier word: it is lost and its 3 skipped
    Read r("src\ta.wav\nxin\t7\nxout\nxin\t3\ndest\tout.wav\n");
    EXPECT_EQ(r->entries[0].xout.value, 0.0);
    EXPECT_EQ(r->entries[0].xin.value, 7.0);
  }
  {  // the type of "xf" swallows "src": b.wav is skipped, lvl stays on entry 0
    Read r("src\ta.wav\nxf\t200\nsrc\tb.wav\nlvl\t-2\ndest\tout.wav\n");
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.count(), 1);
    EXPECT_EQ(r->entries[0].xfade_width_ms, 200.0F);
    EXPECT_EQ(r->entries[0].xfade_type, 0);
    EXPECT_EQ(r->entries[0].level_db, -2.0);
  }
  {  // a source named "trim" is stored, then acts as "trim"
    Read r("src\ttrim\n5\ndest\tout.wav\n");
    EXPECT_EQ(r->entries[0].source_name, "trim");
    EXPECT_EQ(r->entries[0].trim.value, 5.0);
  }
  {  // the destination name is compared with nothing: "dest" then "src" is just a name
    Read r("src\ta.wav\ndest\tdest\n");
    EXPECT_EQ(r->destination_name, "dest");
  }
}

TEST(TaskReader, OnlyTabsAndNewlinesSeparateTokens) {
  Read same("\n\nsrc\t\t\ta.wav\n\n\nxin\t\n\t2\ndest\tout.wav");
  EXPECT_EQ(same->entries[0].xin.value, 2.0);
  EXPECT_EQ(same->destination_name, "out.wav");

  // A space before the value makes one token that is no command word.
  Read spaced("src\ta.wav\nxin 2\ndest\tout.wav\n");
  EXPECT_EQ(spaced->entries[0].xin.value, 0.0);
}

// Task files from other systems: a carriage return before a line feed, or as
// the last byte, ends the line with it; a lone one stays in its token; a
// byte-order mark at the start is skipped.
TEST(TaskReader, WindowsLineEndsAndAByteOrderMarkReadAsPlainText) {
  const std::string plain = "using_samples\nsrc\ta.wav\nxin\t4\nins\tapp\nsrc\tb.wav\ndest\tout.wav";
  const std::string bom = "\xEF\xBB\xBF";
  for (const std::string& text : std::vector<std::string>{
           plain, "using_samples\r\nsrc\ta.wav\r\nxin\t4\r\nins\tapp\r\nsrc\tb.wav\r\ndest\tout.wav\r\n",
           "using_samples\r\nsrc\ta.wav\r\nxin\t4\r\nins\tapp\r\nsrc\tb.wav\r\ndest\tout.wav\r", bom + plain,
           bom + "using_samples\r\nsrc\ta.wav\nxin\t4\r\nins\tapp\nsrc\tb.wav\ndest\tout.wav\r"}) {
    Read r(text);
    EXPECT_TRUE(r->using_samples) << text;
    ASSERT_EQ(r->entries.size(), 2u) << text;
    EXPECT_EQ(r->entries[0].source_name, "a.wav");
    EXPECT_EQ(r->entries[0].xin.value, 4.0);
    EXPECT_TRUE(r->entries[0].appended);
    EXPECT_EQ(r->entries[1].source_name, "b.wav");
    EXPECT_EQ(r->destination_name, "out.wav");
  }
  // Before "src" the mark would have hidden the first entry.
  Read first(bom + "src\ta.wav\ndest\tout.wav\n");
  ASSERT_EQ(first->entries.size(), 1u);
  EXPECT_EQ(first->entries[0].source_name, "a.wav");
  // A lone carriage return, or one before another, stays in its token; a mark
  // after the start is text.
  Read lone("src\ta\r.wav\r\r\ndest\tout.wav\n" + bom);
  EXPECT_EQ(lone->entries[0].source_name, "a\r.wav\r");
  Read late("\n" + bom + "using_samples\n");
  EXPECT_FALSE(late->using_samples);
}

TEST(TaskReader, UsingSamplesCountsOnlyAsTheFirstToken) {
  Read first("\n\n\tusing_samples\nsrc\ta.wav\n");
  EXPECT_EQ(first->using_samples, true);
  EXPECT_EQ(first.count(), 1);
  Read later("src\ta.wav\nusing_samples\n");
  EXPECT_EQ(later->using_samples, false);
  EXPECT_EQ(later.output, "");
}

TEST(TaskReader, NumbersConvertLikeStrtodAndStrtolInTheCLocale) {
  Read r(
      "src\ta.wav\nxin\t  1.5e1xyz\nxout\t0x10\ntrim\tabc\nins\tinfinity\n"
      "src\tb.wav\nxin\t-nan\nins\tAPP\nxf\t80.7\t2.7\n"
      "src\tc.wav\nxf\t80\tfour\n");
  EXPECT_EQ(r->entries[0].xin.value, 15.0);
  EXPECT_EQ(r->entries[0].xout.value, 16.0);
  EXPECT_EQ(r->entries[0].trim.value, 0.0);
  EXPECT_TRUE(std::isinf(r->entries[0].insert_value.value));
  EXPECT_EQ(r->entries[0].appended, false);
  EXPECT_TRUE(std::isnan(r->entries[1].xin.value));
  EXPECT_EQ(r->entries[1].insert_value.value, 0.0);
  EXPECT_EQ(r->entries[1].appended, false);
  EXPECT_EQ(r->entries[1].xfade_width_ms, 80.7F);
  EXPECT_EQ(r->entries[1].xfade_type, 2);
  EXPECT_EQ(r->entries[2].xfade_type, 0);  // letters read as 0 without a message
  EXPECT_EQ(r->entries[2].xfade_width_ms, 80.0F);
  EXPECT_EQ(r.output, "");
}

TEST(TaskReader, LevelIsRoundedToSingleAndStoredOnlyBelow24) {
  Read r(
      "src\ta.wav\nlvl\t23.9\nsrc\tb.wav\nlvl\t-5\nlvl\t24\nsrc\tc.wav\nlvl\t-100\n"
      "src\td.wav\nlvl\t-4\nlvl\tnan\nsrc\te.wav\nlvl\t-1\nlvl\tsoft\nsrc\tf.wav\nlvl\t-1e300\n"
      "src\tg.wav\nlvl\t23.99999999\n");
  EXPECT_EQ(r->entries[0].level_db, static_cast<double>(23.9F));
  EXPECT_NE(r->entries[0].level_db, 23.9);
  EXPECT_EQ(r->entries[1].level_db, -5.0);
  EXPECT_EQ(r->entries[2].level_db, -100.0);
  EXPECT_EQ(r->entries[3].level_db, -4.0);  // NaN is not stored
  EXPECT_EQ(r->entries[4].level_db, 0.0);   // no number reads as 0 and is stored
  EXPECT_TRUE(std::isinf(r->entries[5].level_db) && r->entries[5].level_db < 0);
  EXPECT_EQ(r->entries[6].level_db, 0.0);  // rounds up to 24.0F in single precision
}

TEST(TaskReader, CrossfadeTypeOutsideZeroToFourIsReplacedByZero) {
  Read r("src\ta.wav\nxf\t80\t0\nsrc\tb.wav\nxf\t80\t4\nsrc\tc.wav\nxf\t80\t5\nsrc\td.wav\nxf\t80\t-1\n"
         "src\te.wav\nxf\t80\t4294967297\n");
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.output,
            "Crossfade-type (parameter 2) is invalid\nCrossfade-type (parameter 2) is invalid\n"
            "Crossfade-type (parameter 2) is invalid\n");
  const int expected[] = {0, 4, 0, 0, 0};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(r->entries[i].xfade_type, expected[i]) << i;
    EXPECT_EQ(r->entries[i].xfade_width_ms, 80.0F) << i;
  }
}

TEST(TaskReader, LaterValuesOverwriteEarlierOnes) {
  Read r("dest\tfirst.wav\nsrc\ta.wav\nxin\t1\nxin\t2\ndest\tsecond.wav\n");
  EXPECT_EQ(r->entries[0].xin.value, 2.0);
  EXPECT_EQ(r->destination_name, "second.wav");
}

TEST(TaskReader, NulByteEndsTheText) {
  Read r(std::string("src\ta.wav\nxin\t1\n\0src\tb.wav\n", 27));
  EXPECT_EQ(r.count(), 1);
}

TEST(TaskReader, DestinationAloneGivesNoEntries) {
  Read r("dest\tout.wav");
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.count(), 0);
  Read empty("");
  EXPECT_EQ(empty.count(), 0);
  EXPECT_EQ(empty->destination_name, "");
}

TEST(TaskReader, NamesBetweenFourAnd127CharactersAreAccepted) {
  Read short_name("src\tabc\n");
  EXPECT_EQ(short_name.status, 1);
  EXPECT_EQ(short_name.output, "Source track 1 appears to be too short or missing");
  Read second("src\ta.wav\nsrc\n");
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.output, "Source track 2 appears to be too short or missing");

  Read four("src\tabcd\n");
  EXPECT_EQ(four.status, -1);
  const std::string longest(127, 'n');
  Read ok("src\t" + longest + "\ndest\t" + longest + "\n");
  EXPECT_EQ(ok->entries[0].source_name, longest);
  EXPECT_EQ(ok->destination_name, longest);

  Read too_long("src\ta.wav\nsrc\t" + longest + "x\n");
  EXPECT_EQ(too_long.status, 1);
  EXPECT_EQ(too_long.output, "Source track 2 name is too long (127 characters at most)\n");
  Read dest_long("dest\t" + longest + "x\n");
  EXPECT_EQ(dest_long.status, 1);
  EXPECT_EQ(dest_long.output, "Your destination name is too long (127 characters at most)\n");

  for (const char* text : {"dest\tout\n", "src\ta.wav\ndest"}) {
    Read bad(text);
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.output, "Your destination name appears to be too short or missing\n");
  }
}

TEST(TaskReader, RefusesA513thSource) {
  std::string text;
  for (int i = 0; i < 512; ++i) text += "src\tt" + std::to_string(1000 + i) + ".wav\n";
  Read full(text);
  EXPECT_EQ(full.status, -1);
  EXPECT_EQ(full.count(), 512);
  EXPECT_EQ(full->entries[511].source_name, "t1511.wav");
  Read over(text + "src\tone-more.wav\n");
  EXPECT_EQ(over.status, 1);
  EXPECT_EQ(over.output, "Too many source tracks (512 at most)\n");
}

TEST(TaskReader, EntryCommandsBeforeTheFirstSourceAreRefused) {
  for (const char* word : {"xin", "xout", "ins", "trim", "lvl", "xf"}) {
    Read r(std::string("dest\tout.wav\n") + word + "\t1\t1\nsrc\ta.wav\n");
    EXPECT_EQ(r.status, 1) << word;
    EXPECT_EQ(r.output, std::string("Command ") + word + " comes before the first src command\n");
  }
}

TEST(TaskReader, ValueTakingCommandAsLastTokenStoresNothing) {
  for (const char* word : {"xin", "xout", "ins", "trim", "lvl"}) {
    Read r(std::string("src\ta.wav\nins\t5\n") + word);
    EXPECT_EQ(r.status, -1) << word;
    EXPECT_EQ(r.count(), 1);
    EXPECT_EQ(r->entries[0].insert_value.value, 5.0);
    EXPECT_EQ(r->entries[0].appended, false);
  }
  Read width_only("src\ta.wav\nxf\t30");
  EXPECT_EQ(width_only->entries[0].xfade_width_ms, 30.0F);
  EXPECT_EQ(width_only->entries[0].xfade_type, 0);
  Read bare("src\ta.wav\nxf");
  EXPECT_EQ(bare->entries[0].xfade_width_ms, 100.0F);
}

TEST(TaskReader, RoundToSingleIsDefinedBeyondTheFloatRange) {
  EXPECT_EQ(RoundToSingle(1e300), HUGE_VALF);
  EXPECT_EQ(RoundToSingle(-1e300), -HUGE_VALF);
  EXPECT_EQ(RoundToSingle(0x1.fffffefp127), FLT_MAX);
  EXPECT_EQ(RoundToSingle(0x1.ffffffp127), HUGE_VALF);
  EXPECT_TRUE(std::isnan(RoundToSingle(NAN)));
  EXPECT_EQ(RoundToSingle(0.1), 0.1F);
}

}  // namespace
