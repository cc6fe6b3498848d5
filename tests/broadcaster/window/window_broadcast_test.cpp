// Broadcasts from the window to a local nginx-rtmp: the classroom variables in order, the two
// button states, the failure message, the picture-type message and the settings written back.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <filesystem>

#include "app/audio_device_table.h"
#include "app/broadcaster_dlg.h"
#include "app/ini_file.h"
#include "app/shockwave_flash.h"
#include "support/child_process.h"
#include "support/nginx_rtmp_server.h"
#include "window/window_fixture.h"

namespace {

using window_test::ConfigText;
using window_test::MessageCatcher;
using window_test::ProgramFolder;
using window_test::Shifted;
using window_test::WaitFor;
using Variables = std::vector<std::pair<QString, QString>>;

QPushButton* Button(QWidget& dialog, const char* name) {
    return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
}

// A small screen picture without sound keeps the encoder light.
std::string BroadcastConfig(const std::string& plainAddress, const std::string& bitrate = "300") {
    return ConfigText({{"Address", Shifted(plainAddress)},
                       {"VideoStyle", "0"},
                       {"ScreenWidth", "320"},
                       {"ScreenHeight", "240"},
                       {"FrameRate", "10"},
                       {"Bitrate", bitrate},
                       {"HaveAudio", "0"}});
}

bool Broadcasting(QWidget& dialog) {
    return Button(dialog, "ctl1012")->isHidden() && !Button(dialog, "ctl1012")->isEnabled() &&
           !Button(dialog, "ctl1043")->isHidden() && Button(dialog, "ctl1043")->isEnabled();
}

bool Idle(QWidget& dialog) {
    return !Button(dialog, "ctl1012")->isHidden() && Button(dialog, "ctl1012")->isEnabled() &&
           Button(dialog, "ctl1043")->isHidden() && !Button(dialog, "ctl1043")->isEnabled();
}

// Clicks a button and waits until the start or stop it began has ended.
void ClickAndWait(app::CBroadcasterDlg& dialog, const char* button) {
    QTest::mouseClick(Button(dialog, button), Qt::LeftButton);
    WaitFor([&] { return !dialog.Busy(); }, 30000);
}

class WindowBroadcast : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start()) << server_.Error();
        url_ = server_.Url("live", "lesson");
    }

    rtmp::test::NginxRtmpServer server_;
    std::string url_;
};

TEST_F(WindowBroadcast, StartSetsTheClassroomNumberBeforeTheStreamAndStopClearsIt) {
    ProgramFolder folder(BroadcastConfig(url_ + "&4711"));
    MessageCatcher messages;
    app::CBroadcasterDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(WaitFor([&] { return dialog.Classroom()->PageLoaded(); }, 20000));
    const size_t before = dialog.Classroom()->VariableLog().size();

    // Another classroom since the window opened: the start reads the address again.
    app::IniFile(folder.Config().string())
        .WriteString("Device", "Address", Shifted(server_.Url("live", "lesson2") + "&4712"));
    ClickAndWait(dialog, "ctl1012");
    ASSERT_TRUE(Broadcasting(dialog)) << messages.Texts().join("|").toStdString();
    ASSERT_TRUE(dialog.Feeder() != nullptr && dialog.Feeder()->Running());

    const Variables started(dialog.Classroom()->VariableLog().begin() + static_cast<long>(before),
                            dialog.Classroom()->VariableLog().end());
    const QString stream = QString::fromStdString(server_.Url("live", "lesson2"));
    const Variables expected{
        {"isOMB", "true"}, {"meetingid", "4712"}, {"currentStreamName", stream}};
    EXPECT_EQ(started, expected);

    // The page and the status line follow.
    EXPECT_TRUE(WaitFor(
        [&] {
            return window_test::EvaluateInPage(dialog.Classroom(),
                                               "document.getElementById('live').textContent")
                       .toString() == QStringLiteral("直播中");
        },
        5000));
    EXPECT_EQ(window_test::EvaluateInPage(dialog.Classroom(),
                                          "document.getElementById('meetingid').textContent")
                  .toString(),
              QStringLiteral("4712"));
    auto* status = dialog.findChild<QLabel*>(QStringLiteral("statusLine"));
    EXPECT_TRUE(WaitFor(
        [&] {
            return status->text().contains(QStringLiteral("直播中")) &&
                   !status->text().contains(QStringLiteral(" 0 kbit/s")) &&
                   status->text().contains(QStringLiteral(" ms"));  // the delay
        },
        5000))
        << status->text().toStdString();
    EXPECT_FALSE(status->text().contains(QStringLiteral("未发送音频")));  // no audio wanted

    ClickAndWait(dialog, "ctl1043");
    EXPECT_TRUE(Idle(dialog));
    EXPECT_FALSE(dialog.Feeder()->Running());
    ASSERT_FALSE(dialog.Classroom()->VariableLog().empty());
    EXPECT_EQ(dialog.Classroom()->VariableLog().back(),
              std::make_pair(QStringLiteral("currentStreamName"), QString()));
    EXPECT_TRUE(messages.Texts().isEmpty()) << messages.Texts().join("|").toStdString();

    // The server got the stream under the new classroom's name.
    EXPECT_TRUE(WaitFor(
        [&] {
            std::error_code ec;
            return std::filesystem::file_size(server_.RecordingPath("lesson2"), ec) > 1000;
        },
        3000));
}

