#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/launch.h"
#include "app/settings.h"

namespace app {
namespace {

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

TEST_F(ConfigDir, UrlProtocolEntryNamesTheProgram) {
    const fs::path apps = dir_ / "applications";
    const fs::path before = fs::current_path();
    EXPECT_EQ(RegisterUrlProtocol(apps.string()), 1);
    EXPECT_EQ(fs::current_path(), fs::path(ProgramFolder()));
    fs::current_path(before);
    std::ifstream in(apps / "zembra-publish.desktop");
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string entry = ss.str();
    EXPECT_NE(entry.find("MimeType=x-scheme-handler/zembra.publish;\n"), std::string::npos);
    EXPECT_NE(entry.find("Exec=" + fs::read_symlink("/proc/self/exe").string() + " %u\n"),
              std::string::npos);
}

}  // namespace
}  // namespace app
