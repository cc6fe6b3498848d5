#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <tuple>
#include <vector>

#include "app/launch.h"
#include "app/launch_kit.h"
#include "app/local_copy.h"
#include "app/platform/desktop_entry.h"
#include "app/platform/local_socket.h"
#include "app/platform/locale_text.h"
#include "app/settings.h"
#include "app/single_instance.h"
#include "app/translations.h"
#include "capture/audio_test_doubles.h"
#include "support/child_process.h"

namespace app {
namespace {

using platform::RegisterUrlProtocol;
using rtmp::test::WaitUntil;

namespace fs = std::filesystem;

class ConfigDir : public ::testing::Test {
  protected:
    std::string Path() const { return (dir_ / "config.ini").string(); }
    void Write(const std::string& text) const { std::ofstream(Path(), std::ios::binary) << text; }
    std::string Read() const { return rtmp::test::ReadTextFile(Path()); }
    // LoadSettings on the file with a screen of the given size, into fresh s_ and d_.
    int Load(std::pair<int, int> screen = {640, 480}) {
        s_ = {};
        d_ = {};
        return LoadSettings(
            IniFile(Path()), [screen] { return screen; }, messages_, s_, d_, &outOfRange_);
    }
    rtmp::test::TempDir tmp_{"tutorlane-settings"};
    const fs::path dir_ = tmp_.Path();
    capture::test::RecordingMessageSink messages_;
    BroadcastSettings s_;
    DialogValues d_;
    bool outOfRange_ = false;
};

using test::LaunchUrl;
using test::Shifted;

// Stored addresses are shifted by one, two, three and back; launch text is percent-decoded.
TEST(LaunchText, AddressShiftAndPercentDecodingRules) {
    EXPECT_EQ(Shifted("rtmp"), "svpq");
    std::string high = Shifted("\x7F\x80\xFC");  // wraps around, and back
    UnshiftAddress(high);
    EXPECT_EQ(high, "\x7F\x80\xFC");
    EXPECT_EQ(Shifted("\xFF"), "");  // becomes 0: the text ends there
    EXPECT_EQ(DecodeLaunchText("%41%2"), "A%2");
    EXPECT_EQ(DecodeLaunchText("%4g"), "%4g");
    EXPECT_EQ(DecodeLaunchText("a+b%26c"), "a+b&c");
    // In a UTF-8 locale the text stays UTF-8; invalid bytes become the replacement character.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    EXPECT_EQ(DecodeLaunchText("%C2%80%C3%A9%E4%B8%AD%F0%9F%98%80"),
              "\xC2\x80\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");  // two, three and four bytes
    EXPECT_EQ(DecodeLaunchText("%FFa"), std::string("\xEF\xBF\xBD") + "a");
    EXPECT_EQ(DecodeLaunchText("%E4%B8"), "\xEF\xBF\xBD");  // cut sequence
    // In a plain ASCII locale characters it lacks become '?'.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    EXPECT_EQ(DecodeLaunchText("%E4%B8%ADok"), "?ok");
}

// The user's language from the environment as gettext reads it; the shared texts in English
// from the compiled-in table (an argument's own "%1" kept), and as written when no table is
// chosen or a table is out of order.
TEST(LaunchText, TheUsersLanguageChoosesTheSharedTexts) {
    const auto language = [](const char* all, const char* lang, const char* list) {
        for (const auto& [name, value] :
             {std::pair{"LC_ALL", all}, {"LANG", lang}, {"LANGUAGE", list}}) {
            if (value != nullptr)
                setenv(name, value, 1);
            else
                unsetenv(name);
        }
        unsetenv("LC_MESSAGES");
        std::string languages;
        for (const std::string& one : platform::UserLanguages())
            languages += (languages.empty() ? "" : ":") + one;
        return languages + "=" + ProgramLanguage();
    };
    EXPECT_EQ(language(nullptr, "en_US.UTF-8", nullptr), "en=en");
    EXPECT_EQ(language("zh_CN.UTF-8", "en_US.UTF-8", nullptr), "zh=");
    EXPECT_EQ(language(nullptr, "de_DE@euro", "en:de"), "en:de=en");
    // The first language the program has, as gettext falls back along LANGUAGE.
    EXPECT_EQ(language(nullptr, "de_DE.UTF-8", "de_DE:en_GB::en"), "de:en=en");
    EXPECT_EQ(language(nullptr, "de_DE.UTF-8", "nl:zh_CN:en"), "nl:zh:en=");
    EXPECT_EQ(language(nullptr, "de_DE.UTF-8", "de"), "de=");
    EXPECT_EQ(language(nullptr, "C.UTF-8", "en"), "=");  // LANGUAGE is not read in the C locale
    EXPECT_EQ(language("", "", nullptr), "=");
    setenv("LANG", "C.UTF-8", 1);
    unsetenv("LANGUAGE");

    UseProgramLanguage(kEnglish);
    EXPECT_EQ(
        AddressTooLongMessage(std::string(120, 'a')),
        "The classroom address is too long (120 bytes, at most 99 bytes) and cannot be used.");
    EXPECT_EQ(SettingOutOfRangeMessage("%1", 5, 1, 2), "Wrong setting: %1=5, must be 1 to 2");
    const basis::Translation unsorted[] = {{"b", "x", "1"}, {"a", "x", "2"}};
    EXPECT_FALSE(basis::UseTranslations(unsorted));
    EXPECT_EQ(RunningMessage(), "The program is already running; only one copy can run");
    UseProgramLanguage("");
    EXPECT_EQ(RunningMessage(), "程序正在运行，不能运行多个副本");
}

// The address each launch URL stores: the text after the 17-byte prefix (never compared), cut
// at 511 bytes, up to its last '&', percent-decoded, line breaks dropped, at most 99 bytes. A
// classroom page's address is read back as publish URL and meeting, beside the other settings. A
// quick class stores an address on the configured host and tells the user its number.
TEST_F(ConfigDir, LaunchUrlsStoreTheTextBeforeTheLastAmpersandAndQuickClassesTheirOwn) {
    const std::string prefix = kLaunchPrefix;
    const std::pair<std::string, std::string> rows[] = {
        {"zembra.publish://ABC&x", "ABC"},
        {"zembra.publish://ABC/&x", "ABC"},
        {"zembra.publish://ABC&x/", "ABC"},
        {"zembra.publish://A&B&C", "A&B"},
        {"zembra.publish://ABC", ""},
        {"0123456789abcdefgABC&x", "ABC"},
        {"zembra.publish://AB%26C&x", "AB&C"},
        {prefix + std::string(600, 'A') + "&x", ""},  // the '&' lies beyond the 511 bytes
        {prefix + std::string(99, 'A') + "&x", std::string(99, 'A')},
        // Longer than the settings read back: refused, the text before stays.
        {prefix + std::string(100, 'A') + "&x", std::string(99, 'A')},
        {"zembra.publish://AB%0D%0AHaveAudio=0%0ACD&x", "ABHaveAudio=0CD"},
    };
    Write("[Device]\nBitrate=800\nFrameRate=15\n[Audio]\nChanels=2\n");
    const IniFile ini(Path());
    for (const auto& [url, stored] : rows) {
        EXPECT_EQ(ParseLaunchUrl(url.c_str(), ini), 1) << url;
        EXPECT_EQ(ini.GetString("Device", "Address", "<none>", 1000), stored) << url;
    }
    EXPECT_EQ(ParseLaunchUrl(nullptr, ini), 0);
    EXPECT_EQ(ParseLaunchUrl("z", ini), 0);  // these store nothing: the last row's text stays
    EXPECT_EQ(Read(),
              "[Device]\nBitrate=800\nFrameRate=15\nAddress=ABHaveAudio=0CD\n[Audio]\nChanels=2\n");
    EXPECT_FALSE(ini.WriteString("Device", "Address", "a\nb"));

    ParseLaunchUrl(LaunchUrl("rtmp://h/app/mp4:12.mp4&12").c_str(), ini);
    ASSERT_EQ(Load(), 1);
    EXPECT_EQ(std::tuple(s_.publishUrl, d_.meetingId, s_.Bitrate, s_.FrameRate, s_.Chanels),
              std::tuple("rtmp://h/app/mp4:12.mp4", "12", 800, 15, 2));
    EXPECT_TRUE(messages_.Texts().empty());

    ini.WriteString("Device", "QuickClassHost", "10.9.8.7");
    MakeQuickClassAddress(ini, messages_, 42);
    ASSERT_EQ(Load(), 1);
    const std::string n = d_.meetingId;
    ASSERT_TRUE(!n.empty() && n.size() <= 8 && n[0] != '0') << n;
    EXPECT_EQ(s_.publishUrl, "rtmp://10.9.8.7:10086/encoder/qkz/mp4:" + n + ".mp4");
    EXPECT_EQ(messages_.Texts(), std::vector{QuickClassMessage(std::stol(n))});
    EXPECT_NE(QuickClassMessage(std::stol(n)).find("课堂ID是" + n + ", "), std::string::npos);
}

// One file each, on a screen of 1023 x 767: the address split at its last '&' (none: the
// parameters are wrong), only its first 99 bytes read; the screen size rounded down to 4, and the
// screen's own when the file's is 0, missing, beyond int or beyond the largest picture the
// encoder takes. A camera size or frame rate out of range is refused, named with its range, and
// reads as 0 (not set).
TEST_F(ConfigDir, LoadSplitsTheAddressAndSizesTheScreen) {
    const auto address = [](const std::string& plain) {
        return "[Device]\nAddress=" + Shifted(plain) + "\n";
    };
    const auto size = [](const std::string& w, const std::string& h) {
        return "[Device]\nScreenWidth=" + w + "\nScreenHeight=" + h + "\n";
    };
    const auto video = [&](const std::string& w, const std::string& h, const std::string& rate) {
        return address("a&b") + "VideoWidth=" + w + "\nVideoHeight=" + h + "\nFrameRate=" + rate;
    };
    struct Row {
        std::string file;  // "": no file
        std::pair<int, int> size{1020, 764};
        int loaded = 0;
        std::string url{}, meeting{};
        std::tuple<int, int, int> video{};  // width, height and frame rate as loaded
        std::string refused{};              // the message of a value out of range
    };
    const std::pair<int, int> screen = {1020, 764};
    const std::string longAddress(120, 'u');
    const auto refused = [&](const char* w, const char* h, const char* rate,
                             std::tuple<int, int, int> loaded, const char* key, int value, int low,
                             int high) {
        return Row{video(w, h, rate),
                   screen,
                   0,
                   "a",
                   "b",
                   loaded,
                   SettingOutOfRangeMessage(key, value, low, high)};
    };
    const Row rows[] = {
        {""},
        {address("a&b&c"), {1020, 764}, 1, "a&b", "c"},
        {address("url&"), {1020, 764}, 1, "url", ""},
        {address("no-ampersand"), {1020, 764}, 0, "", "no-ampersand"},
        {address(longAddress + "&1"), {1020, 764}, 0, "", longAddress.substr(0, 99)},
        {"[device]\nscreenwidth=1027\nScreenHeight=771\n", {1024, 768}},  // any case
        {size("0", "600")},
        {size("4294968320", "600")},
        {size("1024", "8193")},
        {size("8192", "600"), {8192, 600}},
        {"[Device]\n[]\nBitrate=800\n"},  // a key under a section without a name
        {video("4096", "16", "60"), screen, 1, "a", "b", {4096, 16, 60}},
        {video("17", "4095", "1"), screen, 1, "a", "b", {17, 4095, 1}},
        refused("4097", "480", "15", {0, 480, 15}, "VideoWidth", 4097, 16, 4096),
        refused("-640", "480", "15", {0, 480, 15}, "VideoWidth", -640, 16, 4096),
        refused("640", "15", "15", {640, 0, 15}, "VideoHeight", 15, 16, 4096),
        refused("640", "2147483647", "15", {640, 0, 15}, "VideoHeight", 2147483647, 16, 4096),
        refused("640", "480", "61", {640, 480, 0}, "FrameRate", 61, 1, 60),
        refused("640", "480", "-1", {640, 480, 0}, "FrameRate", -1, 1, 60),
    };
    std::vector<std::string> said;  // the messages of the loads so far
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        if (!row.file.empty())
            Write(row.file);
        EXPECT_EQ(Load({1023, 767}), row.loaded);
        // Bit rate: no such key, 0.
        EXPECT_EQ(std::tuple(s_.publishUrl, d_.meetingId, s_.ScreenWidth, s_.ScreenHeight,
                             s_.Bitrate, std::tuple(s_.VideoWidth, s_.VideoHeight, s_.FrameRate)),
                  std::tuple(row.url, row.meeting, row.size.first, row.size.second, 0, row.video));
        EXPECT_EQ(outOfRange_, !row.refused.empty());
        if (!row.refused.empty())
            said.push_back(row.refused);
        else if (row.loaded == 0)
            said.push_back("参数有误!");
        EXPECT_EQ(messages_.Texts(), said);
        EXPECT_EQ(fs::exists(Path()), !row.file.empty());  // a load creates no file
    }
    EXPECT_EQ(SettingOutOfRangeMessage("FrameRate", 1001, 1, 60),
              "设置有误: FrameRate=1001, 应为 1 到 60");
}

