// say: speaks one text with espeak-ng, on the sound device or into a WAV file.
//
// Vocator starts us with argv[0] = "@", the whole message as argv[1] in its code page (named by
// SAY_CODEPAGE), no options, standard input closed, and it reads our standard output until we
// close it. Settings then come from the SAY_* environment variables and from say.ini beside
// this executable.

#include "wav.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifndef SAY_VERSION
#define SAY_VERSION "unknown"
#endif

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitSpeech = 3;
constexpr int kExitWav = 4;
constexpr std::size_t kMaxStdinBytes = std::size_t{1} << 20;
constexpr int kDefaultKeepWavFiles = 100;
constexpr int kMaxKeepWavFiles = 100000;
// A hidden part file this old belongs to a run that was killed while writing it.
constexpr std::time_t kStalePartSeconds = 600;

constexpr const char* kUsage =
    "Usage: say [OPTION]... TEXT...\n"
    "Speaks TEXT with espeak-ng, on the sound device or into a WAV file.\n"
    "With no TEXT and standard input not a terminal, reads the text from standard input.\n"
    "\n"
    "  --voice=NAME   espeak-ng voice, e.g. cs or en (default cs)\n"
    "  --rate=WPM     speed in words per minute, 80 to 450\n"
    "  --wav-dir=DIR  folder for WAV files (default $TMPDIR/vocator-say); only the newest\n"
    "                 KeepWavFiles (default 100) of ours are kept there\n"
    "  --wav          always write a WAV file, do not try the sound device\n"
    "  --help         show this help\n"
    "  --version      show the version\n"
    "  --             end of options\n"
    "\n"
    "Settings also come from SAY_VOICE, SAY_RATE, SAY_WAV_DIR, SAY_OUTPUT (auto, audio, wav),\n"
    "SAY_KEEP_WAV_FILES and from section [say] of say.ini beside this program (Voice, Rate,\n"
    "WavDir, Output, KeepWavFiles). The command line wins over the environment, the\n"
    "environment over say.ini. The text is in the code page SAY_CODEPAGE names (Vocator sets\n"
    "it), else in the locale's.\n"
    "\n"
    "Exit status: 0 done, 2 usage or setting error, 3 espeak-ng or voice failure,\n"
    "4 WAV write failure.\n";

// Thrown on any failure; main() prints "say: <message>" and exits with the status.
struct Failure {
    int status;
    std::string message;
};

enum class Output { Auto, Audio, Wav };

struct Settings {
    std::string voice = "cs";
    int rate = 0;          // words per minute; 0 keeps espeak-ng's own default
    std::string wav_dir;   // empty: $TMPDIR/vocator-say
    Output output = Output::Auto;
    int keep_wav_files = kDefaultKeepWavFiles;
};

// One setting as found somewhere; origin names that place for error messages.
struct Setting {
    std::string key;  // voice, rate, wavdir, output or keepwavfiles
    std::string value;
    std::string origin;
};

struct Request {
    enum class Action { Speak, Help, Version } action = Action::Speak;
    std::vector<Setting> options;     // applied over say.ini and the environment
    std::optional<std::string> text;  // none: no text argument was given at all
};

std::string lowercase(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return result;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Every setting is checked here, whichever source it came from, so that a bad value is
// reported together with the place it was found.
void apply(Settings& settings, const Setting& setting) {
    const std::string& value = setting.value;
    if (value.empty()) return;  // an empty value leaves the setting as it was
    if (setting.key == "voice") {
        settings.voice = value;
    } else if (setting.key == "rate") {
        int rate = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), rate);
        if (error != std::errc{} || end != value.data() + value.size() || rate < 80 || rate > 450)
            throw Failure{kExitUsage, "rate \"" + value + "\" in " + setting.origin +
                                          " is not a number of words per minute from 80 to 450"};
        settings.rate = rate;
    } else if (setting.key == "keepwavfiles") {
        int keep = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), keep);
        if (error != std::errc{} || end != value.data() + value.size() || keep < 1 || keep > kMaxKeepWavFiles)
            throw Failure{kExitUsage, "KeepWavFiles \"" + value + "\" in " + setting.origin + " is not a number from 1 to " +
                                          std::to_string(kMaxKeepWavFiles)};
        settings.keep_wav_files = keep;
    } else if (setting.key == "wavdir") {
        settings.wav_dir = value;
    } else if (setting.key == "output") {
        const std::string mode = lowercase(value);
        if (mode == "auto") settings.output = Output::Auto;
        else if (mode == "audio") settings.output = Output::Audio;
        else if (mode == "wav") settings.output = Output::Wav;
        else
            throw Failure{kExitUsage, "output \"" + value + "\" in " + setting.origin +
                                          " must be auto, audio or wav"};
    }
}

