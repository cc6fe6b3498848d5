#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <functional>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/launch.h"
#include "app/platform/desktop_entry.h"
#include "app/settings.h"
#include "app/user_config.h"

namespace app {
namespace {

using platform::RegisterUrlProtocol;

namespace fs = std::filesystem;

class RecordingMessages : public MessageSink {
  public:
    void ShowMessage(const std::string& text) override { shown.push_back(text); }
    std::vector<std::string> shown;
};

class ConfigDir : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tutorlane-settings-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path() const { return (dir_ / "config.ini").string(); }
    void Write(const std::string& text) const { std::ofstream(Path(), std::ios::binary) << text; }
    std::string Read() const {
        std::ifstream in(Path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path dir_;
};

std::string Shifted(std::string s) {
    ShiftAddress(s);
    return s;
}

// How a classroom page builds a launch URL: shift, percent-encode every byte, append "&x".
std::string LaunchUrlFor(const std::string& plain) {
    std::string shifted = Shifted(plain);
    std::string encoded;
    static const char* hex = "0123456789ABCDEF";
    for (unsigned char c : shifted) {
        if (std::isalnum(c)) {
            encoded.push_back(static_cast<char>(c));
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 15];
        }
    }
    return std::string(kLaunchPrefix) + encoded + "&x";
}

TEST(AddressShift, ShiftsByOneTwoThreeAndBack) {
    EXPECT_EQ(Shifted("abc"), "bdf");
    EXPECT_EQ(Shifted("rtmp"), "svpq");
    EXPECT_EQ(Shifted("&"), "'");
    EXPECT_EQ(Shifted("a&"), "b(");
    EXPECT_EQ(Shifted("aa&"), "bc)");
    const std::vector<std::string> texts = {"rtmp://10.1.2.3:10086/encoder/qkz/mp4:123.mp4&123",
                                            "x&y&z", std::string("\x7F\x80\xFC", 3)};
    for (const std::string& plain : texts) {
        std::string s = Shifted(plain);
        UnshiftAddress(s);
        EXPECT_EQ(s, plain);
    }
    std::string ends = "\xFF";  // becomes 0: the text ends there
    ShiftAddress(ends);
    EXPECT_EQ(ends, "");
}

TEST(LaunchText, PercentDecodingRules) {
    EXPECT_EQ(DecodeLaunchText("%41%2"), "A%2");
    EXPECT_EQ(DecodeLaunchText("%4g"), "%4g");
    EXPECT_EQ(DecodeLaunchText("a+b%26c"), "a+b&c");
    // In a UTF-8 locale the text stays UTF-8; invalid bytes become the replacement character.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    EXPECT_EQ(DecodeLaunchText("%E4%B8%AD"), "\xE4\xB8\xAD");
    EXPECT_EQ(DecodeLaunchText("%FFa"),
              "\xEF\xBF\xBD"
              "a");
    EXPECT_EQ(DecodeLaunchText("%E4%B8"), "\xEF\xBF\xBD");  // cut sequence
    // In a plain ASCII locale characters it lacks become '?'.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    EXPECT_EQ(DecodeLaunchText("%E4%B8%ADok"), "?ok");
}

TEST_F(ConfigDir, LaunchUrlExamples) {
    const IniFile ini(Path());
    const auto stored = [&](const char* url) {
        EXPECT_EQ(ParseLaunchUrl(url, ini), 1);
        return ini.GetString("Device", "Address", "<none>", 511);
    };
    EXPECT_EQ(stored("zembra.publish://ABC&x"), "ABC");
    EXPECT_EQ(stored("zembra.publish://ABC/&x"), "ABC");
    EXPECT_EQ(stored("zembra.publish://ABC&x/"), "ABC");
    EXPECT_EQ(stored("zembra.publish://A&B&C"), "A&B");
    EXPECT_EQ(stored("zembra.publish://ABC"), "");
    EXPECT_EQ(stored("0123456789abcdefgABC&x"), "ABC");  // the prefix is not compared
    EXPECT_EQ(stored("zembra.publish://AB%26C&x"), "AB&C");
    EXPECT_EQ(ParseLaunchUrl(nullptr, ini), 0);
    EXPECT_EQ(ParseLaunchUrl("z", ini), 0);
}

TEST_F(ConfigDir, LineBreaksInAPayloadNeverBecomeKeys) {
    const IniFile ini(Path());
    Write("[Device]\nBitrate=800\n");
    ParseLaunchUrl("zembra.publish://AB%0D%0AHaveAudio=0%0ACD&x", ini);
    EXPECT_EQ(ini.GetString("Device", "Address", "", 511), "ABHaveAudio=0CD");
    EXPECT_EQ(ini.GetInt("Device", "HaveAudio", 7), 7);
    EXPECT_EQ(Read(), "[Device]\nBitrate=800\nAddress=ABHaveAudio=0CD\n");
    EXPECT_FALSE(ini.WriteString("Device", "Address", "a\nb"));
}

TEST_F(ConfigDir, LongPayloadIsCutAt511Bytes) {
    const IniFile ini(Path());
    const std::string url = std::string(kLaunchPrefix) + std::string(600, 'A') + "&x";
    ParseLaunchUrl(url.c_str(), ini);
    // 511 bytes taken: the '&' is beyond them, so nothing is left before a last '&'.
    EXPECT_EQ(ini.GetString("Device", "Address", "<none>", 1000), "");
    const std::string fits = std::string(kLaunchPrefix) + std::string(500, 'A') + "&x";
    ParseLaunchUrl(fits.c_str(), ini);
    EXPECT_EQ(ini.GetString("Device", "Address", "", 1000).size(), 500u);
}

TEST_F(ConfigDir, ClassroomPageUrlIsReadBackAsPublishUrlAndMeeting) {
    Write("[Device]\nFrameRate=15\nVideoWidth=640\nVideoHeight=480\n[Audio]\nChanels=2\n");
    const IniFile ini(Path());
    const std::string plain = "rtmp://h/app/mp4:12.mp4&12";
    ParseLaunchUrl(LaunchUrlFor(plain).c_str(), ini);
    BroadcastSettings s;
    DialogValues d;
    RecordingMessages messages;
    ASSERT_EQ(LoadSettings(
                  ini,
                  [] {
                      return std::pair{1366, 768};
                  },
                  messages, s, d),
              1);
    EXPECT_EQ(s.publishUrl, "rtmp://h/app/mp4:12.mp4");
    EXPECT_EQ(d.meetingId, "12");
    EXPECT_EQ(s.FrameRate, 15);
    EXPECT_EQ(s.Chanels, 2);
    EXPECT_EQ(s.ScreenWidth, 1364);  // from the screen, rounded down to a multiple of 4
    EXPECT_EQ(s.ScreenHeight, 768);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(ConfigDir, AddressSplitsAtTheLastAmpersand) {
    const IniFile ini(Path());
    RecordingMessages messages;
    BroadcastSettings s;
    DialogValues d;
    const auto size = [] { return std::pair{800, 600}; };
    ini.WriteString("Device", "Address", Shifted("a&b&c"));
    ASSERT_EQ(LoadSettings(ini, size, messages, s, d), 1);
    EXPECT_EQ(s.publishUrl, "a&b");
    EXPECT_EQ(d.meetingId, "c");
    ini.WriteString("Device", "Address", Shifted("url&"));
    ASSERT_EQ(LoadSettings(ini, size, messages, s, d), 1);
    EXPECT_EQ(d.meetingId, "");
    ini.WriteString("Device", "Address", Shifted("no-ampersand"));
    EXPECT_EQ(LoadSettings(ini, size, messages, s, d), 0);
    EXPECT_EQ(d.meetingId, "no-ampersand");
    EXPECT_EQ(s.publishUrl, "");
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0], "参数有误!");
    // Only the first 99 bytes of a long address are read back.
    ini.WriteString("Device", "Address", Shifted(std::string(120, 'u') + "&1"));
    EXPECT_EQ(LoadSettings(ini, size, messages, s, d), 0);
    EXPECT_EQ(s.Address.size(), 99u);
}

TEST_F(ConfigDir, MissingFileAndKeysGiveTheDefaults) {
    const IniFile ini(Path());
    RecordingMessages messages;
    BroadcastSettings s;
    DialogValues d;
    EXPECT_EQ(LoadSettings(
                  ini,
                  [] {
                      return std::pair{1023, 767};
                  },
                  messages, s, d),
              0);
    EXPECT_EQ(s.FrameRate, 0);
    EXPECT_EQ(s.Bitrate, 0);
    EXPECT_EQ(s.Address, "");
    EXPECT_EQ(s.ScreenWidth, 1020);
    EXPECT_EQ(s.ScreenHeight, 764);
    EXPECT_FALSE(fs::exists(Path()));  // reading creates nothing
}

TEST_F(ConfigDir, ScreenSizeFromTheFileIsRoundedAndZeroTakesTheScreen) {
    const IniFile ini(Path());
    RecordingMessages messages;
    BroadcastSettings s;
    DialogValues d;
    Write("[device]\nscreenwidth=1023\nScreenHeight=767\n");  // names in any case
    LoadSettings(
        ini,
        [] {
            return std::pair{1366, 768};
        },
        messages, s, d);
    EXPECT_EQ(s.ScreenWidth, 1020);
    EXPECT_EQ(s.ScreenHeight, 764);
    Write("[Device]\nScreenWidth=0\nScreenHeight=600\n");
    LoadSettings(
        ini,
        [] {
            return std::pair{1366, 768};
        },
        messages, s, d);
    EXPECT_EQ(s.ScreenWidth, 1364);
    EXPECT_EQ(s.ScreenHeight, 768);
}

// The screen grabber's choice and the portal's restore token: read from [Device], and a new
// token written back in place, the rest of the file kept.
TEST_F(ConfigDir, ScreenCaptureChoiceAndRestoreToken) {
    const IniFile ini(Path());
    capture::ScreenCaptureOptions screen = LoadScreenCaptureOptions(ini);
    EXPECT_EQ(screen.mode, capture::ScreenCaptureMode::kAuto);  // no file
    EXPECT_EQ(screen.restoreToken, "");
    Write("[Device]\r\nscreencapture = Portal\r\nScreenCaptureToken=abc-1\r\nBitrate=800\r\n");
    screen = LoadScreenCaptureOptions(ini);
    EXPECT_EQ(screen.mode, capture::ScreenCaptureMode::kPortal);
    EXPECT_EQ(screen.restoreToken, "abc-1");
    ASSERT_TRUE(screen.saveRestoreToken);
    screen.saveRestoreToken("def-2");
    EXPECT_EQ(Read(),
              "[Device]\r\nscreencapture = Portal\r\nScreenCaptureToken=def-2\r\nBitrate=800\r\n");
    EXPECT_EQ(LoadScreenCaptureOptions(ini).restoreToken, "def-2");
}

TEST_F(ConfigDir, SaveWritesOnlyChangedKeysAndKeepsTheRestOfTheFile) {
    const std::string original =
        "; installation defaults\r\n[Device]\r\nBitrate = 800\r\nHaveAudio=1\r\nBitrate=123\r\n"
        "VideoStyle=0\r\n\r\n[Audio]\r\nSamplesPerSec=44100\r\n";
    Write(original);
    const IniFile ini(Path());
    RecordingMessages messages;
    BroadcastSettings s;
    DialogValues d;
    LoadSettings(
        ini,
        [] {
            return std::pair{640, 480};
        },
        messages, s, d);
    EXPECT_EQ(s.Bitrate, 800);  // the first of duplicate keys wins
    SaveChangedSettings(ini, s, d);
    EXPECT_EQ(Read(), original);  // nothing changed: nothing written
    d.bitrate = 500;
    SaveChangedSettings(ini, s, d);
    EXPECT_EQ(Read(),
              "; installation defaults\r\n[Device]\r\nBitrate=500\r\nHaveAudio=1\r\nBitrate=123\r\n"
              "VideoStyle=0\r\n\r\n[Audio]\r\nSamplesPerSec=44100\r\n");
    d.pictureType = 2;
    d.videoDeviceIndex = 1;
    SaveChangedSettings(ini, s, d);
    EXPECT_EQ(ini.GetInt("Device", "VideoStyle", -1), 2);
    EXPECT_EQ(ini.GetInt("Device", "DeviceID", -1), 1);
    EXPECT_EQ(ini.GetInt("Audio", "SamplesPerSec", -1), 44100);
    // A key new to its section is added inside that section, not at the end of the file.
    EXPECT_NE(Read().find("VideoStyle=2\r\nDeviceID=1\r\n\r\n[Audio]"), std::string::npos);
}

TEST_F(ConfigDir, QuickClassUsesTheConfiguredHostAndTellsTheUser) {
    Write("[Device]\nQuickClassHost=10.9.8.7\n");
    const IniFile ini(Path());
    RecordingMessages messages;
    MakeQuickClassAddress(ini, messages, 42);
    BroadcastSettings s;
    DialogValues d;
    ASSERT_EQ(LoadSettings(
                  ini,
                  [] {
                      return std::pair{640, 480};
                  },
                  messages, s, d),
              1);
    const std::string n = d.meetingId;
    ASSERT_FALSE(n.empty());
    EXPECT_LE(n.size(), 8u);
    EXPECT_NE(n[0], '0');
    EXPECT_EQ(s.publishUrl, "rtmp://10.9.8.7:10086/encoder/qkz/mp4:" + n + ".mp4");
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0], QuickClassMessage(std::stol(n)));
    EXPECT_NE(messages.shown[0].find("课堂ID是" + n + ", "), std::string::npos);
    EXPECT_EQ(QuickClassAddress("127.0.0.1", 1234567),
              "rtmp://127.0.0.1:10086/encoder/qkz/mp4:1234567.mp4&1234567");
}