// Settings are written back in place: only changed keys, a key new to its section inside that
// section, the rest of the file kept. The screen grabber's choice and the portal's restore token
// are read from [Device], and a new token is written back the same way.
TEST_F(ConfigDir, SaveWritesOnlyChangedKeysAndKeepsTheRestOfTheFile) {
    const IniFile ini(Path());
    capture::ScreenCaptureOptions screen = LoadScreenCaptureOptions(ini);
    EXPECT_EQ(std::pair(screen.mode, screen.restoreToken),  // no file
              std::pair(capture::ScreenCaptureMode::kAuto, std::string()));
    const std::string original =
        "; installation defaults\r\n[Device]\r\nBitrate = 800\r\nHaveAudio=1\r\nBitrate=123\r\n"
        "Host=[::1]\r\nscreencapture = Portal\r\nScreenCaptureToken=abc-1\r\nVideoStyle=0\r\n"
        "\r\n[Audio]\r\nSamplesPerSec=44100\r\n";
    Write(original);
    Load();
    EXPECT_EQ(s_.Bitrate, 800);  // the first of duplicate keys wins
    SaveChangedSettings(ini, s_, d_);
    EXPECT_EQ(Read(), original);  // nothing changed: nothing written
    d_.bitrate = 500;
    d_.pictureType = 2;
    d_.videoDeviceIndex = 1;
    SaveChangedSettings(ini, s_, d_);
    screen = LoadScreenCaptureOptions(ini);
    EXPECT_EQ(std::pair(screen.mode, screen.restoreToken),
              std::pair(capture::ScreenCaptureMode::kPortal, std::string("abc-1")));
    ASSERT_TRUE(screen.saveRestoreToken);
    screen.saveRestoreToken("def-2");
    EXPECT_EQ(Read(),
              "; installation defaults\r\n[Device]\r\nBitrate=500\r\nHaveAudio=1\r\nBitrate=123\r\n"
              "Host=[::1]\r\nscreencapture = Portal\r\nScreenCaptureToken=def-2\r\nVideoStyle=2\r\n"
              "DeviceID=1\r\n\r\n[Audio]\r\nSamplesPerSec=44100\r\n");
    EXPECT_EQ(LoadScreenCaptureOptions(ini).restoreToken, "def-2");
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
    // Windows' open command and icon: the path in quotes (blanks and '%' stay as they are), and
    // the URL as one argument; a path that can't be quoted so registers nothing.
    EXPECT_EQ(UrlProtocolCommand("C:\\Program Files\\Tutor 100%\\broadcast_console.exe"),
              "\"C:\\Program Files\\Tutor 100%\\broadcast_console.exe\" \"%1\"");
    EXPECT_EQ(UrlProtocolIcon("C:\\T\\b.exe"), "\"C:\\T\\b.exe\",0");
    for (const char* unquotable : {"", "C:\\a\"b.exe", "C:\\a\nb.exe"})
        EXPECT_EQ(UrlProtocolCommand(unquotable) + UrlProtocolIcon(unquotable), "") << unquotable;
    const fs::path entry = dir_ / "entry.desktop";
    std::ofstream(entry) << text;
    if (std::system("command -v desktop-file-validate >/dev/null") == 0) {
        EXPECT_EQ(std::system(("desktop-file-validate '" + entry.string() + "'").c_str()), 0);
    }
}

