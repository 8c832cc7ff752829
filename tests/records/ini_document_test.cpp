// The INI document in memory: how lines read, and which bytes a change touches.
#include <gtest/gtest.h>

#include <string>

#include "records/ini_file.h"

namespace veldoran::ini {
namespace {

std::string Apply(std::string_view file, std::string_view section, std::string_view key,
                  std::string_view value) {
  Document doc = Document::Parse(file);
  const Result result = doc.Set(section, key, value);
  EXPECT_TRUE(result.ok) << result.error;
  return doc.Serialize();
}

TEST(IniDocument, EveryByteSequenceSerializesBackUnchanged) {
  const std::string odd[] = {
      "",
      "\r\n\r\n",
      "no heading=1\nmixed\r\n[s]\r\na=1\nb\r=2\r\r\n",
      "[s]\r\nlast line without ending",
      "[s]\r\nends in a bare CR\r",
      std::string("[s]\r\nnul=a\0b\r\n", 14),
      "\xEF\xBB\xBF[s]\r\n\x1A",
      "[unclosed\r\n=no name\r\n]\r\n[]\r\n;[c]\r\n  [ x ] tail \r\n",
  };
  for (const std::string& bytes : odd) {
    const Document doc = Document::Parse(bytes);
    EXPECT_EQ(doc.Serialize(), bytes);
    EXPECT_FALSE(doc.modified());
  }
}

TEST(IniDocument, BlanksAndQuotesAtTheEndsOfAValue) {
  struct Case {
    const char* raw;
    const char* read;
  } cases[] = {
      {"plain", "plain"},
      {"  two  words \t", "two  words"},
      {"\"quoted\"", "quoted"},
      {"'single'", "single"},
      {"\" keeps inner blanks \"", " keeps inner blanks "},
      {"  \"a\"  ", "a"},
      {"\"\"", ""},
      {"\"", "\""},                    // one quotation mark is no pair
      {"\"mixed'", "\"mixed'"},        // the two ends must be the same mark
      {"\"a\" b \"c\"", "a\" b \"c"},  // only the outermost pair goes
      {"x\"", "x\""},
      {"trailing CR\r", "trailing CR"},  // from a file with CR CR LF line ends
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ValueAsRead(c.raw), c.read) << "raw: " << c.raw;

  const Document doc = Document::Parse("[s]\r\n  key one  =  \"  v  \"  \r\n\t2\t=\tx\r\n");
  EXPECT_EQ(doc.Get("s", "key one"), "  v  ");
  EXPECT_EQ(doc.Get("s", "2"), "x");
}

TEST(IniDocument, ValuesAreCutAt2047Characters) {
  const std::string exact(2047, 'e');
  const std::string longer = std::string(2047, 'x') + "yyy";
  const std::string quoted = "\"" + std::string(2100, 'q') + "\"";
  const std::string file =
      "[s]\r\nexact=" + exact + "\r\nlong=" + longer + "\r\nquoted=" + quoted + "\r\n";
  Document doc = Document::Parse(file);
  EXPECT_EQ(doc.Get("s", "exact"), exact);
  EXPECT_EQ(doc.Get("s", "long"), std::string(2047, 'x'));
  EXPECT_EQ(doc.Get("s", "quoted"), std::string(2047, 'q'));

  // Writing back what was read keeps the longer text in the file.
  ASSERT_TRUE(doc.Set("s", "long", *doc.Get("s", "long")).ok);
  EXPECT_FALSE(doc.modified());
  EXPECT_EQ(doc.Serialize(), file);

  // A longer value is written whole; reading still cuts it.
  ASSERT_TRUE(doc.Set("s", "new", std::string(3000, 'n')).ok);
  EXPECT_NE(doc.Serialize().find("new=" + std::string(3000, 'n') + "\r\n"), std::string::npos);
  EXPECT_EQ(doc.Get("s", "new")->size(), kMaxValueLength);
}

TEST(IniDocument, EmptyValueIsNotAMissingKey) {
  const Document doc = Document::Parse("[Szafki]\r\n3=\r\n5=   \r\n");
  EXPECT_EQ(doc.Get("Szafki", "3"), "");
  EXPECT_EQ(doc.Get("Szafki", "3", "Szafka 3"), "");
  EXPECT_EQ(doc.Get("Szafki", "5", "Szafka 5"), "");
  EXPECT_EQ(doc.Get("Szafki", "4"), std::nullopt);
  EXPECT_EQ(doc.Get("Szafki", "4", "Szafka 4"), "Szafka 4");
  EXPECT_EQ(doc.Get("Brak", "4", "d"), "d");
}

TEST(IniDocument, NamesMatchWithoutRegardToCaseIncludingPolishLetters) {
  // "[użytkownicy]" and "zażółć=tak" in Windows-1250.
  const std::string file = "[u\xBFytkownicy]\r\nza\xBF\xF3\xB3\xE6=tak\r\n";
  Document doc = Document::Parse(file);
  EXPECT_EQ(doc.Get("U\xAFYTKOWNICY", "ZA\xAF\xD3\xA3\xC6"), "tak");
  EXPECT_EQ(doc.Get("u\xBFytkownicy", "za\xBF\xF3\xB3\xE6"), "tak");
  EXPECT_EQ(doc.Get("UZYTKOWNICY", "ZAZOLC"), std::nullopt);  // letters do not lose accents

  // Writing under another case rewrites the line; the key keeps its spelling from the file.
  ASSERT_TRUE(doc.Set("U\xAFYTKOWNICY", "ZA\xAF\xD3\xA3\xC6", "nie").ok);
  EXPECT_EQ(doc.Serialize(), "[u\xBFytkownicy]\r\nza\xBF\xF3\xB3\xE6=nie\r\n");
}

TEST(IniDocument, FirstOfTwoEqualKeysCountsForReadingAndWriting) {
  Document doc = Document::Parse("[s]\r\nkey=first\r\nKEY=second\r\n");
  EXPECT_EQ(doc.Get("s", "Key"), "first");
  ASSERT_TRUE(doc.Set("s", "key", "changed").ok);
  EXPECT_EQ(doc.Serialize(), "[s]\r\nkey=changed\r\nKEY=second\r\n");
}

TEST(IniDocument, OnlyTheFirstOfTwoEqualSectionsCounts) {
  const std::string file = "[s]\r\na=1\r\n[t]\r\nx=0\r\n[S]\r\na=2\r\nb=5\r\n";
  Document doc = Document::Parse(file);
  EXPECT_EQ(doc.Get("s", "a"), "1");
  EXPECT_EQ(doc.Get("s", "b"), std::nullopt);
  ASSERT_TRUE(doc.Set("s", "b", "6").ok);
  EXPECT_EQ(doc.Serialize(), "[s]\r\na=1\r\nb=6\r\n[t]\r\nx=0\r\n[S]\r\na=2\r\nb=5\r\n");
}

TEST(IniDocument, ACommentOrAPlainLineIsNeverAKey) {
  const std::string file =
      "a=before any heading\r\n[s]\r\n;a=commented out\r\n  ; b=also\r\nc\r\n[d=1\r\n";
  Document doc = Document::Parse(file);
  EXPECT_EQ(doc.Get("s", "a"), std::nullopt);
  EXPECT_EQ(doc.Get("s", "b"), std::nullopt);
  EXPECT_EQ(doc.Get("s", "c"), std::nullopt);
  EXPECT_EQ(doc.Get("", "a"), std::nullopt);
  // "c" without "=" stays as it is; the key is added as a line of its own after the heading
  // (the section has no key line).
  ASSERT_TRUE(doc.Set("s", "c", "3").ok);
  EXPECT_EQ(doc.Serialize(),
            "a=before any heading\r\n[s]\r\nc=3\r\n;a=commented out\r\n  ; b=also\r\nc\r\n"
            "[d=1\r\n");
}

TEST(IniDocument, AKeyIsRewrittenOnlyWhenItsValueChanges) {
  const std::string file = "[s]\r\n  one = \"Szafka 1\"  \r\ntwo=x\n";
  Document doc = Document::Parse(file);
  ASSERT_TRUE(doc.Set("s", "one", "Szafka 1").ok);
  ASSERT_TRUE(doc.Set("s", "two", "x").ok);
  EXPECT_FALSE(doc.modified());
  EXPECT_EQ(doc.Serialize(), file);

  ASSERT_TRUE(doc.Set("s", "one", "Szafka 7").ok);
  EXPECT_TRUE(doc.modified());
  EXPECT_EQ(doc.Serialize(), "[s]\r\none=Szafka 7\r\ntwo=x\n");
}

TEST(IniDocument, ValuesAreWrittenAsGivenAndReadBackByTheSameRule) {
  Document doc;
  ASSERT_TRUE(doc.Set("s", "k", "  \"padded\"  ").ok);
  EXPECT_EQ(doc.Serialize(), "[s]\r\nk=  \"padded\"  \r\n");
  EXPECT_EQ(doc.Get("s", "k"), "padded");
  ASSERT_TRUE(doc.Set("s", "k", "a=b;c[d]").ok);
  EXPECT_EQ(doc.Get("s", "k"), "a=b;c[d]");
}

TEST(IniDocument, NewKeysGoAfterTheLastKeyLineOfTheirSection) {
  EXPECT_EQ(Apply("[s]\r\na=1\r\n; comment\r\n\r\n[t]\r\n", "s", "b", "2"),
            "[s]\r\na=1\r\nb=2\r\n; comment\r\n\r\n[t]\r\n");
  EXPECT_EQ(Apply("[s]\r\n; no keys yet\r\n", "s", "b", "2"), "[s]\r\nb=2\r\n; no keys yet\r\n");
  EXPECT_EQ(Apply("[s]\r\na=1", "s", "b", "2"), "[s]\r\na=1\r\nb=2\r\n");
}

TEST(IniDocument, NewSectionsGoAtTheEndOfTheFile) {
  EXPECT_EQ(Apply("", "s", "k", "v"), "[s]\r\nk=v\r\n");
  EXPECT_EQ(Apply("; only a comment", "s", "k", "v"), "; only a comment\r\n[s]\r\nk=v\r\n");
  EXPECT_EQ(Apply("[a]\r\nx=1\r\n\r\n", "s", "k", "v"), "[a]\r\nx=1\r\n\r\n[s]\r\nk=v\r\n");
}

TEST(IniDocument, AFileWithLfLinesKeepsThemAndGetsLfLines) {
  Document doc = Document::Parse("[s]\na=1\n; c\n");
  ASSERT_TRUE(doc.Set("s", "a", "2").ok);
  ASSERT_TRUE(doc.Set("s", "b", "3").ok);
  ASSERT_TRUE(doc.Set("t", "c", "4").ok);
  EXPECT_EQ(doc.Serialize(), "[s]\na=2\nb=3\n; c\n[t]\nc=4\n");
}

TEST(IniDocument, WhatCannotBeStoredOnOneLineIsRefusedAndChangesNothing) {
  const std::string file = "[s]\r\na=1\r\n";
  Document doc = Document::Parse(file);
  for (const char* value : {"two\r\nlines", "lf\n", "cr\r"}) {
    const Result changed = doc.Set("s", "a", value);
    EXPECT_FALSE(changed.ok);
    EXPECT_NE(changed.error.find("znak końca wiersza"), std::string::npos) << changed.error;
    EXPECT_FALSE(doc.Set("s", "new", value).ok);
    EXPECT_FALSE(doc.Set("new", "a", value).ok);
  }
  struct Names {
    const char* section;
    const char* key;
  } bad[] = {{"", "k"},   {" s", "k"},  {"s ", "k"},  {"a]b", "k"}, {"s\n", "k"}, {"s", ""},
             {"s", " k"}, {"s", "k\t"}, {"s", "k=v"}, {"s", ";k"},  {"s", "[k"},  {"s", "k\r"}};
  for (const Names& n : bad) {
    const Result result = doc.Set(n.section, n.key, "v");
    EXPECT_FALSE(result.ok) << n.section << "/" << n.key;
    EXPECT_NE(result.error.find("nie można zapisać"), std::string::npos);
  }
  EXPECT_FALSE(doc.modified());
  EXPECT_EQ(doc.Serialize(), file);
}

TEST(IniDocument, AValueWithALoneCarriageReturnReadFromTheFileCanBeWrittenBackUnchanged) {
  const std::string file = "[s]\na=x\ry\n";
  Document doc = Document::Parse(file);
  const auto value = doc.Get("s", "a");
  ASSERT_EQ(value, "x\ry");
  EXPECT_TRUE(doc.Set("s", "a", *value).ok);
  EXPECT_EQ(doc.Serialize(), file);
}

}  // namespace
}  // namespace veldoran::ini
