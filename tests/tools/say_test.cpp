// Runs the built say as a child process, as Vocator and people start it, and checks the
// exit status, what it printed and the WAV files it left behind.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

struct Invocation {
    std::vector<std::string> argv;  // argv[0] included: "@" as Vocator passes it, or "say"
    std::map<std::string, std::optional<std::string>> env = {};  // nullopt removes a variable
    std::string stdin_text = {};
    std::string program = SAY_EXECUTABLE;
};

std::string read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

std::uint32_t le32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

// Reads a WAV file the way a player would; returns what is wrong with it, or "" and the
// sample data.
std::string check_wav(const fs::path& path, std::string& data) {
    const std::string bytes = read_file(path);
    if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0)
        return "no RIFF/WAVE header";
    if (le32(bytes, 4) != bytes.size() - 8) return "RIFF size does not match the file size";
    bool format_seen = false;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id = bytes.substr(at, 4);
        const std::uint32_t size = le32(bytes, at + 4);
        if (at + 8 + size > bytes.size()) return id + " chunk runs past the end of the file";
        if (id == "fmt ") {
            const std::uint32_t format_channels = le32(bytes, at + 8), rate = le32(bytes, at + 12);
            const std::uint32_t align_bits = le32(bytes, at + 20);
            if (format_channels != 0x00010001 || align_bits != 0x00100002 || le32(bytes, at + 16) != rate * 2 ||
                rate < 8000 || rate > 48000)
                return "not 16-bit mono PCM";
            format_seen = true;
        } else if (id == "data") {
            if (!format_seen || size == 0 || at + 8 + size != bytes.size()) return "bad data chunk";
            data = bytes.substr(at + 8);
            return "";
        }
        at += 8 + size + (size & 1);
    }
    return "no data chunk";
}

// say-YYYYMMDD-HHMMSS-mmm-PID.wav, where 9 below stands for any digit.
bool is_wav_name(const std::string& name) {
    const std::string shape = "say-99999999-999999-999-";
    if (name.size() <= shape.size() + 4 || !name.ends_with(".wav")) return false;
    for (std::size_t i = 0; i < name.size() - 4; ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (i < shape.size() && shape[i] != '9' ? name[i] != shape[i] : !digit) return false;
    }
    return true;
}

class SayTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/say-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        wav_dir = dir / "wav";
    }
    void TearDown() override { fs::remove_all(dir); }

    // Our environment with SAY_OUTPUT=wav, SAY_WAV_DIR=wav_dir, a UTF-8 locale and the
    // given changes, so that the settings of whoever runs the tests do not leak in.
    std::vector<std::string> environment(const std::map<std::string, std::optional<std::string>>& changes) const {
        std::map<std::string, std::optional<std::string>> env = {
            {"SAY_OUTPUT", "wav"}, {"SAY_WAV_DIR", wav_dir.string()}, {"SAY_VOICE", std::nullopt},
            {"SAY_RATE", std::nullopt}, {"LC_ALL", "C.UTF-8"}};
        for (const auto& [name, value] : changes) env[name] = value;
        std::vector<std::string> variables;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string variable = *entry;
            if (!env.contains(variable.substr(0, variable.find('=')))) variables.push_back(variable);
        }
        for (const auto& [name, value] : env)
            if (value) variables.push_back(name + "=" + *value);
        return variables;
    }

    // Starts say with its stdin, stdout and stderr in files of their own.
    pid_t start(const Invocation& run) {
        const std::string tag = std::to_string(++runs);
        std::ofstream(dir / ("in" + tag)) << run.stdin_text;
        const std::vector<std::string> variables = environment(run.env);

        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, (dir / ("in" + tag)).c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, (dir / ("out" + tag)).c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addopen(&files, 2, (dir / ("err" + tag)).c_str(), O_WRONLY | O_CREAT, 0644);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, run.program.c_str(), &files, nullptr, pointers(run.argv).data(),
                              pointers(variables).data()),
                  0);
        posix_spawn_file_actions_destroy(&files);
        tags[pid] = tag;
        return pid;
    }

    Outcome finish(pid_t pid) {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        const std::string tag = tags[pid];
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(dir / ("out" + tag)),
                read_file(dir / ("err" + tag))};
    }

    Outcome say(const Invocation& run) { return finish(start(run)); }

    // Every file in a WAV folder, finished or not.
    static std::vector<fs::path> files_in(const fs::path& folder) {
        std::vector<fs::path> files;
        if (fs::exists(folder))
            for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
        return files;
    }

    // Checks that a run wrote exactly one valid WAV, named as announced, and returns its
    // samples; removes the file so that the next run in the same folder starts empty.
    std::string expect_one_wav(const Outcome& outcome, const fs::path& folder) {
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, "");
        const std::vector<fs::path> files = files_in(folder);
        if (files.size() != 1) {
            ADD_FAILURE() << files.size() << " files in " << folder << "; stderr: " << outcome.err;
            return {};
        }
        EXPECT_EQ(outcome.err, "say: wrote " + files[0].string() + "\n");
        EXPECT_TRUE(is_wav_name(files[0].filename().string())) << files[0];
        std::string data;
        EXPECT_EQ(check_wav(files[0], data), "") << files[0];
        fs::remove(files[0]);
        return data;
    }

    static std::vector<char*> pointers(const std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (const auto& text : strings) result.push_back(const_cast<char*>(text.c_str()));
        result.push_back(nullptr);
        return result;
    }

    fs::path dir, wav_dir;
    int runs = 0;
    std::map<pid_t, std::string> tags;
};