std::string own_directory() {
    // argv[0] is "@" when Vocator starts us, so ask the kernel where we are.
    std::string path(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
    path.resize(static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/'));
}

// Section [say] of a small ini file: names are case-insensitive, ";" starts a comment at the
// start of a line or after a blank. A missing file is fine: it is optional.
void read_ini(Settings& settings, const std::string& path) {
    std::ifstream file(path);
    std::string line;
    bool in_say_section = false;
    for (int number = 1; std::getline(file, line); ++number) {
        if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);  // editors' BOM
        for (std::size_t i = 0; i < line.size(); ++i)
            if (line[i] == ';' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
                line.resize(i);
                break;
            }
        const std::string_view text = trim(line);
        const std::string origin = path + " line " + std::to_string(number);
        if (text.empty()) continue;
        if (text.front() == '[' && text.back() == ']') {
            in_say_section = lowercase(trim(text.substr(1, text.size() - 2))) == "say";
            continue;
        }
        if (!in_say_section) continue;
        const auto equals = text.find('=');
        const std::string key = lowercase(trim(text.substr(0, equals)));
        if (equals == std::string_view::npos ||
            (key != "voice" && key != "rate" && key != "wavdir" && key != "output" && key != "keepwavfiles")) {
            std::fprintf(stderr, "say: ignoring %s: not Voice, Rate, WavDir, Output or KeepWavFiles = value\n",
                         origin.c_str());
            continue;
        }
        apply(settings, {key, std::string(trim(text.substr(equals + 1))), origin});
    }
}

void read_environment(Settings& settings) {
    const std::pair<const char*, const char*> variables[] = {
        {"SAY_VOICE", "voice"}, {"SAY_RATE", "rate"}, {"SAY_WAV_DIR", "wavdir"}, {"SAY_OUTPUT", "output"},
        {"SAY_KEEP_WAV_FILES", "keepwavfiles"}};
    for (const auto& [variable, key] : variables)
        if (const char* value = std::getenv(variable)) apply(settings, {key, value, variable});
}

Request parse_command_line(int argc, char** argv) {
    Request request;
    int first_text = 1;
    // Vocator's "@" means argv[1] is the PLC's message: a message such as "--help" is to be
    // spoken, not obeyed, so there are no options at all then.
    const bool from_vocator = argc > 0 && std::string_view(argv[0]) == "@";
    for (; !from_vocator && first_text < argc; ++first_text) {
        const std::string_view arg = argv[first_text];
        if (arg == "--") {
            ++first_text;
            break;
        }
        if (!arg.starts_with("--")) break;
        const auto equals = arg.find('=');
        const std::string name(arg.substr(0, equals));
        const bool has_value = equals != std::string_view::npos;
        const std::string value = has_value ? std::string(arg.substr(equals + 1)) : std::string();
        if (name == "--help" && !has_value) request.action = Request::Action::Help;
        else if (name == "--version" && !has_value) request.action = Request::Action::Version;
        else if (name == "--wav" && !has_value) request.options.push_back({"output", "wav", name});
        else if (name == "--voice" && has_value) request.options.push_back({"voice", value, name});
        else if (name == "--rate" && has_value) request.options.push_back({"rate", value, name});
        else if (name == "--wav-dir" && has_value) request.options.push_back({"wavdir", value, name});
        else throw Failure{kExitUsage, "bad option " + std::string(arg) + " (see say --help)"};
    }
    for (int i = first_text; i < argc; ++i) {
        if (!request.text) request.text.emplace();
        else *request.text += ' ';
        *request.text += argv[i];
    }
    return request;
}

std::string read_stdin_bounded() {
    std::string text;
    char chunk[65536];
    while (text.size() <= kMaxStdinBytes) {
        const ssize_t count = read(STDIN_FILENO, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        text.append(chunk, static_cast<std::size_t>(count));
    }
    if (text.size() > kMaxStdinBytes) {
        text.resize(kMaxStdinBytes);
        std::fputs("say: standard input is longer than 1 MiB, speaking only the first 1 MiB\n", stderr);
    }
    return text;
}

std::string input_charset() {
    // Vocator names the code page it encoded our command line with: its own ini file may say
    // windows-1250 while the locale we inherit says UTF-8.
    if (const char* code_page = std::getenv("SAY_CODEPAGE"); code_page != nullptr && *code_page != '\0')
        return code_page;
    // A C/POSIX locale says ASCII, which in practice means nobody set a locale, not that the
    // PLC sends ASCII: the text is then taken as UTF-8.
    const std::string codeset = nl_langinfo(CODESET);
    return codeset.empty() || codeset == "ANSI_X3.4-1968" ? "UTF-8" : codeset;
}

// Converts to UTF-8 for espeak-ng. Even UTF-8 input goes through iconv, which finds the
// invalid sequences. Each bad byte becomes a blank: the listener hears a short gap, where
// U+FFFD or "?" would be read out as some symbol's name.
std::string to_utf8(std::string input, const std::string& charset) {
    const auto failed = reinterpret_cast<iconv_t>(static_cast<std::intptr_t>(-1));
    iconv_t converter = iconv_open("UTF-8", charset.c_str());
    if (converter == failed) {
        std::fprintf(stderr, "say: unknown code page \"%s\", the text is taken as UTF-8\n", charset.c_str());
        converter = iconv_open("UTF-8", "UTF-8");
    }
    if (converter == failed) return input;

    std::string output;
    char* in = input.data();
    std::size_t in_left = input.size();
    char chunk[4096];
    while (in_left > 0) {
        char* out = chunk;
        std::size_t out_left = sizeof chunk;
        const std::size_t result = iconv(converter, &in, &in_left, &out, &out_left);
        const int error = errno;
        output.append(chunk, static_cast<std::size_t>(out - chunk));
        if (result == static_cast<std::size_t>(-1) && error != E2BIG) {
            output += ' ';  // EILSEQ, or EINVAL for a sequence cut off at the end
            ++in;
            --in_left;
        }
    }
    char* out = chunk;
    std::size_t out_left = sizeof chunk;
    iconv(converter, nullptr, nullptr, &out, &out_left);
    output.append(chunk, static_cast<std::size_t>(out - chunk));
    iconv_close(converter);
    return output;
}

// Control characters from a PLC string are noise, not speech; NUL would also cut the text.
std::string blank_control_characters(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return text;
}

// The sound libraries write several lines to stderr when there is no sound device, which is
// the normal case on a server. Hold them back while we try, and let them through only when
// they matter: the sound was played, or sound was the only output asked for.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        buffer_ = memfd_create("say-stderr", MFD_CLOEXEC);
        if (buffer_ >= 0) saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (saved_ < 0 || dup2(buffer_, STDERR_FILENO) < 0) release();
    }
    ~StderrCapture() { std::fputs(stop().c_str(), stderr); }  // on the way out of a failure
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Puts stderr back and returns what was written to it meanwhile.
    std::string stop() {
        std::string captured;
        if (saved_ < 0) return captured;
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        char chunk[4096];
        ssize_t count = 0;
        while (captured.size() < 65536 &&
               (count = pread(buffer_, chunk, sizeof chunk, static_cast<off_t>(captured.size()))) > 0)
            captured.append(chunk, static_cast<std::size_t>(count));
        release();
        return captured;
    }

private:
    void release() {
        if (saved_ >= 0) close(saved_);
        if (buffer_ >= 0) close(buffer_);
        saved_ = buffer_ = -1;
    }
    int buffer_ = -1;
    int saved_ = -1;
};