TEST_F(ConfigDir, RegisteringWritesTheEntryAndAnXdgMimeThatNeverEndsIsKilledAfterFiveSeconds) {
    using namespace std::chrono_literals;
    // An xdg-mime first on PATH that notes its arguments and process id and then hangs.
    const fs::path fake = dir_ / "bin" / "xdg-mime";
    fs::create_directories(fake.parent_path());
    std::ofstream(fake) << "#!/bin/sh\necho \"$@\" > \"$0.args\"\necho $$ > \"$0.pid.new\"\n"
                        << "mv \"$0.pid.new\" \"$0.pid\"\nexec sleep 1000\n";
    fs::permissions(fake, fs::perms::owner_all);
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (fake.parent_path().string() + ":" + path).c_str(), 1);
    // Registering writes the entry for the running program; the folder stays where it was.
    const fs::path folder = fs::current_path();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(RegisterUrlProtocol((dir_ / "applications").string()), 1);
    EXPECT_EQ(fs::current_path(), folder);
    EXPECT_EQ(rtmp::test::ReadTextFile(dir_ / "applications" / kDesktopEntryName),
              DesktopEntryText(fs::read_symlink("/proc/self/exe").string()));
    pid_t pid = 0;
    const bool ran =
        WaitUntil([&] { return (std::ifstream(fake.string() + ".pid") >> pid).good(); }, 10s);
    ::setenv("PATH", path.c_str(), 1);
    ASSERT_TRUE(ran);
    // Still running after the registration returned: it did not wait for xdg-mime.
    EXPECT_EQ(::kill(pid, 0), 0);
    EXPECT_EQ(rtmp::test::ReadTextFile(fake.string() + ".args"),
              std::string("default ") + kDesktopEntryName + " x-scheme-handler/zembra.publish\n");
    // Killed (and reaped) once its time is up.
    EXPECT_TRUE(WaitUntil([&] { return ::kill(pid, 0) != 0; }, 20s));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 5s);
    if (::kill(pid, 0) == 0)
        ::kill(pid, SIGKILL);
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

