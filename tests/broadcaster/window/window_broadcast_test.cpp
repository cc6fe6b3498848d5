// Broadcasts from the window to a local nginx-rtmp: the classroom variables in order, the two
// button states, the failure message, the picture-type message and the settings written back.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "app/audio_device_table.h"
#include "app/broadcaster_dlg.h"
#include "app/ini_file.h"
#include "app/shockwave_flash.h"
#include "capture/video_test_doubles.h"
#include "support/child_process.h"
#include "support/nginx_rtmp_server.h"
#include "window/window_fixture.h"

namespace {

using window_test::ConfigText;
using window_test::MessageCatcher;
using window_test::OpenWindow;
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

// A start with the server down fails and changes nothing; the next sets the classroom number
// before the stream, and stop clears it.
TEST_F(WindowBroadcast, StartSetsTheClassroomNumberBeforeTheStreamAndStopClearsIt) {
    OpenWindow w(BroadcastConfig(url_ + "&4711"));
    ASSERT_TRUE(WaitFor([&] { return w.dialog.Classroom()->PageLoaded(); }, 20000));
    // With the server down the start says so and changes no classroom variable.
    server_.Stop();
    const Variables idle = w.dialog.Classroom()->VariableLog();
    ClickAndWait(w.dialog, "ctl1012");
    EXPECT_EQ(w.messages.Texts(), QStringList{QStringLiteral("连接服务器失败")});
    EXPECT_TRUE(Idle(w.dialog));
    EXPECT_EQ(w.dialog.Classroom()->VariableLog(), idle);
    w.messages.Clear();
    ASSERT_TRUE(server_.Start()) << server_.Error();
    const size_t before = idle.size();

    // Another classroom since the window opened: the start reads the address again.
    app::IniFile(w.folder.Config().string())
        .WriteString("Device", "Address", Shifted(server_.Url("live", "lesson2") + "&4712"));
    ClickAndWait(w.dialog, "ctl1012");
    ASSERT_TRUE(Broadcasting(w.dialog)) << w.messages.Texts().join("|").toStdString();
    ASSERT_TRUE(w.dialog.Feeder() != nullptr && w.dialog.Feeder()->Running());

    const Variables started(w.dialog.Classroom()->VariableLog().begin() + static_cast<long>(before),
                            w.dialog.Classroom()->VariableLog().end());
    const QString stream = QString::fromStdString(server_.Url("live", "lesson2"));
    const Variables expected{
        {"isOMB", "true"}, {"meetingid", "4712"}, {"currentStreamName", stream}};
    EXPECT_EQ(started, expected);

    // The page and the status line follow.
    EXPECT_TRUE(WaitFor(
        [&] {
            return window_test::EvaluateInPage(w.dialog.Classroom(),
                                               "document.getElementById('live').textContent")
                       .toString() == QStringLiteral("直播中");
        },
        5000));
    EXPECT_EQ(window_test::EvaluateInPage(w.dialog.Classroom(),
                                          "document.getElementById('meetingid').textContent")
                  .toString(),
              QStringLiteral("4712"));
    auto* status = w.dialog.findChild<QLabel*>(QStringLiteral("statusLine"));
    EXPECT_TRUE(WaitFor(
        [&] {
            return status->text().contains(QStringLiteral("直播中")) &&
                   !status->text().contains(QStringLiteral(" 0 kbit/s")) &&
                   status->text().contains(QStringLiteral(" ms"));  // the delay
        },
        5000))
        << status->text().toStdString();
    EXPECT_FALSE(status->text().contains(QStringLiteral("未发送音频")));  // no audio wanted

    ClickAndWait(w.dialog, "ctl1043");
    EXPECT_TRUE(Idle(w.dialog));
    EXPECT_FALSE(w.dialog.Feeder()->Running());
    ASSERT_FALSE(w.dialog.Classroom()->VariableLog().empty());
    EXPECT_EQ(w.dialog.Classroom()->VariableLog().back(),
              std::make_pair(QStringLiteral("currentStreamName"), QString()));
    EXPECT_TRUE(w.messages.Texts().isEmpty()) << w.messages.Texts().join("|").toStdString();

    // The server got the stream under the new classroom's name.
    EXPECT_TRUE(WaitFor(
        [&] {
            std::error_code ec;
            return std::filesystem::file_size(server_.RecordingPath("lesson2"), ec) > 1000;
        },
        3000));
}

// Changed controls are written back at the next start only, and a picture-type change while
// broadcasting waits for it too.
TEST_F(WindowBroadcast, ChangedControlsAndPictureTypeTakeEffectAtTheNextStartOnly) {
    // No camera chosen: with or without cameras on this machine the list index stays -1.
    std::string config = BroadcastConfig(url_ + "&4711");
    config.replace(config.find("DeviceID=0"), 10, "DeviceID=-1");
    OpenWindow w(config);
    const std::string original = w.folder.ConfigNow();
    auto* bitrate = w.dialog.findChild<QLineEdit*>(QStringLiteral("ctl1056"));

    // Not an integer: the start says so and keeps the previous bit rate.
    bitrate->clear();
    QTest::keyClicks(bitrate, QStringLiteral("fast"));
    ClickAndWait(w.dialog, "ctl1012");
    EXPECT_EQ(w.messages.Texts(), QStringList{QStringLiteral("请输入一个整数。")});
    ASSERT_TRUE(Broadcasting(w.dialog));
    EXPECT_EQ(w.dialog.Settings()->Bitrate, 300);
    EXPECT_EQ(w.folder.ConfigNow(), original);
    ClickAndWait(w.dialog, "ctl1043");
    w.messages.Clear();

    bitrate->clear();
    QTest::keyClicks(bitrate, QStringLiteral("5000"));
    EXPECT_EQ(w.folder.ConfigNow(), original);  // typing writes nothing

    ClickAndWait(w.dialog, "ctl1012");
    ASSERT_TRUE(Broadcasting(w.dialog)) << w.messages.Texts().join("|").toStdString();
    const app::IniFile ini(w.folder.Config().string());
    EXPECT_EQ(ini.GetInt("Device", "Bitrate", 0), 5000);
    EXPECT_EQ(w.dialog.Settings()->Bitrate, 5000);
    EXPECT_EQ(w.dialog.Feeder()->Config().bitrate, 5000);
    // Only that line changed.
    std::string expected = original;
    expected.replace(expected.find("Bitrate=300"), 11, "Bitrate=5000");
    EXPECT_EQ(w.folder.ConfigNow(), expected);

    EXPECT_TRUE(w.messages.Texts().isEmpty()) << w.messages.Texts().join("|").toStdString();

    // A picture-type change while broadcasting says it waits for the next start (the message
    // is shown at once), and going back to the type in effect says nothing.
    auto* pictureType = w.dialog.findChild<QComboBox*>(QStringLiteral("ctl1057"));
    pictureType->setFocus();
    QTest::keyClick(pictureType, Qt::Key_Down);  // to "仅直播摄像头"
    EXPECT_EQ(w.messages.Texts(), QStringList{QStringLiteral("重新开始直播后才能生效")});
    w.messages.Clear();
    QTest::keyClick(pictureType, Qt::Key_Up);
    EXPECT_TRUE(w.messages.Texts().isEmpty());
    EXPECT_EQ(w.dialog.Settings()->VideoStyle, 0);  // the running broadcast is unchanged

    ClickAndWait(w.dialog, "ctl1043");
    EXPECT_EQ(w.folder.ConfigNow(), expected);  // stopping writes nothing
    EXPECT_TRUE(w.messages.Texts().isEmpty()) << w.messages.Texts().join("|").toStdString();
}

TEST_F(WindowBroadcast, DoubleClicksActAsOneClickAndAMicrophoneThatSendsNothingIsShown) {
    std::string config = BroadcastConfig(url_ + "&4711");
    config.replace(config.find("HaveAudio=0"), 11, "HaveAudio=1");
    OpenWindow w(config);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.dialog));
    // A capture device that can't be opened is the one chosen.
    auto* audio = w.dialog.findChild<QComboBox*>(QStringLiteral("ctl1055"));
    const auto slot = app::AudioDeviceTable::Instance().Add("tutorlane_no_such_pcm");
    ASSERT_TRUE(slot.has_value());
    audio->addItem(QStringLiteral("broken"), QVariant::fromValue(static_cast<qulonglong>(*slot)));
    audio->setCurrentIndex(audio->count() - 1);

    // Both clicks land where the start button was; the second meets the stop button, which
    // ignores clicks while the start runs.
    QPushButton* start = Button(w.dialog, "ctl1012");
    QTest::mouseDClick(start, Qt::LeftButton);
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_TRUE(w.dialog.Busy());
    EXPECT_FALSE(Button(w.dialog, "ctl1043")->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return !w.dialog.Busy(); }, 30000));
    // The clicks were all delivered before the start ended: nothing is left to act on them.
    EXPECT_TRUE(Broadcasting(w.dialog)) << w.messages.Texts().join("|").toStdString();
    EXPECT_TRUE(w.dialog.Feeder()->Running());
    auto* status = w.dialog.findChild<QLabel*>(QStringLiteral("statusLine"));
    EXPECT_TRUE(
        WaitFor([&] { return status->text().contains(QStringLiteral("未发送音频")); }, 10000))
        << status->text().toStdString();
    w.messages.Clear();  // what the audio capture said about the device

    QPushButton* stop = Button(w.dialog, "ctl1043");
    QTest::mouseDClick(stop, Qt::LeftButton);
    QTest::mouseClick(stop, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !w.dialog.Busy(); }, 30000));
    EXPECT_TRUE(Idle(w.dialog));
    EXPECT_FALSE(w.dialog.Feeder()->Running());
    EXPECT_TRUE(w.messages.Texts().isEmpty()) << w.messages.Texts().join("|").toStdString();
}