std::string status_message(espeak_ng_STATUS status, espeak_ng_ERROR_CONTEXT context = nullptr) {
    char* text = nullptr;
    std::size_t length = 0;
    if (FILE* stream = open_memstream(&text, &length)) {
        espeak_ng_PrintStatusCodeMessage(status, stream, context);
        std::fclose(stream);
    }
    std::string message(text != nullptr ? trim(std::string_view(text, length)) : std::string_view());
    std::free(text);
    return message;
}

// espeak-ng set up with voice and rate, and not yet tied to an output. The espeak_ng_*
// calls are used because they report failures: espeak_Initialize() succeeds even when the
// data files are missing, and so does playback set-up without a sound device.
class Espeak {
public:
    explicit Espeak(const Settings& settings) {
        espeak_ng_InitializePath(nullptr);
        espeak_ng_ERROR_CONTEXT context = nullptr;
        const espeak_ng_STATUS status = espeak_ng_Initialize(&context);
        if (status != ENS_OK) {
            const std::string message = status_message(status, context);
            espeak_ng_ClearErrorContext(&context);
            throw Failure{kExitSpeech, "cannot initialize espeak-ng: " + message};
        }
        try {
            const espeak_ng_STATUS voice = espeak_ng_SetVoiceByName(settings.voice.c_str());
            if (voice != ENS_OK)
                throw Failure{kExitSpeech, (voice == ENS_VOICE_NOT_FOUND ? "unknown voice \"" : "cannot use voice \"") +
                                               settings.voice + "\": " + status_message(voice)};
            if (settings.rate != 0 && espeak_ng_SetParameter(espeakRATE, settings.rate, 0) != ENS_OK)
                throw Failure{kExitSpeech, "espeak-ng refused rate " + std::to_string(settings.rate)};
        } catch (...) {
            espeak_ng_Terminate();
            throw;
        }
    }
    ~Espeak() { espeak_ng_Terminate(); }
    Espeak(const Espeak&) = delete;
    Espeak& operator=(const Espeak&) = delete;