TEST_F(WindowBroadcast, StartWithTheServerDownSaysSoAndChangesNoClassroomVariable) {
    ProgramFolder folder(BroadcastConfig(url_ + "&4711"));
    server_.Stop();
    MessageCatcher messages;
    app::CBroadcasterDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    const Variables before = dialog.Classroom()->VariableLog();

    ClickAndWait(dialog, "ctl1012");
    EXPECT_EQ(messages.Texts(), QStringList{QStringLiteral("连接服务器失败")});
    EXPECT_TRUE(Idle(dialog));
    EXPECT_EQ(dialog.Classroom()->VariableLog(), before);
}

TEST_F(WindowBroadcast, PictureTypeChangeWhileBroadcastingTakesEffectAtTheNextStart) {
    ProgramFolder folder(BroadcastConfig(url_ + "&4711"));
    MessageCatcher messages;
    app::CBroadcasterDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    auto* pictureType = dialog.findChild<QComboBox*>(QStringLiteral("ctl1057"));
    ClickAndWait(dialog, "ctl1012");
    ASSERT_TRUE(Broadcasting(dialog));

    pictureType->setFocus();
    QTest::keyClick(pictureType, Qt::Key_Down);  // to "仅直播摄像头"
    WaitFor([&] { return !messages.Texts().isEmpty(); }, 2000);
    EXPECT_EQ(messages.Texts(), QStringList{QStringLiteral("重新开始直播后才能生效")});
    messages.Clear();
    QTest::keyClick(pictureType, Qt::Key_Up);  // back to the type in effect
    window_test::Pump(200);
    EXPECT_TRUE(messages.Texts().isEmpty());
    EXPECT_EQ(dialog.Settings()->VideoStyle, 0);  // the running broadcast is unchanged

    ClickAndWait(dialog, "ctl1043");
    QTest::keyClick(pictureType, Qt::Key_Down);  // idle again: no message
    window_test::Pump(200);
    EXPECT_TRUE(messages.Texts().isEmpty());
}

TEST_F(WindowBroadcast, ChangedControlsAreWrittenBackAtTheNextStartOnly) {
    // No camera chosen: with or without cameras on this machine the list index stays -1.
    std::string config = BroadcastConfig(url_ + "&4711");
    config.replace(config.find("DeviceID=0"), 10, "DeviceID=-1");
    ProgramFolder folder(config);
    MessageCatcher messages;
    app::CBroadcasterDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    const std::string original = folder.ConfigNow();
    auto* bitrate = dialog.findChild<QLineEdit*>(QStringLiteral("ctl1056"));

    // Not an integer: the start says so and keeps the previous bit rate.
    bitrate->clear();
    QTest::keyClicks(bitrate, QStringLiteral("fast"));
    ClickAndWait(dialog, "ctl1012");
    EXPECT_EQ(messages.Texts(), QStringList{QStringLiteral("请输入一个整数。")});
    ASSERT_TRUE(Broadcasting(dialog));
    EXPECT_EQ(dialog.Settings()->Bitrate, 300);
    EXPECT_EQ(folder.ConfigNow(), original);
    ClickAndWait(dialog, "ctl1043");
    messages.Clear();

    bitrate->clear();
    QTest::keyClicks(bitrate, QStringLiteral("5000"));
    window_test::Pump(50);
    EXPECT_EQ(folder.ConfigNow(), original);  // typing writes nothing

    ClickAndWait(dialog, "ctl1012");
    ASSERT_TRUE(Broadcasting(dialog)) << messages.Texts().join("|").toStdString();
    const app::IniFile ini(folder.Config().string());
    EXPECT_EQ(ini.GetInt("Device", "Bitrate", 0), 5000);
    EXPECT_EQ(dialog.Settings()->Bitrate, 5000);
    EXPECT_EQ(dialog.Feeder()->Config().bitrate, 5000);
    // Only that line changed.
    std::string expected = original;
    expected.replace(expected.find("Bitrate=300"), 11, "Bitrate=5000");
    EXPECT_EQ(folder.ConfigNow(), expected);

    ClickAndWait(dialog, "ctl1043");
    EXPECT_EQ(folder.ConfigNow(), expected);  // stopping writes nothing
    EXPECT_TRUE(messages.Texts().isEmpty()) << messages.Texts().join("|").toStdString();
}