// A socket file at path, bound and closed: nobody listens on it.
void LeaveStaleSocket(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

// The launch channel takes URLs from, and hands them to, processes of this user only, as the
// system recorded them when they connected; and it clears what it left at the socket's name
// itself, never another user's file.
TEST(LaunchChannel, OnlyThisUsersPeersAreTrustedAndOnlyItsOwnLeftoversCleared) {
    const unsigned self = ::geteuid();
    for (const auto& [peer, trusted] : std::vector<std::pair<std::optional<unsigned>, bool>>{
             {self, true}, {self ^ 1, false}, {65534u, self == 65534}, {std::nullopt, false}})
        EXPECT_EQ(LaunchPeerTrusted(peer, self), trusted) << peer.value_or(~0u);
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    EXPECT_EQ(platform::PeerUserId(ends[1]), std::optional<unsigned>(self));
    ::close(ends[0]);
    ::close(ends[1]);
    ASSERT_EQ(::pipe(ends), 0);  // not a socket
    EXPECT_EQ(std::pair(platform::PeerUserId(ends[0]), platform::PeerUserId(-1)),
              std::pair(std::optional<unsigned>(), std::optional<unsigned>()));
    ::close(ends[0]);
    ::close(ends[1]);

    rtmp::test::TempDir tmp("tutorlane-socket");
    const bool root = self == 0;
    const auto own = [&](const char* name) { return tmp / name; };
    std::ofstream(own("file")) << "x";
    LeaveStaleSocket(own("stale"));
    fs::create_directories(own("folder") / "inside");
    std::ofstream(own("foreign")) << "x";
    LeaveStaleSocket(own("foreign-socket"));
    if (root) {
        ASSERT_EQ(::chown(own("foreign").c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown(own("foreign-socket").c_str(), 65534, 65534), 0);
    }
    struct Case {
        const char* name;
        bool socketUsable;  // OwnSocketProblem says ""
        bool cleared;       // ClearOwnLeftover leaves nothing and says ""
    };
    for (const Case& c : std::vector<Case>{{"missing", false, true},
                                           {"file", false, true},
                                           {"stale", true, true},
                                           {"folder", false, false},
                                           {"foreign", false, !root},
                                           {"foreign-socket", !root, !root}}) {
        SCOPED_TRACE(c.name);
        const std::string path = own(c.name).string();
        EXPECT_EQ(platform::OwnSocketProblem(path).empty(), c.socketUsable);
        const std::string problem = platform::ClearOwnLeftover(path);
        EXPECT_EQ(problem.empty(), c.cleared) << problem;
        EXPECT_EQ(fs::exists(fs::symlink_status(path)),
                  std::string(c.name) != "missing" && !c.cleared);
        if (!c.cleared) {
            EXPECT_THAT(problem, testing::StartsWith(path + ": "));
        }
    }
    if (!root)
        GTEST_SKIP() << "another user's connection needs root";
    // A connection from another user: the child connects as nobody, to a name outside the file
    // system that any user can reach.
    const std::string name = "tutorlane-peer-" + std::to_string(::getpid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path + 1, sizeof address.sun_path - 2);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    EXPECT_EQ(InChild([&] {
                  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                  return ::setuid(65534) == 0 &&
                                 ::connect(fd, reinterpret_cast<const sockaddr*>(&address),
                                           length) == 0
                             ? 0
                             : 1;
              }),
              0);
    const int accepted = ::accept(listener, nullptr, nullptr);
    EXPECT_EQ(platform::PeerUserId(accepted), std::optional<unsigned>(65534));
    EXPECT_FALSE(LaunchPeerTrusted(platform::PeerUserId(accepted), self));
    ::close(accepted);
    ::close(listener);
}

// Sets an environment variable for the object's lifetime.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// The local copy is on unless LocalCopy is 0, in LocalCopyFolder when one is written, else in the
// user's videos folder as xdg-user-dir names it (~/Videos when that is the home folder itself)
// plus Tutorlane. A broadcast's start makes the folder (0700) and names the file after the
// classroom and the local time; a folder that cannot be made still gets its path (the encoder
// tells why there is no copy).
TEST_F(ConfigDir, LocalCopyIsOnByDefaultInTheVideosFolderAndNamedAfterTheLesson) {
    const std::tuple<std::string, int, std::string> loads[] = {
        {"[Device]\nAddress=a&1\n", 1, ""},
        {"[Device]\nAddress=a&1\nLocalCopy=0\nLocalCopyFolder=/x\n", 0, "/x"},
        {"[Device]\nLocalCopy=2\nLocalCopyFolder= /srv/my copies \n", 1, "/srv/my copies"},
        {"[Device]\nLocalCopy=no\n", 1, ""},
    };
    for (const auto& [file, on, folder] : loads) {
        Write(file);
        Load();
        EXPECT_EQ(std::pair(s_.LocalCopy, s_.LocalCopyFolder), std::pair(on, folder)) << file;
    }

    const fs::path home = dir_ / "home";
    const ScopedEnv homeEnv("HOME", home.string());
    const ScopedEnv configEnv("XDG_CONFIG_HOME", (dir_ / "xdg").string());
    fs::create_directories(dir_ / "xdg");
    const std::pair<std::string, fs::path> videos[] = {
        {"", home / "Videos"},
        {"XDG_VIDEOS_DIR=\"$HOME/Filme\"\n", home / "Filme"},
        {"XDG_VIDEOS_DIR=\"$HOME/\"\n", home / "Videos"},
        {"XDG_VIDEOS_DIR=\"" + (dir_ / "v").string() + "\"\n", dir_ / "v"},
    };
    for (const auto& [dirs, folder] : videos) {
        fs::remove(dir_ / "xdg" / "user-dirs.dirs");
        if (!dirs.empty())
            std::ofstream(dir_ / "xdg" / "user-dirs.dirs") << dirs;
        EXPECT_EQ(DefaultLocalCopyFolder(), (folder / "Tutorlane").string()) << dirs;
    }
    fs::remove(dir_ / "xdg" / "user-dirs.dirs");

    // 14 November 2023, 22:13:20 UTC, in this process's time zone.
    constexpr std::time_t kStart = 1700000000;
    const auto stamp = rtmp::test::RunProcess({"date", "-d", "@1700000000", "+%Y%m%d-%H%M%S"});
    ASSERT_TRUE(stamp.Succeeded());
    const std::string name = "4711-" + stamp.out.substr(0, 15) + ".mp4";
    std::ofstream(dir_ / "plain") << "a file, not a folder";
    const std::tuple<int, std::string, std::string> starts[] = {
        {1, (dir_ / "a" / "b/").string(), (dir_ / "a" / "b" / name).string()},
        {1, "", (home / "Videos" / "Tutorlane" / name).string()},
        {1, (dir_ / "plain" / "c").string(), (dir_ / "plain" / "c" / name).string()},
        {0, (dir_ / "off").string(), ""},
    };
    for (const auto& [on, folder, path] : starts) {
        BroadcastSettings s;
        s.LocalCopy = on;
        s.LocalCopyFolder = folder;
        PrepareLocalCopy(s, "4711", kStart);
        EXPECT_EQ(s.localCopyPath, path);
        if (!path.empty() && fs::is_directory(fs::path(path).parent_path())) {
            EXPECT_EQ(fs::status(fs::path(path).parent_path()).permissions(), fs::perms::owner_all);
        }
    }
    EXPECT_TRUE(fs::is_directory(home / "Videos" / "Tutorlane"));
    EXPECT_FALSE(fs::exists(dir_ / "off"));

    std::tm start{};
    std::tie(start.tm_year, start.tm_mon, start.tm_mday) = std::tuple(126, 2, 5);
    std::tie(start.tm_hour, start.tm_min, start.tm_sec) = std::tuple(9, 8, 7);
    const std::pair<std::string, std::string> names[] = {
        {"4711", "4711"},
        {"../etc/x y", "___etc_x_y"},
        {"", "classroom"},
        {"\xE8\xAF\xBE-A_z", "___-A_z"},
        {std::string(80, '9'), std::string(64, '9')},
    };
    for (const auto& [classroom, shown] : names)
        EXPECT_EQ(LocalCopyFileName(classroom, start), shown + "-20260305-090807.mp4");
}

// What the teacher reads of each state of the copy: the status line, the question at the end of
// the broadcast, and the console's lines at the start and at the end.
TEST(LocalCopyTexts, EachStateSaysWhereTheFileIsOrWhyThereIsNone) {
    const std::string path = "/v/Tutorlane/4711-20260305-090807.mp4";
    const auto copy = [](int state, int error, uint64_t bytes, const std::string& file) {
        OcelixLocalCopy c{};
        c.state = state;
        c.systemError = error;
        c.bytesWritten = bytes;
        std::snprintf(c.path, sizeof c.path, "%s", file.c_str());
        return c;
    };
    const std::string ask = "\n" + path + "\n打开所在的文件夹吗？";
    struct Row {
        OcelixLocalCopy copy;
        std::string status, question, start, end;
    };
    // Saved: the file and its size; stopped early: why, and what was saved; none: why.
    const auto saved = [&](int state, uint64_t bytes, const std::string& status,
                           const std::string& size) {
        return Row{copy(state, 0, bytes, path), status,
                   "本课的录像（" + size + "）已保存在：" + ask, "本地录像: " + path,
                   "本地录像: " + path + " (" + size + ", 已保存)"};
    };
    const auto stopped = [&](int state, int error, uint64_t bytes, const std::string& why,
                             const std::string& size) {
        return Row{copy(state, error, bytes, path), "本地录制已停止：" + why,
                   "本地录制提前停止（" + why + "），已录下的 " + size + " 保存在：" + ask,
                   "本地录像: " + path,
                   "本地录像: " + path + " (" + size + ", 提前停止: " + why + ")"};
    };
    const auto none = [&](int state, int error, const std::string& file, const std::string& why) {
        const std::string line = "没有本地录像: " + why + (file.empty() ? "" : " (" + file + ")");
        return Row{copy(state, error, 0, file), "未能本地录制：" + why, "", line, line};
    };
    const Row rows[] = {
        saved(OCELIX_COPY_RECORDING, 12345678, "本地录制中 12.3 MB", "12.3 MB"),
        saved(OCELIX_COPY_ENDED, 999949999, "", "999.9 MB"),
        saved(OCELIX_COPY_ENDED, 999950000, "", "1.00 GB"),
        none(OCELIX_COPY_FAILED, EROFS, path, "文件夹不可写入"),
        none(OCELIX_COPY_FAILED, EACCES, path, "文件夹不可写入"),
        none(OCELIX_COPY_FAILED, ENOTDIR, path, "文件夹无法创建"),
        none(OCELIX_COPY_FAILED, ENAMETOOLONG, "", "路径太长"),
        none(OCELIX_COPY_DISK_FULL, ENOSPC, "", "磁盘空间不足"),
        stopped(OCELIX_COPY_DISK_FULL, ENOSPC, 500000000, "磁盘空间不足", "500.0 MB"),
        // A FAT stick's 4 GiB and a stick pulled out are not a full disk.
        stopped(OCELIX_COPY_DISK_FULL, EFBIG, 500000000, "文件超出磁盘允许的大小", "500.0 MB"),
        stopped(OCELIX_COPY_DISK_FULL, EIO, 500000000, "无法写入磁盘", "500.0 MB"),
        stopped(OCELIX_COPY_TOO_SLOW, 0, 40000, "磁盘太慢", "0.0 MB"),
        // Ended before anything was written: the empty file is gone.
        {copy(OCELIX_COPY_ENDED, 0, 0, ""), "", "", "没有本地录像", "没有本地录像"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.copy.state);
        EXPECT_EQ(std::tuple(CopyStatusText(row.copy), CopyEndQuestion(row.copy),
                             CopyConsoleLine(row.copy, true, false),
                             CopyConsoleLine(row.copy, true, true)),
                  std::tuple(row.status, row.question, row.start, row.end));
    }
    EXPECT_EQ(CopyConsoleLine(copy(OCELIX_COPY_OFF, 0, 0, ""), false, true), "本地录像: 已关闭");
    // A path that fills the record without its end mark is read up to the record's end.
    OcelixLocalCopy full = copy(OCELIX_COPY_RECORDING, 0, 1, "");
    std::memset(full.path, 'x', sizeof full.path);
    EXPECT_EQ(CopyPath(full), std::string(sizeof full.path, 'x'));
    EXPECT_EQ(std::tuple(FolderOf(path), FolderOf("/a.mp4"), FolderOf("a.mp4")),
              std::tuple("/v/Tutorlane", "/", "."));
}

// A file that cannot be read is never replaced, and a write that fails leaves the old file; both
// are reported.
TEST_F(ConfigDir, FailedReadsAndWritesLeaveTheOldFileAndAreReported) {
    // Something that exists at the name but can't be read as a file: a folder, or a named pipe
    // nobody writes to (reading it must not wait for a writer).
    long readErrors = 0;
    for (const bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "named pipe" : "folder");
        fs::remove(Path());
        if (pipe)
            ASSERT_EQ(::mkfifo(Path().c_str(), 0600), 0);
        else
            fs::create_directories(Path());
        std::string error;
        EXPECT_FALSE(IniFile(Path()).WriteString("Device", "Address", "x", &error));
        EXPECT_NE(error, "");
        EXPECT_EQ(fs::status(Path()).type(), pipe ? fs::file_type::fifo : fs::file_type::directory);
        LoadSettings(IniFile(Path()), nullptr, messages_, s_, d_);
        EXPECT_THAT(messages_.Texts(),
                    testing::Contains(testing::StartsWith("设置无法读取: ")).Times(++readErrors));
    }
    // A missing file is no error: it reads as empty and a write makes it.
    fs::remove(Path());
    EXPECT_EQ(IniFile(Path()).ReadError(), "");
    EXPECT_TRUE(IniFile(Path()).WriteString("Device", "Address", "x"));
    EXPECT_EQ(Read(), "[Device]\nAddress=x\n");

    const std::string original =
        "[Device]\nAddress=abc\nBitrate=800\nHaveAudio=1\n" + std::string(300, ';') + "\n";
    Write(original);
    BroadcastSettings settings;
    settings.Bitrate = 800;
    DialogValues dialog;
    dialog.bitrate = 500;
    const auto saveFails = [&] {
        capture::test::RecordingMessageSink messages;
        SaveChangedSettings(IniFile(Path()), settings, dialog, &messages);
        return testing::Matches(testing::ElementsAre(testing::StartsWith("设置无法保存: ")))(
            messages.Texts());
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
    EXPECT_THAT(std::vector<fs::path>(fs::directory_iterator(dir_), {}),  // no temp file
                testing::UnorderedElementsAre(Path(), Path() + ".lock"));
}

}  // namespace
}  // namespace app