TEST_F(ConfigDir, UrlProtocolEntryQuotesTheProgramAsDesktopEntriesRequire) {
    // A folder name with a blank, '%', '$' and a quote.
    const std::string program = "/opt/my tutor%1 $HOME \"x\"/broadcaster";
    const std::string text = DesktopEntryText(program);
    EXPECT_NE(text.find("\nExec=\"/opt/my tutor%%1 \\\\$HOME \\\\\"x\\\\\"/broadcaster\" %u\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nMimeType=x-scheme-handler/zembra.publish;\n"), std::string::npos);
    EXPECT_EQ(DesktopExecArgument("/usr/bin/broadcaster"), "/usr/bin/broadcaster");
    EXPECT_EQ(DesktopExecArgument("/a\nb"), "");
    const fs::path entry = dir_ / "entry.desktop";
    std::ofstream(entry) << text;
    if (std::system("command -v desktop-file-validate >/dev/null") == 0) {
        EXPECT_EQ(std::system(("desktop-file-validate '" + entry.string() + "'").c_str()), 0);
    }

    // Registering writes the entry for the running program; the folder stays where it was.
    const fs::path apps = dir_ / "applications";
    const fs::path before = fs::current_path();
    EXPECT_EQ(RegisterUrlProtocol(apps.string()), 1);
    EXPECT_EQ(fs::current_path(), before);
    std::ifstream in(apps / kDesktopEntryName);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), DesktopEntryText(fs::read_symlink("/proc/self/exe").string()));
}

