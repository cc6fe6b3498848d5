// The window, idle and broadcasting to a local nginx-rtmp: its controls and page, keys and clicks
// that must not reach it, the classroom variables in order, the two button states, the failure
// message, the picture-type message, the settings written back, and closing.

#include <QMouseEvent>
#include <atomic>
#include <thread>

#include "app/audio_device_table.h"
#include "app/settings.h"
#include "capture/video_test_doubles.h"
#include "support/media_tools.h"
#include "window/window_fixture.h"

namespace window_test {
namespace {

using Variables = std::vector<std::pair<QString, QString>>;

// A small screen picture without sound keeps the encoder light; with no camera chosen (the list
// index stays -1 with or without cameras on this machine) a start writes nothing back. `more`
// replaces any of these.
std::string BroadcastConfig(const std::string& plainAddress,
                            std::map<std::string, std::string> more = {}) {
    more.insert({{"Address", Shifted(plainAddress)},
                 {"ScreenWidth", "320"},
                 {"ScreenHeight", "240"},
                 {"FrameRate", "10"},
                 {"Bitrate", "300"},
                 {"HaveAudio", "0"},
                 {"DeviceID", "-1"}});
    return ConfigText(more);
}

// Clicks a button and waits until the start or stop it began has ended.
void ClickAndWait(OpenWindow& w, const char* button) {
    QTest::mouseClick(w.Control(button), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.dialog.Busy(); }, 30000));
}