    // Plays on the sound device; a missing device only shows here, as a failed synthesis.
    espeak_ng_STATUS play(const std::string& text) {
        const auto mode = static_cast<espeak_ng_OUTPUT_MODE>(ENOUTPUT_MODE_SYNCHRONOUS | ENOUTPUT_MODE_SPEAK_AUDIO);
        const espeak_ng_STATUS status = espeak_ng_InitializeOutput(mode, 0, nullptr);
        return status != ENS_OK ? status : speak(text);
    }

    // Returns the speech as 16-bit mono samples at sample_rate().
    std::vector<std::int16_t> synthesize(const std::string& text) {
        if (const espeak_ng_STATUS status = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr);
            status != ENS_OK)
            throw Failure{kExitSpeech, "cannot set up espeak-ng for a WAV file: " + status_message(status)};
        Sink sink;
        current_sink = &sink;
        espeak_SetSynthCallback(collect_samples);
        const espeak_ng_STATUS status = speak(text);
        current_sink = nullptr;
        if (sink.too_long) throw Failure{kExitWav, "the text is too long for one WAV file"};
        if (status != ENS_OK) throw Failure{kExitSpeech, "espeak-ng failed: " + status_message(status)};
        return std::move(sink.samples);
    }

    static int sample_rate() { return espeak_ng_GetSampleRate(); }