TEST_F(ConfigDir, UserSettingsAreMadeFromTheShippedFileOnceAndKept) {
    const fs::path shipped = dir_ / "program" / "config.ini";
    fs::create_directories(shipped.parent_path());
    std::ofstream(shipped) << "[Device]\nBitrate=800\n";
    ::setenv("XDG_CONFIG_HOME", (dir_ / "cfg").c_str(), 1);
    const UserConfig first = PrepareUserConfig(shipped.string());
    EXPECT_EQ(first.error, "");
    EXPECT_EQ(first.path, (dir_ / "cfg" / "tutorlane" / "config.ini").string());
    EXPECT_TRUE(IniFile(first.path).WriteString("Device", "Bitrate", "500"));
    const UserConfig again = PrepareUserConfig(shipped.string());
    EXPECT_EQ(IniFile(again.path).GetInt("Device", "Bitrate", 0), 500);  // kept, not copied again
    EXPECT_EQ(IniFile(shipped.string()).GetInt("Device", "Bitrate", 0), 800);
    ::unsetenv("XDG_CONFIG_HOME");
}

// Runs fn in a child process; its exit code.
int InChild(const std::function<int()>& fn) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(fn());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(ConfigDir, FailedWritesLeaveTheOldFileAndAreReported) {
    const std::string original =
        "[Device]\nAddress=abc\nBitrate=800\nHaveAudio=1\n" + std::string(300, ';') + "\n";
    Write(original);
    BroadcastSettings settings;
    settings.Bitrate = 800;
    DialogValues dialog;
    dialog.bitrate = 500;
    const auto saveFails = [&] {
        RecordingMessages messages;
        SaveChangedSettings(IniFile(Path()), settings, dialog, &messages);
        return messages.shown.size() == 1 && messages.shown[0].rfind("设置无法保存: ", 0) == 0;
    };

    // The disk fills half way through the new file (a file size limit).
    EXPECT_EQ(InChild([&] {
                  std::signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{100, 100};
                  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0 && saveFails() ? 0 : 1;
              }),
              0);
    EXPECT_EQ(Read(), original);

    // A read-only folder (a read-only bind mount: root writes through plain permissions).
    const int readOnly = InChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(dir_.c_str(), dir_.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            return 77;
        return saveFails() ? 0 : 1;
    });
    if (readOnly == 77)
        GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(readOnly, 0);
    EXPECT_EQ(Read(), original);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir_))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"config.ini", "config.ini.lock"}));  // no temp file
}

TEST_F(ConfigDir, AFileThatCannotBeReadIsNeverReplaced) {
    // Something that exists at the name but can't be read as a file.
    fs::create_directories(Path());
    std::string error;
    EXPECT_FALSE(IniFile(Path()).WriteString("Device", "Address", "x", &error));
    EXPECT_NE(error, "");
    EXPECT_TRUE(fs::is_directory(Path()));
    RecordingMessages messages;
    BroadcastSettings settings;
    DialogValues dialog;
    LoadSettings(IniFile(Path()), nullptr, messages, settings, dialog);
    ASSERT_FALSE(messages.shown.empty());
    EXPECT_EQ(messages.shown[0].rfind("设置无法读取: ", 0), 0u);
    // A missing file is no error: it reads as empty and a write makes it.
    fs::remove(Path());
    EXPECT_EQ(IniFile(Path()).ReadError(), "");
    EXPECT_TRUE(IniFile(Path()).WriteString("Device", "Address", "x"));
    EXPECT_EQ(Read(), "[Device]\nAddress=x\n");
}

}  // namespace
}  // namespace app