TEST_F(SayTest, VocatorTextIsSpokenAsTextWhateverItLooksLike) {
    // Whatever the PLC writes, when passed by Vocator as argv[1] after "@", becomes a WAV.
    const std::string marker = (dir / "executed").string();
    const std::vector<std::string> texts = {
        "Porucha čerpadla 3",
        "--help",
        "--voice=xx-nonsense --wav-dir=/proc/nope",
        "--$(touch " + marker + "); rm -rf " + marker + " `touch " + marker + "` | cat > " + marker + " & ; '\"",
        "\x1b[31m Alarm \x07 Tank\t1\n",
        "",  // argv[1] is empty, argv[2] carries the text: joined with a blank
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        expect_one_wav(say({{"@", text, "and", "more"}}), wav_dir);
    }
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(SayTest, BadSettingsAndOptionsFailWithStatusAndMessage) {
    // Each bad option, variable or voice gives its status and a message naming the culprit, and no WAV.
    std::ofstream(dir / "plain-file") << "x";
    struct Case {
        Invocation run;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{{"say", "--voice=xx-nonsense", "hello"}}, 3, "say: unknown voice \"xx-nonsense\""},
        {{{"@", "hello"}, {{"SAY_VOICE", "xx-env"}}}, 3, "\"xx-env\""},
        {{{"say", "--rate=20", "hello"}}, 2, "--rate"},
        {{{"say", "--rate=fast", "hello"}}, 2, "--rate"},
        {{{"@", "hello"}, {{"SAY_RATE", "451"}}}, 2, "SAY_RATE"},
        {{{"@", "hello"}, {{"SAY_OUTPUT", "loud"}}}, 2, "SAY_OUTPUT"},
        {{{"say", "--bogus", "hello"}}, 2, "--bogus"},
        {{{"say", "--voice", "hello"}}, 2, "--voice"},
        {{{"@", "hello"}, {{"SAY_WAV_DIR", (dir / "plain-file" / "sub").string()}}}, 4, "plain-file"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.message);
        const Outcome outcome = say(test.run);
        EXPECT_EQ(outcome.status, test.status) << outcome.err;
        EXPECT_TRUE(outcome.err.starts_with("say: ")) << outcome.err;
        EXPECT_NE(outcome.err.find(test.message), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(files_in(wav_dir).size(), 0U);
    }
}

TEST_F(SayTest, HandStartedOptionsAndStandardInputWork) {
    // Options before the text, "--" before a text that looks like one, and text on stdin all speak.
    const std::vector<Invocation> runs = {
        {{"say", "--voice=en", "--rate=300", "hello", "world"}},
        {{"say", "--", "--bogus"}},
        {{"say", "--voice=cs"}, {}, "Text z roury\n"},
        {{"say", "--wav", "--wav-dir=" + wav_dir.string(), "hello"}, {{"SAY_OUTPUT", "audio"}, {"SAY_WAV_DIR", "/proc/x"}}},
    };
    for (const Invocation& run : runs) {
        SCOPED_TRACE(run.argv.back());
        expect_one_wav(say(run), wav_dir);
    }
    const Outcome help = say({{"say", "--help"}});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--voice=NAME"), std::string::npos);
}

TEST_F(SayTest, WithoutSoundDeviceAutoWritesWavQuietlyAndAudioFails) {
    // With no usable sound device, Output=auto writes the same WAV as Output=wav and hides the
    // sound libraries' complaints; Output=audio fails with status 3.
    const std::map<std::string, std::optional<std::string>> no_device = {
        {"ALSA_CONFIG_PATH", "/dev/null"}, {"PULSE_SERVER", "unix:/nonexistent"}, {"SAY_OUTPUT", "auto"}};
    const std::string wav = expect_one_wav(say({{"@", "Dobrý den"}}), wav_dir);
    EXPECT_EQ(expect_one_wav(say({{"@", "Dobrý den"}, no_device}), wav_dir), wav);

    std::map<std::string, std::optional<std::string>> audio_only = no_device;
    audio_only["SAY_OUTPUT"] = "audio";
    const Outcome outcome = say({{"@", "Dobrý den"}, audio_only});
    EXPECT_EQ(outcome.status, 3);
    EXPECT_NE(outcome.err.find("say: cannot play"), std::string::npos) << outcome.err;
    EXPECT_TRUE(files_in(wav_dir).empty());
}

TEST_F(SayTest, BlankTextIsSilence) {
    // An empty or blank text, on the command line or on stdin, exits 0 and writes nothing at all.
    const std::vector<Invocation> runs = {
        {{"@", ""}}, {{"@", " \t\r\n "}}, {{"@", "\x01\x02 \x7f"}}, {{"@"}}, {{"say"}, {}, "   \n"},
    };
    for (const Invocation& run : runs) {
        const Outcome outcome = say(run);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        EXPECT_FALSE(fs::exists(wav_dir));
    }
}

TEST_F(SayTest, CzechLettersSurviveTheLocaleAndBadBytesDoNotCrash) {
    // "Dobrý den" sounds the same in a C and a UTF-8 locale, unlike "Dobry den"; broken UTF-8 still speaks.
    const std::string in_utf8 = expect_one_wav(say({{"@", "Dobrý den"}, {{"SAY_VOICE", "cs"}}}), wav_dir);
    const std::string in_c = expect_one_wav(say({{"@", "Dobrý den"}, {{"SAY_VOICE", "cs"}, {"LC_ALL", "C"}}}), wav_dir);
    const std::string unaccented = expect_one_wav(say({{"@", "Dobry den"}, {{"SAY_VOICE", "cs"}}}), wav_dir);
    EXPECT_TRUE(in_utf8 == in_c);
    EXPECT_FALSE(in_utf8 == unaccented);
    expect_one_wav(say({{"@", "\xff\xfe Dobr\xc3\xbd den \xc3"}}), wav_dir);
}

TEST_F(SayTest, TextIsDecodedInTheCodePageVocatorNames) {
    // Vocator with CodePage=windows-1250 hands over "Dobrý den" as cp1250 bytes while the locale
    // says UTF-8: SAY_CODEPAGE makes them the same speech as the UTF-8 text.
    const std::string utf8 = expect_one_wav(say({{"@", "Dobrý den"}}), wav_dir);
    const std::string cp1250 = expect_one_wav(say({{"@", "Dobr\xfd den"}, {{"SAY_CODEPAGE", "windows-1250"}}}), wav_dir);
    const std::string as_locale = expect_one_wav(say({{"@", "Dobr\xfd den"}}), wav_dir);
    EXPECT_TRUE(cp1250 == utf8);
    EXPECT_FALSE(as_locale == utf8);
}

TEST_F(SayTest, WavFolderKeepsOnlyTheNewestFiles) {
    // With KeepWavFiles=2 the third run removes the oldest of ours and leaves other files alone.
    fs::create_directories(wav_dir);
    std::ofstream(wav_dir / "notes.txt") << "not ours";
    std::vector<std::string> reported;
    for (int i = 0; i < 3; ++i) {
        const Outcome outcome = say({{"@", "Hlášení " + std::to_string(i)}, {{"SAY_KEEP_WAV_FILES", "2"}}});
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        reported.push_back(outcome.err.substr(std::string("say: wrote ").size(), outcome.err.size() - 12));
    }
    EXPECT_EQ(files_in(wav_dir).size(), 3U);
    EXPECT_FALSE(fs::exists(reported[0]));
    EXPECT_TRUE(fs::exists(reported[1]));
    EXPECT_TRUE(fs::exists(reported[2]));
    EXPECT_TRUE(fs::exists(wav_dir / "notes.txt"));
}

TEST_F(SayTest, RateChangesTheLengthOfTheSpeech) {
    // The same sentence at 400 words per minute is much shorter than at 100.
    const std::string text = "Teplota v kotli překročila nastavenou mez";
    const std::string slow = expect_one_wav(say({{"@", text}, {{"SAY_RATE", "100"}}}), wav_dir);
    const std::string fast = expect_one_wav(say({{"say", "--rate=400", text}, {{"SAY_RATE", "100"}}}), wav_dir);
    EXPECT_LT(fast.size() * 2, slow.size());
}

TEST_F(SayTest, IniBesideTheProgramIsOverriddenByEnvironmentAndCommandLine) {
    // say.ini next to the executable is read; SAY_* variables beat it and options beat both.
    const fs::path bin = dir / "bin";
    fs::create_directory(bin);
    fs::copy_file(SAY_EXECUTABLE, bin / "say");
    std::ofstream(bin / "say.ini") << "; Vocator speech\n[SAY]\n  VOICE = xx-ini   ; our voice\n"
                                   << "wavdir=" << (dir / "ini-wav").string() << "\n[other]\nVoice=xx-other\n";
    const std::string program = (bin / "say").string();
    const std::map<std::string, std::optional<std::string>> no_wav_dir = {{"SAY_WAV_DIR", std::nullopt}};

    const Outcome from_ini = say({{"@", "hello"}, no_wav_dir, "", program});
    EXPECT_EQ(from_ini.status, 3);
    EXPECT_NE(from_ini.err.find("\"xx-ini\""), std::string::npos) << from_ini.err;

    expect_one_wav(say({{"@", "hello"}, {{"SAY_WAV_DIR", std::nullopt}, {"SAY_VOICE", "en"}}, "", program}),
                   dir / "ini-wav");
    expect_one_wav(say({{"say", "--voice=en", "hello"}, {{"SAY_VOICE", "xx-env"}}, "", program}), wav_dir);
}

TEST_F(SayTest, ConcurrentRunsWriteDistinctFiles) {
    // Four runs started together leave four complete WAV files with four different names.
    std::vector<pid_t> pids;
    for (int i = 0; i < 4; ++i) pids.push_back(start({{"@", "Hlášení číslo " + std::to_string(i)}}));
    std::vector<std::string> reported;
    for (pid_t pid : pids) {
        const Outcome outcome = finish(pid);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_TRUE(outcome.err.ends_with("-" + std::to_string(pid) + ".wav\n")) << outcome.err;
        reported.push_back(outcome.err);
    }
    const std::vector<fs::path> files = files_in(wav_dir);
    ASSERT_EQ(files.size(), 4U);
    for (const fs::path& file : files) {
        std::string data;
        EXPECT_EQ(check_wav(file, data), "") << file;
        EXPECT_EQ(std::count(reported.begin(), reported.end(), "say: wrote " + file.string() + "\n"), 1) << file;
    }
}

// Disabled: passes when run directly but hangs when CTest runs it; the cause is not found yet.
TEST_F(SayTest, StandardOutputIsReleasedBeforeTheWork) {
    // Vocator reads say's stdout until it closes: that happens while say still waits for its text.
    int out[2], in[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);  // only the dup2 copies may reach say
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, in[0], 0);
    posix_spawn_file_actions_adddup2(&files, out[1], 1);
    const std::vector<std::string> argv = {"say", "--wav", "--wav-dir=" + wav_dir.string()};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, SAY_EXECUTABLE, &files, nullptr, pointers(argv).data(), pointers(environment({})).data()),
              0);
    posix_spawn_file_actions_destroy(&files);
    close(in[0]);
    close(out[1]);

    pollfd readable = {out[0], POLLIN, 0};
    int status = 0;
    if (poll(&readable, 1, 10000) != 1) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "say kept stdout open while waiting for its text";
    }
    char byte = 0;
    EXPECT_EQ(read(out[0], &byte, 1), 0);  // end of file: say let go of stdout
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0);  // and it is still waiting for stdin
    EXPECT_EQ(write(in[1], "hello", 5), 5);
    close(in[1]);
    close(out[0]);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(files_in(wav_dir).size(), 1U);
}

}  // namespace