private:
    struct Sink {
        std::vector<std::int16_t> samples;
        bool too_long = false;
    };
    // espeak-ng's synth callback has no context argument of its own, so it finds its sink here.
    static inline Sink* current_sink = nullptr;

    static int collect_samples(short* wav, int count, espeak_EVENT*) {
        if (wav == nullptr || count <= 0 || current_sink == nullptr) return 0;
        if (current_sink->samples.size() + static_cast<std::size_t>(count) > say::kMaxWavSamples) {
            current_sink->too_long = true;
            return 1;  // stops the synthesis
        }
        current_sink->samples.insert(current_sink->samples.end(), wav, wav + count);
        return 0;
    }

    static espeak_ng_STATUS speak(const std::string& text) {
        // Plain UTF-8 text, no SSML, no phoneme input: the PLC's message is spoken as written.
        const espeak_ng_STATUS status = espeak_ng_Synthesize(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                                             espeakCHARS_UTF8, nullptr, nullptr);
        return status != ENS_OK ? status : espeak_ng_Synchronize();
    }
};

// espeak-ng cannot be used again in a process where playback failed: the synthesizer keeps
// the unfinished utterance, and setting it up anew hangs. So playback is tried in a child
// process, and this one stays clean for writing the WAV file. Returns whether it was played.
bool play_on_sound_device(Espeak& espeak, const std::string& text, Output output) {
    StderrCapture capture;  // the child shares our stderr, and so the capture
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) throw Failure{kExitSpeech, std::string("cannot start playback: ") + std::strerror(errno)};
    if (child == 0) {
        const espeak_ng_STATUS status = espeak.play(text);
        if (status != ENS_OK) std::fprintf(stderr, "say: %s\n", status_message(status).c_str());
        std::fflush(stderr);
        _exit(status == ENS_OK ? 0 : 1);
    }
    int wait_status = 0;
    while (waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
    }
    const bool played = WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
    const std::string chatter = capture.stop();
    if (played || output == Output::Audio) std::fputs(chatter.c_str(), stderr);
    return played;
}

[[noreturn]] void fail_writing(const std::string& what, const std::string& path, int error) {
    throw Failure{kExitWav, "cannot " + what + " " + path + ": " + std::strerror(error)};
}

std::string wav_directory(const Settings& settings) {
    std::string dir = settings.wav_dir;
    if (dir.empty()) {
        const char* tmpdir = std::getenv("TMPDIR");
        dir = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/vocator-say";
    }
    // Only for a tidy path in the report: "/tmp//vocator-say" would work as well.
    while (dir.find("//") != std::string::npos) dir.erase(dir.find("//"), 1);
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

void make_directories(const std::string& dir) {
    for (std::size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
        const std::string prefix = dir.substr(0, end);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) fail_writing("create folder", prefix, errno);
        if (end == std::string::npos) break;
    }
}

// say-YYYYMMDD-HHMMSS-mmm-PID.wav: readable by people, and the PID keeps runs that start in
// the same millisecond apart.
std::string unique_wav_name() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    char name[96];
    std::snprintf(name, sizeof name, "say-%s-%03ld-%ld.wav", stamp, now.tv_nsec / 1000000,
                  static_cast<long>(getpid()));
    return name;
}

bool is_our_wav_name(const std::string& name) {
    return name.starts_with("say-") && name.ends_with(".wav");
}

bool is_our_part_name(const std::string& name) {
    return name.starts_with(".say-") && name.ends_with(".wav.part");
}

// Keeps the folder bounded: of our finished WAV files only the newest `keep` stay (by time of
// writing, then name), and part files left by killed runs go. Other files are not touched, and
// a file another run removed first is no failure.
void prune_wav_folder(const std::string& dir, int keep) {
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) return;
    struct Entry {
        timespec written;
        std::string name;
    };
    std::vector<Entry> wavs;
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        const bool wav = is_our_wav_name(name);
        if (!wav && !is_our_part_name(name)) continue;
        struct stat info {};
        const std::string path = dir + "/" + name;
        if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (wav) wavs.push_back({info.st_mtim, name});
        else if (now - info.st_mtim.tv_sec > kStalePartSeconds) unlink(path.c_str());
    }
    closedir(folder);
    if (wavs.size() <= static_cast<std::size_t>(keep)) return;
    std::sort(wavs.begin(), wavs.end(), [](const Entry& a, const Entry& b) {
        if (a.written.tv_sec != b.written.tv_sec) return a.written.tv_sec < b.written.tv_sec;
        if (a.written.tv_nsec != b.written.tv_nsec) return a.written.tv_nsec < b.written.tv_nsec;
        return a.name < b.name;
    });
    for (std::size_t i = 0; i + static_cast<std::size_t>(keep) < wavs.size(); ++i)
        unlink((dir + "/" + wavs[i].name).c_str());
}

