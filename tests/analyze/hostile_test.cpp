// Recordings that cannot be analysed, through the program: one "error: " line and
// status 1, or, for a clipped one, a warning; never a crash.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

const std::string LIST = "1000 1 0\n3000 1 1\n5000 1 2\n";  // a period of 48 samples at 48 kHz

class AnalyzeHostile : public TempDirTest {
protected:
    // What sonvel plays at 48 kHz for 500 ms, as libsndfile reads it.
    std::vector<double> played()
    {
        writeFile(path("list"), LIST);
        RunResult r = runSonvel({"-s", "48000", "-f", path("list"), path("played.wav")});
        EXPECT_EQ(r.status, 0) << r.err;
        SF_INFO info{};
        SNDFILE *f = sf_open(path("played.wav").c_str(), SFM_READ, &info);
        if (!f) {
            ADD_FAILURE() << sf_strerror(nullptr);
            return {};
        }
        std::vector<double> x(static_cast<size_t>(info.frames));
        sf_readf_double(f, x.data(), info.frames);
        sf_close(f);
        return x;
    }
    void write(const std::string &name, const std::vector<double> &frames, int channels, int rate = 48000,
               int format = SF_FORMAT_FLOAT)
    {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | format;
        SNDFILE *f = sf_open(path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        sf_writef_double(f, frames.data(), static_cast<sf_count_t>(frames.size() / channels));
        sf_close(f);
    }
    RunResult analyze(const std::string &name, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"-s", "48000", "-f", path("list")};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(name.empty() || name[0] == '/' ? name : path(name));
        return runProgram(SONVEL_ANALYZE_BINARY, args);
    }
};

}  // namespace

TEST_F(AnalyzeHostile, RecordingsThatCannotBeAnalysed)
{
    const std::vector<double> x = played();
    std::vector<double> stereo;
    for (double v : x) stereo.push_back(v), stereo.push_back(v);
    writeFile(path("empty.wav"), "");
    write("short.wav", std::vector<double>(x.begin() + 12000, x.begin() + 12030), 1);
    write("rate.wav", x, 1, 44100);
    writeFile(path("text.wav"), "this is not a sound file\n");
    write("stereo.wav", stereo, 2);
    write("silent.wav", std::vector<double>(x.size(), 0.0), 1);
    std::vector<double> nan = x;
    nan[3000] = NAN;
    write("nan.wav", nan, 1);
    writeFile(path("truncated.wav"), readFile(path("played.wav")).substr(0, 30));
    write("fade-in.wav", std::vector<double>(x.begin(), x.begin() + 2500), 1);
    struct Case {
        const char *what, *file;
        std::vector<std::string> options;
        const char *message;  // the start of the one error line
    } cases[] = {
        {"an empty file", "empty.wav", {}, "error: \""},
        {"shorter than one period", "short.wav", {}, "error: \""},
        {"another rate", "rate.wav", {}, "error: \""},
        {"not audio", "text.wav", {}, "error: \""},
        {"a truncated header", "truncated.wav", {}, "error: \""},
        {"a file that does not exist", "missing.wav", {}, "error: \""},
        {"a folder", "/tmp", {}, "error: \"/tmp\""},
        {"a channel that does not exist", "stereo.wav", {"--channel", "3"}, "error: --channel 3: "},
        {"a reference that does not exist", "stereo.wav", {"--reference", "9"}, "error: --reference 9: "},
        {"the reference on the response", "stereo.wav", {"--reference", "1"}, "error: --reference: "},
        {"silence", "silent.wav", {}, "error: channel 1 of "},
        {"a sample that is not a number", "nan.wav", {}, "error: \""},
        {"the fade-in alone", "fade-in.wav", {}, "error: \""},
        {"more settling than signal", "played.wav", {"--settle", "1000"}, "error: \""},
    };
    for (const Case &c : cases) {
        RunResult r = analyze(c.file, c.options);
        EXPECT_EQ(r.signal, 0) << c.what;
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << c.what << ": " << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c.what << ": " << r.err;
    }
    // The same file at the right rate is fine, and so is its second channel.
    RunResult r = analyze("stereo.wav", {"--channel", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST_F(AnalyzeHostile, ListsThatCannotBeAnalysed)
{
    const std::vector<double> x = played();
    struct Case {
        const char *what, *list;
        const char *message;
    } cases[] = {
        {"no period", "1000 1\n1414.2135623730951 1\n1732.0508075688772 1\n", "error: no period of at most"},
        {"no list", "# nothing\n", "error: readpars(): no parameters given"},
        {"only 0 Hz", "0 1\n24000 1\n", "error: the list has no line"},
        {"too loud", LIST.c_str(), "error: sonvel refuses this list at -1 dB"},
    };
    for (const Case &c : cases) {
        writeFile(path("list"), c.list);
        RunResult r = analyze("played.wav", std::string(c.what) == "too loud" ? std::vector<std::string>{"-l", "-1"}
                                                                              : std::vector<std::string>{});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << c.what << ": " << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c.what << ": " << r.err;
    }
}

TEST_F(AnalyzeHostile, AClippedRecordingIsAnalysedWithAWarning)
{
    std::vector<double> x = played();
    for (double &v : x) v = std::fmax(-1.0, std::fmin(32767.0 / 32768.0, 3.0 * v));
    write("clipped.wav", x, 1, 48000, SF_FORMAT_PCM_16);
    RunResult r = analyze("clipped.wav");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind("warning: \"", 0), 0u) << r.err;
    EXPECT_NE(r.out.find("\n# warning: the recording reaches full scale"), std::string::npos) << r.out;
}