TEST_F(WindowBroadcast, DoubleClicksActAsOneClickAndAMicrophoneThatSendsNothingIsShown) {
    std::string config = BroadcastConfig(url_ + "&4711");
    config.replace(config.find("HaveAudio=0"), 11, "HaveAudio=1");
    ProgramFolder folder(config);
    MessageCatcher messages;
    app::CBroadcasterDlg dialog;
    dialog.OnInitDialog();
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    // A capture device that can't be opened is the one chosen.
    auto* audio = dialog.findChild<QComboBox*>(QStringLiteral("ctl1055"));
    const auto slot = app::AudioDeviceTable::Instance().Add("tutorlane_no_such_pcm");
    ASSERT_TRUE(slot.has_value());
    audio->addItem(QStringLiteral("broken"), QVariant::fromValue(static_cast<qulonglong>(*slot)));
    audio->setCurrentIndex(audio->count() - 1);

    // Both clicks land where the start button was; the second meets the stop button, which
    // ignores clicks while the start runs.
    QPushButton* start = Button(dialog, "ctl1012");
    QTest::mouseDClick(start, Qt::LeftButton);
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_TRUE(dialog.Busy());
    EXPECT_FALSE(Button(dialog, "ctl1043")->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return !dialog.Busy(); }, 30000));
    // The clicks were all delivered before the start ended: nothing is left to act on them.
    EXPECT_TRUE(Broadcasting(dialog)) << messages.Texts().join("|").toStdString();
    EXPECT_TRUE(dialog.Feeder()->Running());
    auto* status = dialog.findChild<QLabel*>(QStringLiteral("statusLine"));
    EXPECT_TRUE(
        WaitFor([&] { return status->text().contains(QStringLiteral("未发送音频")); }, 10000))
        << status->text().toStdString();
    messages.Clear();  // what the audio capture said about the device

    QPushButton* stop = Button(dialog, "ctl1043");
    QTest::mouseDClick(stop, Qt::LeftButton);
    QTest::mouseClick(stop, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !dialog.Busy(); }, 30000));
    EXPECT_TRUE(Idle(dialog));
    EXPECT_FALSE(dialog.Feeder()->Running());
    EXPECT_TRUE(messages.Texts().isEmpty()) << messages.Texts().join("|").toStdString();
}

TEST_F(WindowBroadcast, LaterStartsChangeNothingUntilTheTeacherAcceptsTheForwardedClassroom) {
    // No camera chosen, so that the start writes nothing back.
    std::string config = BroadcastConfig(url_ + "&4711");
    config.replace(config.find("DeviceID=0"), 10, "DeviceID=-1");
    ProgramFolder folder(config);
    MessageCatcher messages;
    app::CBroadcasterDlg dialog;
    dialog.OnInitDialog();  // takes the session's instance lock and listens for launches
    dialog.show();
    const std::string settings = folder.ConfigNow();
    const std::string other = server_.Url("live", "other") + "&4712";

    // The built program started again in this session, as from the menu and from another
    // classroom page: it says so and ends, and no settings file changes.
    rtmp::test::TempDir secondLogs("tutorlane_second");
    const auto log = secondLogs / "messages.txt";
    const auto second = [&](const std::string& url) {
        std::filesystem::remove(log);
        const auto result = rtmp::test::RunProcess(
            {"env", "TUTORLANE_MESSAGE_LOG=" + log.string(), "TUTORLANE_MESSAGE_AUTOCLOSE_MS=300",
             TUTORLANE_BROADCASTER_PROGRAM, url},
            std::chrono::seconds(60));
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(rtmp::test::ReadTextFile(log), "程序正在运行，不能运行多个副本\n");
        EXPECT_EQ(folder.ConfigNow(), settings);
    };
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::filesystem::path userConfig =
        std::filesystem::path(configHome != nullptr ? configHome : "") / "tutorlane" / "config.ini";
    std::error_code ec;
    const bool userConfigBefore = std::filesystem::exists(userConfig, ec);
    second("");
    EXPECT_EQ(std::filesystem::exists(userConfig, ec), userConfigBefore);
    second(window_test::LaunchUrl(other));
    EXPECT_EQ(std::filesystem::exists(userConfig, ec), userConfigBefore);

    // The forwarded classroom is shown and refused: the window stays on its classroom.
    ASSERT_TRUE(WaitFor([&] { return !messages.Texts().isEmpty(); }, 10000));
    EXPECT_TRUE(messages.Texts().constFirst().contains(QStringLiteral("4712")))
        << messages.Texts().join("|").toStdString();
    EXPECT_EQ(folder.ConfigNow(), settings);
    EXPECT_EQ(dialog.Values().meetingId, "4711");
    ClickAndWait(dialog, "ctl1012");
    ASSERT_TRUE(Broadcasting(dialog)) << messages.Texts().join("|").toStdString();
    EXPECT_EQ(dialog.Settings()->publishUrl, url_);
    EXPECT_TRUE(WaitFor(
        [&] {
            std::error_code e;
            return std::filesystem::file_size(server_.RecordingPath("lesson"), e) > 1000;
        },
        5000));
    ClickAndWait(dialog, "ctl1043");
    messages.Clear();

    // Accepted: the window switches to it.
    messages.AnswerYes(true);
    second(window_test::LaunchUrl(other));
    ASSERT_TRUE(WaitFor([&] { return dialog.Values().meetingId == "4712"; }, 10000))
        << messages.Texts().join("|").toStdString();
    EXPECT_EQ(app::IniFile(folder.Config().string()).GetString("Device", "Address", "", 99),
              Shifted(other));
    ClickAndWait(dialog, "ctl1043");
}

}  // namespace