std::string write_wav_file(const std::string& dir, const std::vector<std::int16_t>& samples, int sample_rate) {
    make_directories(dir);
    const std::string name = unique_wav_name();
    const std::string path = dir + "/" + name;
    // Someone may be watching the folder: write under a hidden name and rename() the
    // finished file into place, so that a half-written WAV is never seen.
    const std::string temporary = dir + "/." + name + ".part";
    const std::vector<unsigned char> bytes =
        say::encode_wav(samples, static_cast<std::uint32_t>(sample_rate));

    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) fail_writing("create", temporary, errno);
    std::size_t written = 0;
    int error = 0;
    while (written < bytes.size() && error == 0) {
        const ssize_t count = write(fd, bytes.data() + written, bytes.size() - written);
        if (count > 0) written += static_cast<std::size_t>(count);
        else if (errno != EINTR) error = errno;
    }
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        fail_writing("write", path, error);
    }
    return path;
}

void speak(const std::string& text, const Settings& settings) {
    Espeak espeak(settings);
    if (settings.output != Output::Wav) {
        if (play_on_sound_device(espeak, text, settings.output)) return;
        if (settings.output == Output::Audio)
            throw Failure{kExitSpeech, "cannot play on the sound device (SAY_OUTPUT=auto would write a WAV file)"};
    }
    const std::vector<std::int16_t> samples = espeak.synthesize(text);
    const std::string dir = wav_directory(settings);
    const std::string path = write_wav_file(dir, samples, Espeak::sample_rate());
    prune_wav_folder(dir, settings.keep_wav_files);
    std::fprintf(stderr, "say: wrote %s\n", path.c_str());
}

void redirect_to_dev_null(int fd) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return;
    if (null != fd) {
        dup2(null, fd);
        close(null);
    }
}

int run(int argc, char** argv) {
    // Any of 0-1-2 that we were started without gets /dev/null, so that no file opened
    // later lands there by accident.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0) redirect_to_dev_null(fd);
    // Whoever reads our stderr may go away; the text should still be spoken.
    std::signal(SIGPIPE, SIG_IGN);
    std::setlocale(LC_ALL, "");

    const Request request = parse_command_line(argc, argv);
    if (request.action == Request::Action::Help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (request.action == Request::Action::Version) {
        std::puts("say (Vocator) " SAY_VERSION);
        return 0;
    }
    // Vocator reads our stdout until it closes (and waits for our exit), and nothing more goes
    // there: let go of it now, so that no sound server a library might start keeps it open.
    std::fflush(stdout);
    redirect_to_dev_null(STDOUT_FILENO);

    Settings settings;
    if (const std::string dir = own_directory(); !dir.empty()) read_ini(settings, dir + "/say.ini");
    read_environment(settings);
    for (const Setting& option : request.options) apply(settings, option);

    std::string raw_text;
    if (request.text) raw_text = *request.text;
    else if (!isatty(STDIN_FILENO)) raw_text = read_stdin_bounded();
    else throw Failure{kExitUsage, "no text to speak (see say --help)"};

    const std::string text = blank_control_characters(to_utf8(raw_text, input_charset()));
    if (trim(text).empty()) return 0;  // silence is a valid message
    speak(text, settings);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "say: %s\n", failure.message.c_str());
        return failure.status;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "say: %s\n", error.what());
        return 1;
    }
}