// One window's starts and stops. With the server down the start says so and changes no
// classroom variable. The next reads the address again (another classroom since the window
// opened), takes no bit rate that is not an integer, and sets the classroom number before the
// stream; a picture-type change while broadcasting waits for the next start; stop clears the
// stream name and writes nothing. A changed bit rate is written back at the next start only,
// that line alone. Later starts of the program change nothing until the teacher accepts the
// classroom they forward. Double clicks act as one click, and a microphone that sends nothing
// is shown.
TEST(WindowBroadcast, StartsStopsAndLaterLaunchesOfOneWindow) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    OpenWindow w(BroadcastConfig(server.Url("live", "lesson") + "&4711"));
    app::CShockwaveFlash* page = w.dialog.Classroom();
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->PageLoaded(); }, 20000));
    server.Stop();
    const Variables idle = page->VariableLog();
    ClickAndWait(w, "ctl1012");
    EXPECT_EQ(w.messages.texts, QStringList{QStringLiteral("连接服务器失败")});
    EXPECT_TRUE(w.Shows(false));
    EXPECT_EQ(page->VariableLog(), idle);
    w.messages.texts.clear();
    // A frame rate out of range in the file by now: the start names it and goes back to idle
    // without trying the server.
    const app::IniFile file(w.folder.Config().string());
    file.WriteString("Device", "FrameRate", "5000");
    ClickAndWait(w, "ctl1012");
    EXPECT_EQ(w.messages.Said(), app::SettingOutOfRangeMessage("FrameRate", 5000, 1, 60));
    EXPECT_TRUE(w.Shows(false));
    file.WriteString("Device", "FrameRate", "10");
    w.messages.texts.clear();
    ASSERT_TRUE(server.Start()) << server.Error();

    const std::string stream = server.Url("live", "lesson2");
    app::IniFile(w.folder.Config().string())
        .WriteString("Device", "Address", Shifted(stream + "&4712"));
    const std::string settings = w.folder.ConfigNow();
    auto* bitrate = w.Control<QLineEdit>("ctl1056");
    bitrate->clear();
    QTest::keyClicks(bitrate, QStringLiteral("fast"));
    ClickAndWait(w, "ctl1012");
    EXPECT_EQ(w.messages.texts, QStringList{QStringLiteral("请输入一个整数。")});
    ASSERT_TRUE(w.Shows(true)) << w.messages.Said();
    EXPECT_EQ(w.dialog.Settings()->Bitrate, 300);
    w.messages.texts.clear();
    EXPECT_EQ(Variables(page->VariableLog().begin() + static_cast<long>(idle.size()),
                        page->VariableLog().end()),
              (Variables{{"isOMB", "true"},
                         {"meetingid", "4712"},
                         {"currentStreamName", QString::fromStdString(stream)}}));
    // The page and the status line follow.
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return PageText(page, "live") == QStringLiteral("直播中"); }, 5000));
    EXPECT_EQ(PageText(page, "meetingid"), QStringLiteral("4712"));
    auto* status = w.Control<QLabel>("statusLine");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return status->text().contains(QStringLiteral("直播中")) &&
                   !status->text().contains(QStringLiteral(" 0 kbit/s")) &&
                   status->text().contains(QStringLiteral(" ms"));  // the delay
        },
        5000))
        << status->text().toStdString();
    EXPECT_FALSE(status->text().contains(QStringLiteral("未发送音频")));  // no audio wanted

    // A picture-type change while broadcasting says it waits for the next start (the message
    // is shown at once), and going back to the type in effect says nothing.
    auto* pictureType = w.Control<QComboBox>("ctl1057");
    pictureType->setFocus();
    QTest::keyClick(pictureType, Qt::Key_Down);  // to "仅直播摄像头"
    EXPECT_EQ(w.messages.texts, QStringList{QStringLiteral("重新开始直播后才能生效")});
    w.messages.texts.clear();
    QTest::keyClick(pictureType, Qt::Key_Up);
    EXPECT_TRUE(w.messages.texts.isEmpty());
    EXPECT_EQ(w.dialog.Settings()->VideoStyle, 0);  // the running broadcast is unchanged

    ClickAndWait(w, "ctl1043");
    EXPECT_TRUE(w.Shows(false));
    EXPECT_EQ(page->VariableLog().back(),
              std::make_pair(QStringLiteral("currentStreamName"), QString()));
    EXPECT_TRUE(w.messages.texts.isEmpty()) << w.messages.Said();
    EXPECT_EQ(w.folder.ConfigNow(), settings);
    // The server got the stream under the new classroom's name.
    EXPECT_TRUE(QTest::qWaitFor([&] { return Recorded(server, "lesson2") > 1000; }, 3000));
    EXPECT_EQ(rtmp::test::DecodeErrors(server.RecordingPath("lesson2")), "");
    EXPECT_EQ(rtmp::test::FrameGridFaults(server.RecordingPath("lesson2"), 10), "");

    bitrate->clear();
    QTest::keyClicks(bitrate, QStringLiteral("5000"));
    EXPECT_EQ(w.folder.ConfigNow(), settings);  // typing writes nothing
    ClickAndWait(w, "ctl1012");
    ASSERT_TRUE(w.Shows(true)) << w.messages.Said();
    EXPECT_EQ(std::pair(w.dialog.Settings()->Bitrate, w.dialog.Feeder()->Config().bitrate),
              std::pair(5000, 5000));
    std::string expected = settings;
    expected.replace(expected.find("Bitrate=300"), 11, "Bitrate=5000");
    EXPECT_EQ(w.folder.ConfigNow(), expected);
    ClickAndWait(w, "ctl1043");
    EXPECT_EQ(w.folder.ConfigNow(), expected);  // stopping writes nothing
    EXPECT_TRUE(w.messages.texts.isEmpty()) << w.messages.Said();

    // The built program started again in this session, as from the menu and from another
    // classroom page: it says so and ends, and no settings file changes.
    const std::string other = server.Url("live", "other") + "&4713";
    const std::filesystem::path userConfig =
        std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "tutorlane" / "config.ini";
    const bool userConfigBefore = std::filesystem::exists(userConfig);
    TempDir secondLogs("tutorlane_second");
    const auto log = secondLogs / "messages.txt";
    const auto second = [&](const std::string& url) {
        std::filesystem::remove(log);
        const auto result =
            RunProcess({"env", "TUTORLANE_MESSAGE_LOG=" + log.string(),
                        "TUTORLANE_MESSAGE_AUTOCLOSE_MS=300", TUTORLANE_BROADCASTER_PROGRAM, url},
                       60s);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(ReadTextFile(log), "程序正在运行，不能运行多个副本\n");
        EXPECT_EQ(w.folder.ConfigNow(), expected);
        EXPECT_EQ(std::filesystem::exists(userConfig), userConfigBefore);
    };
    second("");
    second(LaunchUrl(stream + "&4712"));  // the window's own classroom: nothing to ask
    second(LaunchUrl(other));
    // The other classroom is shown, and refused: the window stays on its classroom.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.messages.texts.isEmpty(); }, 10000));
    EXPECT_TRUE(w.messages.texts.constFirst().contains(QStringLiteral("4713")))
        << w.messages.Said();
    EXPECT_EQ(w.folder.ConfigNow(), expected);
    EXPECT_EQ(w.dialog.Values().meetingId, "4712");
    ClickAndWait(w, "ctl1012");
    ASSERT_TRUE(w.Shows(true)) << w.messages.Said();
    EXPECT_EQ(w.dialog.Settings()->publishUrl, stream);
    ClickAndWait(w, "ctl1043");
    // Its own classroom, forwarded before, was taken in turn and asked nothing: a question would
    // have been open under the other one and read since.
    EXPECT_EQ(w.messages.texts.size(), 1) << w.messages.Said();
    w.messages.texts.clear();
    // Accepted: the window switches to it.
    w.messages.yes = true;
    second(LaunchUrl(other));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.dialog.Values().meetingId == "4713"; }, 10000))
        << w.messages.Said();
    EXPECT_EQ(app::IniFile(w.folder.Config().string()).GetString("Device", "Address", "", 99),
              Shifted(other));
    w.messages.texts.clear();

    // Sound from a capture device that can't be opened. Both clicks of a double click land where
    // the start button was; the second meets the stop button, which ignores clicks while the
    // start runs.
    w.Control<QCheckBox>("ctl1044")->setChecked(true);
    auto* audio = w.Control<QComboBox>("ctl1055");
    const auto slot = app::AudioDeviceTable::Instance().Add("tutorlane_no_such_pcm");
    ASSERT_TRUE(slot.has_value());
    audio->addItem(QStringLiteral("broken"), QVariant::fromValue(static_cast<qulonglong>(*slot)));
    audio->setCurrentIndex(audio->count() - 1);
    for (const char* button : {"ctl1012", "ctl1043"}) {
        const bool started = button == std::string("ctl1012");
        QTest::mouseDClick(w.Control(button), Qt::LeftButton);
        QTest::mouseClick(w.Control(button), Qt::LeftButton);
        if (started) {
            EXPECT_TRUE(w.dialog.Busy());
            EXPECT_FALSE(w.Control("ctl1043")->isEnabled());
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !w.dialog.Busy(); }, 30000));
        // The clicks were all delivered before the start ended: nothing is left to act on them.
        EXPECT_TRUE(w.Shows(started)) << w.messages.Said();
        if (started) {
            EXPECT_TRUE(QTest::qWaitFor(
                [&] { return status->text().contains(QStringLiteral("未发送音频")); }, 10000))
                << status->text().toStdString();
            w.messages.texts.clear();  // what the audio capture said about the device
        }
    }
    EXPECT_TRUE(w.messages.texts.isEmpty()) << w.messages.Said();
}

