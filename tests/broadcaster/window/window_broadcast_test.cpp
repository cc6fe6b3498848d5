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

#include "app/broadcaster_dlg.h"
#include "app/ini_file.h"
#include "app/shockwave_flash.h"
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
    QTest::mouseClick(Button(dialog, "ctl1012"), Qt::LeftButton);
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

    QTest::mouseClick(Button(dialog, "ctl1043"), Qt::LeftButton);
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

    QTest::mouseClick(Button(dialog, "ctl1012"), Qt::LeftButton);
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
    QTest::mouseClick(Button(dialog, "ctl1012"), Qt::LeftButton);
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

    QTest::mouseClick(Button(dialog, "ctl1043"), Qt::LeftButton);
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
    QTest::mouseClick(Button(dialog, "ctl1012"), Qt::LeftButton);
    EXPECT_EQ(messages.Texts(), QStringList{QStringLiteral("请输入一个整数。")});
    ASSERT_TRUE(Broadcasting(dialog));
    EXPECT_EQ(dialog.Settings()->Bitrate, 300);
    EXPECT_EQ(folder.ConfigNow(), original);
    QTest::mouseClick(Button(dialog, "ctl1043"), Qt::LeftButton);
    messages.Clear();

    bitrate->clear();
    QTest::keyClicks(bitrate, QStringLiteral("5000"));
    window_test::Pump(50);
    EXPECT_EQ(folder.ConfigNow(), original);  // typing writes nothing

    QTest::mouseClick(Button(dialog, "ctl1012"), Qt::LeftButton);
    ASSERT_TRUE(Broadcasting(dialog)) << messages.Texts().join("|").toStdString();
    const app::IniFile ini(folder.Config().string());
    EXPECT_EQ(ini.GetInt("Device", "Bitrate", 0), 5000);
    EXPECT_EQ(dialog.Settings()->Bitrate, 5000);
    EXPECT_EQ(dialog.Feeder()->Config().bitrate, 5000);
    // Only that line changed.
    std::string expected = original;
    expected.replace(expected.find("Bitrate=300"), 11, "Bitrate=5000");
    EXPECT_EQ(folder.ConfigNow(), expected);

    QTest::mouseClick(Button(dialog, "ctl1043"), Qt::LeftButton);
    EXPECT_EQ(folder.ConfigNow(), expected);  // stopping writes nothing
    EXPECT_TRUE(messages.Texts().isEmpty()) << messages.Texts().join("|").toStdString();
}

}  // namespace