TEST_F(WindowBroadcast, ACameraThatStopsDeliveringIsReportedOnTheStatusLine) {
    std::string config = BroadcastConfig(url_ + "&4711");
    config.replace(config.find("VideoStyle=0"), 12, "VideoStyle=1");  // the camera alone
    config.replace(config.find("VideoWidth=640"), 14, "VideoWidth=160");
    config.replace(config.find("VideoHeight=480"), 15, "VideoHeight=120");
    OpenWindow w(config);
    // One camera, frames from the test.
    auto camera = std::make_shared<capture::test::FakeVideoState>();
    camera->AddCamera("/dev/video0", "Test camera", {capture::kPixelYuyv});
    w.dialog.SetDeviceFactory(
        [camera](capture::MessageSink* messages, const capture::ScreenCaptureOptions&) {
            capture::FeederDevices devices;
            devices.camera = std::make_unique<capture::CCaptureVideo>(
                std::make_unique<capture::test::FakeVideoLayer>(camera), messages);
            return devices;
        });
    auto* cameras = w.dialog.findChild<QComboBox*>(QStringLiteral("ctl1053"));
    cameras->clear();
    cameras->addItem(QStringLiteral("Test camera"));
    cameras->setCurrentIndex(0);
    std::atomic<bool> delivering{true};
    std::thread frames([&] {
        for (double t = 0; delivering; t += 0.04) {
            camera->PushFrame(std::vector<uint8_t>(160 * 120 * 3, 0x80), t);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    });

    ClickAndWait(w.dialog, "ctl1012");
    EXPECT_TRUE(Broadcasting(w.dialog)) << w.messages.Texts().join("|").toStdString();
    // Five seconds of frames (more status ticks than a stall takes) say nothing of the camera.
    const QString failed =
        QStringLiteral("摄像头：") + QString::fromLatin1(capture::CCaptureVideo::kRunFailedText);
    auto* status = w.dialog.findChild<QLabel*>(QStringLiteral("statusLine"));
    bool reported = false;
    EXPECT_TRUE(WaitFor(
        [&] {
            reported |= status->text().contains(failed);
            return status->text().contains(QStringLiteral("直播中  00:00:05"));
        },
        20000))
        << status->text().toStdString();
    EXPECT_FALSE(reported);
    EXPECT_GT(w.dialog.Feeder()->CameraFrames(), 50u);

    delivering = false;
    frames.join();
    EXPECT_TRUE(WaitFor([&] { return status->text().contains(failed); }, 10000))
        << status->text().toStdString();
    ClickAndWait(w.dialog, "ctl1043");
    EXPECT_TRUE(Idle(w.dialog));
}

TEST_F(WindowBroadcast, LaterStartsChangeNothingUntilTheTeacherAcceptsTheForwardedClassroom) {
    // No camera chosen, so that the start writes nothing back.
    std::string config = BroadcastConfig(url_ + "&4711");
    config.replace(config.find("DeviceID=0"), 10, "DeviceID=-1");
    OpenWindow w(config);
    const std::string settings = w.folder.ConfigNow();
    const std::string other = server_.Url("live", "other") + "&4712";

    // The built program started again in this session, as from the menu and from another
    // classroom page: it says so and ends, and no settings file changes.
    rtmp::test::TempDir secondLogs("tutorlane_second");
    const auto log = secondLogs / "w.messages.txt";
    const auto second = [&](const std::string& url) {
        std::filesystem::remove(log);
        const auto result = rtmp::test::RunProcess(
            {"env", "TUTORLANE_MESSAGE_LOG=" + log.string(), "TUTORLANE_MESSAGE_AUTOCLOSE_MS=300",
             TUTORLANE_BROADCASTER_PROGRAM, url},
            std::chrono::seconds(60));
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(rtmp::test::ReadTextFile(log), "程序正在运行，不能运行多个副本\n");
        EXPECT_EQ(w.folder.ConfigNow(), settings);
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
    ASSERT_TRUE(WaitFor([&] { return !w.messages.Texts().isEmpty(); }, 10000));
    EXPECT_TRUE(w.messages.Texts().constFirst().contains(QStringLiteral("4712")))
        << w.messages.Texts().join("|").toStdString();
    EXPECT_EQ(w.folder.ConfigNow(), settings);
    EXPECT_EQ(w.dialog.Values().meetingId, "4711");
    ClickAndWait(w.dialog, "ctl1012");
    ASSERT_TRUE(Broadcasting(w.dialog)) << w.messages.Texts().join("|").toStdString();
    EXPECT_EQ(w.dialog.Settings()->publishUrl, url_);
    EXPECT_TRUE(WaitFor(
        [&] {
            std::error_code e;
            return std::filesystem::file_size(server_.RecordingPath("lesson"), e) > 1000;
        },
        5000));
    ClickAndWait(w.dialog, "ctl1043");
    w.messages.Clear();

    // Accepted: the window switches to it.
    w.messages.AnswerYes(true);
    second(window_test::LaunchUrl(other));
    ASSERT_TRUE(WaitFor([&] { return w.dialog.Values().meetingId == "4712"; }, 10000))
        << w.messages.Texts().join("|").toStdString();
    EXPECT_EQ(app::IniFile(w.folder.Config().string()).GetString("Device", "Address", "", 99),
              Shifted(other));
    ClickAndWait(w.dialog, "ctl1043");
}

}  // namespace