// Counts the right-button presses and the context menus that reach a widget.
class RightClickCounter : public QObject {
  public:
    int count = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        const bool press = event->type() == QEvent::MouseButtonPress;
        count += event->type() == QEvent::ContextMenu ||
                 (press && static_cast<QMouseEvent*>(event)->button() == Qt::RightButton);
        return false;
    }
};

// One window on the camera alone. Idle, the controls show the settings, the classroom learns its
// number, the page stays the page, and keys and right clicks do not reach it. Broadcasting, a
// camera that stops delivering is reported on the status line. Idle again, a picture-type change
// says nothing, and closing says the broadcast ended.
TEST(WindowBroadcast, IdleWindowThenACameraThatStopsDeliveringThenClosing) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    OpenWindow w(BroadcastConfig(
        server.Url("live", "lesson") + "&4711",
        {{"VideoStyle", "1"}, {"VideoWidth", "160"}, {"VideoHeight", "120"}, {"DeviceID", "0"}}));
    auto* pictureType = w.Control<QComboBox>("ctl1057");
    auto* edit = w.Control<QLineEdit>("ctl1056");
    const auto* audio = w.Control<QComboBox>("ctl1055");
    EXPECT_EQ(std::tuple(pictureType->count(), pictureType->currentIndex(), edit->text(),
                         w.Control<QCheckBox>("ctl1044")->isChecked(), audio->currentIndex()),
              std::tuple(4, 1, QStringLiteral("300"), false, audio->count() > 1 ? 1 : -1));
    EXPECT_TRUE(w.Shows(false));
    EXPECT_EQ(w.dialog.Classroom()->VariableLog(),
              (Variables{{"isOMB", "true"}, {"meetingid", "4711"}}));

    app::CShockwaveFlash* page = w.dialog.Classroom();
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->PageLoaded(); }, 20000));
    EXPECT_EQ(PageText(page, "meetingid"), QStringLiteral("4711"));
    EXPECT_EQ(PageText(page, "live"), QStringLiteral("未开始直播"));
    // A link or a script that leads elsewhere is refused; the page and its state stay.
    const QUrl home = page->url();
    std::vector<QUrl> refused;
    QObject::connect(page, &app::CShockwaveFlash::NavigationRefused,
                     [&](const QUrl& url) { refused.push_back(url); });
    EvaluateInPage(page, "window.stays = 1; location.href = 'elsewhere.html'; 1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !refused.empty(); }, 10000));
    EXPECT_EQ(refused.front().fileName(), QStringLiteral("elsewhere.html"));
    EXPECT_EQ(EvaluateInPage(page, "window.stays").toInt(), 1);
    EXPECT_EQ(page->url(), home);
    EXPECT_FALSE(page->acceptDrops());

    for (QWidget* target : std::initializer_list<QWidget*>{&w.dialog, edit, pictureType})
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter})
            QTest::keyClick(target, key);
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.dialog.isVisible());
    EXPECT_EQ(w.dialog.result(), 0);

    // The page counts the mouse presses and context menus that reach it. Its counts are read
    // after the presses: the script runs after every input event queued before it.
    QWidget* render = page->focusProxy();
    ASSERT_NE(render, nullptr);
    EvaluateInPage(page,
                   "window.pressed = [0, 0, 0]; window.menus = 0;"
                   "document.addEventListener('mousedown', e => window.pressed[e.button]++, true);"
                   "document.addEventListener('contextmenu', e => window.menus++, true); 1");
    RightClickCounter counter;
    render->installEventFilter(&counter);
    const QPoint middle = render->rect().center();
    QTest::mouseClick(render, Qt::RightButton, Qt::NoModifier, middle);
    QTest::mouseClick(render, Qt::LeftButton, Qt::NoModifier, middle);
    QTest::mouseClick(edit, Qt::RightButton, Qt::NoModifier, edit->rect().center());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QVariantList pressed = EvaluateInPage(page, "window.pressed").toList();
            return pressed.size() == 3 && pressed[0].toInt() == 1;
        },
        10000));
    render->removeEventFilter(&counter);
    // No right press nor menu reaches the page; the left click did get through.
    EXPECT_EQ(counter.count, 0);
    EXPECT_EQ(EvaluateInPage(page, "[window.pressed[2], window.menus]").toList(),
              QVariantList({0, 0}));

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
    auto* cameras = w.Control<QComboBox>("ctl1053");
    cameras->clear();
    cameras->addItem(QStringLiteral("Test camera"));
    cameras->setCurrentIndex(0);
    std::atomic<bool> delivering{true};
    std::thread frames([&] {
        for (double t = 0; delivering; t += 0.04) {
            camera->PushFrame(std::vector<uint8_t>(160 * 120 * 3, 0x80), t);
            std::this_thread::sleep_for(40ms);
        }
    });

    ClickAndWait(w, "ctl1012");
    EXPECT_TRUE(w.Shows(true)) << w.messages.Said();
    // Five seconds of frames (more status ticks than a stall takes) say nothing of the camera.
    const QString failed =
        QStringLiteral("摄像头：") + QString::fromLatin1(capture::CCaptureVideo::kRunFailedText);
    auto* status = w.Control<QLabel>("statusLine");
    bool reported = false;
    EXPECT_TRUE(QTest::qWaitFor(
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
    EXPECT_TRUE(QTest::qWaitFor([&] { return status->text().contains(failed); }, 10000))
        << status->text().toStdString();
    ClickAndWait(w, "ctl1043");
    EXPECT_TRUE(w.Shows(false));
    // Idle again, a picture-type change is taken without a word (a message would be shown at
    // once).
    w.messages.texts.clear();
    pictureType->setFocus();
    QTest::keyClick(pictureType, Qt::Key_Down);
    EXPECT_EQ(std::pair(pictureType->currentIndex(), w.dialog.Values().pictureType),
              std::pair(2, 2));
    EXPECT_TRUE(w.messages.texts.isEmpty()) << w.messages.Said();

    EXPECT_TRUE(w.dialog.close());
    EXPECT_EQ(w.messages.texts, QStringList{QStringLiteral("直播结束!")});
    EXPECT_FALSE(w.dialog.isVisible());
    EXPECT_EQ(w.dialog.result(), QDialog::Rejected);
}

}  // namespace
}  // namespace window_test
