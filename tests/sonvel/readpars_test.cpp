// The parameter list reader on in-memory streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sonvel.h"

namespace {

struct ReadResult {
    int count;
    std::string err;
    long consumed;  // bytes of the stream read when readpars returned
};

ReadResult readList(const std::string &text, ParamTable *table)
{
    FILE *fp = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), fp);
    std::rewind(fp);
    testing::internal::CaptureStderr();
    int count = readpars(table->freq, table->amp, table->phase, fp);
    std::string err = testing::internal::GetCapturedStderr();
    long consumed = std::ftell(fp);
    std::fclose(fp);
    return {count, err, consumed};
}

std::string repeatLines(const std::string &line, int times)
{
    std::string s;
    for (int i = 0; i < times; i++) s += line;
    return s;
}

}  // namespace

TEST(ReadPars, FieldsAndDefaults)
{
    ParamTable t{};
    ReadResult r = readList("1000 5000 1.5707963\n500 3000\n700\n-20 -1 -0.5\n0 7\n", &t);
    ASSERT_EQ(r.count, 5);
    EXPECT_EQ(r.err, "");
    EXPECT_DOUBLE_EQ(t.freq[0], 1000);
    EXPECT_DOUBLE_EQ(t.amp[0], 5000);
    EXPECT_DOUBLE_EQ(t.phase[0], 1.5707963);
    EXPECT_DOUBLE_EQ(t.phase[1], 0.0);
    // A frequency alone after the first component inherits the amplitude before it.
    EXPECT_DOUBLE_EQ(t.freq[2], 700);
    EXPECT_DOUBLE_EQ(t.amp[2], 3000);
    EXPECT_DOUBLE_EQ(t.phase[2], 0.0);
    EXPECT_DOUBLE_EQ(t.freq[3], -20);
    EXPECT_DOUBLE_EQ(t.amp[3], -1);
    EXPECT_DOUBLE_EQ(t.freq[4], 0);
}

TEST(ReadPars, CommentsEmptyLinesAndTrailingText)
{
    ParamTable t{};
    ReadResult r = readList("# a chord\n\n440 1 0 extra words\n#880 2\n\n660 0.5 # third\n", &t);
    ASSERT_EQ(r.count, 2);
    EXPECT_DOUBLE_EQ(t.freq[1], 660);
    EXPECT_DOUBLE_EQ(t.amp[1], 0.5);
}

TEST(ReadPars, FrequencyAloneOnFirstLineStopsReading)
{
    ParamTable t{};
    ReadResult r = readList("440\nthis line is never read\n", &t);
    ASSERT_EQ(r.count, 1);
    EXPECT_DOUBLE_EQ(t.amp[0], 1.0);
    EXPECT_DOUBLE_EQ(t.phase[0], 0.0);
    EXPECT_EQ(r.consumed, 4);
    // Text after the number still counts as a frequency alone.
    r = readList("1000 abc\n2000 1\n", &t);
    EXPECT_EQ(r.count, 1);
    EXPECT_DOUBLE_EQ(t.freq[0], 1000);
}

TEST(ReadPars, Refusals)
{
    ParamTable t{};
    struct Case {
        const char *text;
        const char *err;
    } cases[] = {
        {"", "error: readpars(): no parameters given\n"},
        {"# only\n#comments\n\n", "error: readpars(): no parameters given\n"},
        {"   \n", "error: readpars(): illegal form of params\n"},
        {" # not a comment\n", "error: readpars(): illegal form of params\n"},
        {"1000 1\nabc\n", "error: readpars(): illegal form of params\n"},
        {"1000 1\n\t\n", "error: readpars(): illegal form of params\n"},
    };
    for (const Case &c : cases) {
        ReadResult r = readList(c.text, &t);
        EXPECT_EQ(r.count, 0) << c.text;
        EXPECT_EQ(r.err, c.err) << c.text;
    }
}

TEST(ReadPars, ComponentLimit)
{
    ParamTable t{};
    std::string full = repeatLines("# comment\n100 1 0\n", 2048);
    ReadResult r = readList(full + "# trailing comment\n\n", &t);
    EXPECT_EQ(r.count, 2048);
    r = readList(full + "200 1 0\n", &t);
    EXPECT_EQ(r.count, 0);
    EXPECT_EQ(r.err, "error: readpars(): too many lines\n");
    // The 2049th line fails on the count before its form is looked at.
    r = readList(full + "   \n", &t);
    EXPECT_EQ(r.err, "error: readpars(): too many lines\n");
}

TEST(ReadPars, LongLinesAreReadInPiecesOf79)
{
    ParamTable t{};
    // 79 characters end the first piece; the rest of the line is a line of its own.
    std::string first = "100 1 0" + std::string(72, ' ');
    ASSERT_EQ(first.size(), 79u);
    ReadResult r = readList(first + "200 2 0\n", &t);
    ASSERT_EQ(r.count, 2);
    EXPECT_DOUBLE_EQ(t.freq[1], 200);
    // A long comment is a comment only in its first piece.
    r = readList("100 1 0\n#" + std::string(78, 'x') + "300 3\n", &t);
    ASSERT_EQ(r.count, 2);
    EXPECT_DOUBLE_EQ(t.amp[1], 3);
    r = readList("100 1 0\n#" + std::string(78, 'x') + "tail\n", &t);
    EXPECT_EQ(r.err, "error: readpars(): illegal form of params\n");
    // Exactly 79 characters and a line end: the line end is a piece of its own and is skipped.
    r = readList(first + "\n200 2 0\n", &t);
    EXPECT_EQ(r.count, 2);
}

TEST(ReadPars, CrLfReadsAsLf)
{
    ParamTable lf{}, crlf{};
    std::string text = "# comment\n\n500 3000\n700\n" + std::string("100 1 0") +
                       std::string(72, ' ') + "\n250 2 1\n";
    ReadResult a = readList(text, &lf);
    std::string dos;
    for (char c : text) dos += c == '\n' ? std::string("\r\n") : std::string(1, c);
    ReadResult b = readList(dos, &crlf);
    ASSERT_EQ(a.count, 4);
    ASSERT_EQ(b.count, a.count);
    for (int i = 0; i < a.count; i++) {
        EXPECT_EQ(lf.freq[i], crlf.freq[i]);
        EXPECT_EQ(lf.amp[i], crlf.amp[i]);
        EXPECT_EQ(lf.phase[i], crlf.phase[i]);
    }
    // A lone CR is an ordinary character: a line that starts with one is no comment.
    ReadResult c = readList("100 1\n\r\n\r# note\n", &crlf);
    EXPECT_EQ(c.err, "error: readpars(): illegal form of params\n");
}

TEST(ReadPars, ReadErrorIsReported)
{
    ParamTable t{};
    FILE *fp = std::fopen("/", "r");  // a directory: opening works, reading fails
    ASSERT_NE(fp, nullptr);
    testing::internal::CaptureStderr();
    int count = readpars(t.freq, t.amp, t.phase, fp);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "error: readpars(): during reading parameters\n");
    EXPECT_EQ(count, 0);
    std::fclose(fp);
}
