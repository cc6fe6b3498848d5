// The window, idle and broadcasting to a local nginx-rtmp: its controls and page, keys and clicks
// that must not reach it, the classroom variables in order, the two button states, the failure
// message, the picture-type message, the settings written back, the local copy, and closing.

#include <gmock/gmock.h>

#include <QAccessible>
#include <QFrame>
#include <QMouseEvent>
#include <QRegularExpression>
#include <atomic>
#include <thread>

#include "app/about_dlg.h"
#include "app/audio_device_table.h"
#include "app/connect_failure_text.h"
#include "app/dialog_resources.h"
#include "app/level_meter_bar.h"
#include "app/local_copy.h"
#include "app/settings.h"
#include "app/status_line.h"
#include "capture/video_test_doubles.h"
#include "capture/x_painter.h"
#include "support/alsa_tone_device.h"
#include "support/media_tools.h"
#include "support/tls_front.h"
#include "window/window_fixture.h"

namespace window_test {
namespace {

using rtmp::test::CertKind;
using rtmp::test::TlsFront;
using Variables = std::vector<std::pair<QString, QString>>;

// A small screen picture without sound keeps the encoder light; with no camera chosen (the list
// index stays -1 with or without cameras on this machine) a start writes nothing back; without a
// local copy a stop asks nothing. `more` replaces any of these.
std::string BroadcastConfig(const std::string& plainAddress,
                            std::map<std::string, std::string> more = {}) {
    more.insert({{"Address", Shifted(plainAddress)},
                 {"ScreenWidth", "320"},
                 {"ScreenHeight", "240"},
                 {"FrameRate", "10"},
                 {"Bitrate", "300"},
                 {"HaveAudio", "0"},
                 {"DeviceID", "-1"},
                 {"LocalCopy", "0"}});
    return ConfigText(more);
}

// Clicks a button and waits until the start or stop it began has ended.
void ClickAndWait(OpenWindow& w, const char* button) {
    QTest::mouseClick(w.Control(button), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.dialog.Busy(); }, 30000));
}

// The colour the preview shows at (fx, fy) of a picture of the given shape, fitted into the area
// and centred; 0 and 0 is its top left.
QColor PreviewAt(const QLabel* area, QSize shape, double fx, double fy) {
    const QImage shown = area->pixmap().toImage();
    const QSize fit = shape.scaled(shown.size(), Qt::KeepAspectRatio);
    return shown.pixelColor(
        (shown.width() - fit.width()) / 2 + static_cast<int>(fx * fit.width()),
        (shown.height() - fit.height()) / 2 + static_cast<int>(fy * fit.height()));
}

bool Near(const QColor& shown, capture::test::Rgb expected) {
    return std::abs(shown.red() - expected.red) + std::abs(shown.green() - expected.green) +
               std::abs(shown.blue() - expected.blue) <
           30;
}

// One window's starts and stops. With the server down the start says so and changes no
// classroom variable; so does a server whose certificate fails its check. The next reads the
// address again (another classroom since the window opened), takes no bit rate that is not an
// integer, and sets the classroom number before the stream; a picture-type change while
// broadcasting waits for the next start; stop clears the stream name and writes nothing. A changed
// bit rate is written back at the next start only, that line alone. Later starts of the program
// change nothing until the teacher accepts the classroom they forward. Double clicks act as one
// click, and a microphone that sends nothing is shown.
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
    // An rtmps:// server whose certificate is for another host: the message names the check.
    const app::IniFile file(w.folder.Config().string());
    TlsFront front;
    ASSERT_TRUE(front.Start(server.Port())) << front.Error();
    file.WriteString("Device", "Address",
                     Shifted(front.Url(CertKind::kWrongHost, "localhost", "live", "x") + "&4711"));
    file.WriteString("Device", "TlsCaFile", front.Certificates().caFile.string());
    ClickAndWait(w, "ctl1012");
    EXPECT_EQ(w.messages.texts,
              QStringList{QStringLiteral("服务器证书无法验证：证书不属于 localhost")});
    EXPECT_TRUE(w.Shows(false));
    w.messages.texts.clear();
    // A frame rate out of range in the file by now: the start names it and goes back to idle
    // without trying the server.
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
    EXPECT_TRUE(ShowsWhole(status));

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
    // The other classroom is shown with its server, and refused: the window stays on its
    // classroom.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.messages.texts.isEmpty(); }, 10000));
    EXPECT_EQ(w.messages.texts.constFirst(),
              QStringLiteral("切换到课堂 4713（服务器 127.0.0.1）？"));
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
    // An address longer than the settings read back is refused before anything is asked.
    const std::string longer = server.Url("live", std::string(80, 'x')) + "&4799";
    second(LaunchUrl(longer));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.messages.texts.isEmpty(); }, 10000));
    EXPECT_EQ(w.messages.Said(), app::AddressTooLongMessage(Shifted(longer)));
    EXPECT_TRUE(w.messages.Said().starts_with("课堂地址太长（1")) << w.messages.Said();
    w.messages.texts.clear();
    // A page's markup is shown as written, and a direction override or a control character
    // can't reorder or hide the server's name.
    second(LaunchUrl(server.Url("live", "other") + "&<b>4714</b><!--\u202E\x1F"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.messages.texts.isEmpty(); }, 10000));
    EXPECT_EQ(w.messages.Said(), "切换到课堂 <b>4714</b><!--\uFFFD\uFFFD（服务器 127.0.0.1）？");
    w.messages.texts.clear();
    // Accepted: the window switches to it.
    w.messages.yes = true;
    second(LaunchUrl(other));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.dialog.Values().meetingId == "4713"; }, 10000))
        << w.messages.Said();
    EXPECT_EQ(app::IniFile(w.folder.Config().string()).GetString("Device", "Address", "", 99),
              Shifted(other));
    w.messages.texts.clear();

    // Sound from a microphone, the test tone: the status line says nothing of it, four status
    // ticks on (more than a stall takes). Then a microphone that hears nothing: noted once ten
    // seconds of silence came, by the broadcast's clock.
    w.Control<QCheckBox>("ctl1044")->setChecked(true);
    const auto choose = [&](const std::string& pcm) { ASSERT_TRUE(w.ChooseMicrophone(pcm)); };
    const QString silent = QStringLiteral("麦克风没有声音");
    for (const int amplitude : {8000, 0}) {
        rtmp::test::AlsaToneDevice tone(1000, amplitude);
        ASSERT_TRUE(tone.Ok()) << tone.Error();
        choose(tone.PcmName());
        ClickAndWait(w, "ctl1012");
        ASSERT_TRUE(w.Shows(true)) << w.messages.Said();
        bool warned = false;
        bool whole = true;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                whole = whole && ShowsWhole(status);
                if (amplitude == 0)
                    return status->text().contains(silent);
                warned |= status->text().contains(QStringLiteral("未发送音频")) ||
                          status->text().contains(silent);
                return status->text().contains(QStringLiteral("直播中  00:00:04"));
            },
            20000))
            << status->text().toStdString();
        EXPECT_TRUE(whole) << ShowsWhole(status).message();
        EXPECT_FALSE(warned) << status->text().toStdString();
        EXPECT_FALSE(status->text().contains(QStringLiteral("未发送音频")))
            << status->text().toStdString();
        EXPECT_GT(w.dialog.Feeder()->AudioBlocks(), 0u);
        if (amplitude == 0) {
            // The capture starts after the encoder: ten seconds of sound end after 00:00:10, and
            // the next status tick or so shows it.
            const QString text = status->text();
            const qsizetype at = text.indexOf(QStringLiteral("00:00:"));
            ASSERT_GE(at, 0) << text.toStdString();
            const int seconds = text.mid(at + 6, 2).toInt();
            EXPECT_GE(seconds, 10) << text.toStdString();
            EXPECT_LE(seconds, 13) << text.toStdString();
        }
        ClickAndWait(w, "ctl1043");
        ASSERT_TRUE(w.Shows(false));
    }
    EXPECT_TRUE(w.messages.texts.isEmpty()) << w.messages.Said();

    // Sound from a capture device that can't be opened. Both clicks of a double click land where
    // the start button was; the second meets the stop button, which ignores clicks while the
    // start runs.
    choose("tutorlane_no_such_pcm");
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
                [&] {
                    return status->text().contains(QStringLiteral("未发送音频：音频设备无法使用"));
                },
                10000))
                << status->text().toStdString();
            EXPECT_TRUE(ShowsWhole(status));
            w.messages.texts.clear();  // what the audio capture said about the device
        }
    }
    EXPECT_TRUE(w.messages.texts.isEmpty()) << w.messages.Said();
    {
        // Out of range already when a window opens: named, and the window stays. (Last: the
        // second window takes the launch socket with it when it closes.)
        OpenWindow late(BroadcastConfig(server.Url("live", "x") + "&4719", {{"FrameRate", "61"}}));
        // (Either window's catcher may answer the box.)
        EXPECT_EQ(late.messages.Said() + w.messages.Said(),
                  app::SettingOutOfRangeMessage("FrameRate", 61, 1, 60));
        EXPECT_FALSE(late.dialog.EndedDuringInit());
    }
    w.messages.texts.clear();
}

// The visible controls of a window a screen reader finds no name for: those that take the focus
// or are the window's own children; not plain frames (lines), nor what is inside the classroom view
// (the page names its own).
QStringList Unnamed(QWidget* window) {
    QStringList unnamed;
    for (QWidget* c : window->findChildren<QWidget*>()) {
        bool inPage = false;
        for (QWidget* p = c->parentWidget(); p != window; p = p->parentWidget())
            inPage |= qobject_cast<app::CShockwaveFlash*>(p) != nullptr;
        const QAccessibleInterface* a = QAccessible::queryAccessibleInterface(c);
        if (c->isVisibleTo(window) && !inPage &&
            (c->parentWidget() == window || (c->focusPolicy() & Qt::TabFocus) != 0) &&
            c->metaObject() != &QFrame::staticMetaObject &&
            a->text(QAccessible::Name).trimmed().isEmpty())
            unnamed << c->objectName() + QLatin1Char(':') + c->metaObject()->className();
    }
    return unnamed;
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

// One window on the camera alone. Idle, the controls show the settings, every control has a name
// and each label is read with its field, Tab goes round the controls in order, the classroom
// learns its number, the page stays the page, Escape does not close the window and right clicks
// do not reach it. Enter starts; the stop button has the focus. Broadcasting, a camera that stops
// delivering is reported on the status line, which a screen reader reads as its description.
// Escape asks first and stops on yes only. Idle again, a picture-type change says
// nothing, and closing says the broadcast ended.
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
    EXPECT_EQ(Unnamed(&w.dialog), QStringList());
    {
        app::CAboutDlg about(&w.dialog);
        about.show();
        EXPECT_EQ(Unnamed(&about), QStringList());
    }
    for (const auto& [label, field] : {std::pair("labelPictureType", "ctl1057"),
                                       {"labelVideoDevice", "ctl1053"},
                                       {"labelAudioDevice", "ctl1055"},
                                       {"labelBitrate", "ctl1056"}})
        EXPECT_EQ(w.Control<QLabel>(label)->buddy(), w.Control<QWidget>(field)) << label;

    app::CShockwaveFlash* page = w.dialog.Classroom();
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->PageLoaded(); }, 20000));
    // Tab from the start button: each control in turn (the classroom's focus is inside its view),
    // and round again.
    w.dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w.dialog));
    w.Control("ctl1012")->setFocus();
    QStringList visited;
    for (int i = 0; i < 8; ++i) {
        QWidget* from = QApplication::focusWidget();
        ASSERT_NE(from, nullptr);
        QTest::keyClick(from, Qt::Key_Tab);
        EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() != from; }, 5000));
        QWidget* to = QApplication::focusWidget();
        visited << (to == nullptr
                        ? QStringLiteral("nothing")
                        : (page->isAncestorOf(to) ? page->objectName() : to->objectName()));
    }
    EXPECT_EQ(visited, QStringList({"ctl1057", "ctl1053", "ctl1055", "ctl1056", "ctl1044",
                                    "ctl1048", "aboutMenuButton", "ctl1012"}))
        << visited.join(' ').toStdString();
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
        QTest::keyClick(target, Qt::Key_Escape);
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.dialog.isVisible());
    EXPECT_EQ(w.dialog.result(), 0);
    EXPECT_TRUE(w.messages.texts.isEmpty()) << w.messages.Said();

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
    const auto deliver = [&] {
        for (double t = 0; delivering; t += 0.04) {
            camera->PushFrame(std::vector<uint8_t>(160 * 120 * 3, 0x80), t);
            std::this_thread::sleep_for(40ms);
        }
    };
    std::thread frames(deliver);

    auto* status = w.Control<QLabel>("statusLine");
    QTest::keyClick(edit, Qt::Key_Enter);  // the keypad's
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.dialog.Busy(); }, 30000));
    EXPECT_TRUE(w.Shows(true)) << w.messages.Said();
    EXPECT_EQ(w.dialog.focusWidget(), w.Control("ctl1043"));
    EXPECT_EQ(Unnamed(&w.dialog), QStringList());
    // Five seconds of frames (more status ticks than a stall takes) say nothing of the camera.
    const QString failed =
        QStringLiteral("摄像头：") + QString::fromLatin1(capture::CCaptureVideo::kRunFailedText);
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
    // The camera alone goes out: the preview shows its own frames.
    EXPECT_TRUE(Near(PreviewAt(w.Control<QLabel>("ctl1046"), QSize(160, 120), 0.5, 0.5),
                     {0x80, 0x80, 0x80}));

    delivering = false;
    frames.join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return status->text().contains(failed); }, 10000))
        << status->text().toStdString();
    EXPECT_TRUE(ShowsWhole(status));
    EXPECT_EQ(std::pair(status->accessibleName(), status->accessibleDescription()),
              std::pair(QStringLiteral("状态"), status->text()));
    // Escape asks; no keeps the broadcast, yes stops it and the start button has the focus.
    for (const bool yes : {false, true}) {
        w.messages.yes = yes;
        QTest::keyClick(w.Control("ctl1043"), Qt::Key_Escape);
        EXPECT_EQ(w.messages.texts, QStringList{QStringLiteral("停止直播吗？")});
        w.messages.texts.clear();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !w.dialog.Busy(); }, 30000));
        EXPECT_TRUE(w.Shows(!yes));
    }
    w.messages.yes = false;
    EXPECT_EQ(w.dialog.focusWidget(), w.Control("ctl1012"));
    // Idle, the preview shows the camera's frames, and the placeholder once it stops delivering:
    // never its last picture as if it still ran.
    auto* preview = w.Control<QLabel>("ctl1046");
    const auto placeholder = [&] {
        return preview->pixmap().toImage() ==
               app::PreviewPlaceholder(preview->contentsRect().size()).toImage();
    };
    delivering = true;
    frames = std::thread(deliver);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !placeholder(); }, 10000));
    delivering = false;
    frames.join();
    EXPECT_TRUE(QTest::qWaitFor(placeholder, 10000));
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

// The preview and the microphone's meter. Idle, the preview shows the screen for the screen
// picture types and follows it, and the camera for the camera ones; broadcasting, the picture that
// goes out: the screen with the camera's inset, the camera with the screen's. The meter hears the
// test tone before and during a broadcast (then from the broadcast's own capture), reads off
// while no sound is sent, and rests with a microphone that hears nothing.
TEST(WindowBroadcast, ThePreviewShowsWhatGoesOutAndTheMeterHearsTheMicrophone) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    auto tone = std::make_unique<rtmp::test::AlsaToneDevice>(1000, 8000);
    ASSERT_TRUE(tone->Ok()) << tone->Error();
    // The screen type with the camera's inset in its bottom-left corner, a blue camera.
    OpenWindow w(BroadcastConfig(server.Url("live", "preview") + "&4711", {{"VideoStyle", "2"},
                                                                           {"VideoWidth", "160"},
                                                                           {"VideoHeight", "120"},
                                                                           {"DeviceID", "0"},
                                                                           {"HaveAudio", "1"}}));
    auto camera = std::make_shared<capture::test::FakeVideoState>();
    camera->AddCamera("/dev/video0", "Test camera", {capture::kPixelYuyv});
    camera->solidRgb = {0, 0, 255};
    w.dialog.SetDeviceFactory(
        [camera](capture::MessageSink* messages, const capture::ScreenCaptureOptions& options) {
            capture::FeederDevices devices = capture::DefaultFeederDevices(messages, options);
            devices.camera = std::make_unique<capture::CCaptureVideo>(
                std::make_unique<capture::test::FakeVideoLayer>(camera), messages);
            return devices;
        });
    auto* cameras = w.Control<QComboBox>("ctl1053");
    cameras->addItem(QStringLiteral("Test camera"));
    cameras->setCurrentIndex(0);
    const auto choose = [&](const std::string& pcm) { ASSERT_TRUE(w.ChooseMicrophone(pcm)); };
    choose(tone->PcmName());
    capture::test::Painter painter(std::getenv("DISPLAY"));
    ASSERT_TRUE(painter.Ok());
    const capture::test::Rgb red{255, 0, 0}, green{0, 200, 0}, blue{0, 0, 255};
    painter.ShowWindow(0, 0, 320, 240, red);

    auto* preview = w.Control<QLabel>("ctl1046");
    auto* meter = w.Control<app::LevelMeterBar>("audioLevelMeter");
    const QSize screen(320, 240), cameraShape(160, 120);
    const auto shows = [&](QSize shape, capture::test::Rgb middle,
                           std::optional<capture::test::Rgb> inset) {
        return QTest::qWaitFor(
            [&] {
                return Near(PreviewAt(preview, shape, 0.5, 0.4), middle) &&
                       (!inset || Near(PreviewAt(preview, shape, 0.1, 0.9), *inset));
            },
            10000);
    };
    const auto hearsTone = [&] {
        return QTest::qWaitFor(
            [&] {
                // A sine of 8000: peak 20 log10(8000 / 32768), RMS 3 dB below.
                return meter->HasInput() && std::abs(meter->PeakDbfs() + 12.2) < 0.5 &&
                       std::abs(meter->RmsDbfs() + 15.2) < 0.5;
            },
            10000);
    };
    // Idle: the screen alone, as it changes; the meter on the tone.
    EXPECT_TRUE(shows(screen, red, red))
        << PreviewAt(preview, screen, 0.5, 0.4).name().toStdString();
    painter.CloseWindows();
    painter.ShowWindow(0, 0, 320, 240, green);
    EXPECT_TRUE(shows(screen, green, green));
    EXPECT_TRUE(hearsTone()) << meter->Reading().toStdString();
    EXPECT_EQ(meter->accessibleName(), QStringLiteral("麦克风音量"));

    // Broadcasting, the screen with the camera; then the camera with the screen, idle first.
    auto* pictureType = w.Control<QComboBox>("ctl1057");
    for (const int type : {2, 3}) {
        pictureType->setCurrentIndex(type);
        const QSize shape = type == 2 ? screen : cameraShape;
        const capture::test::Rgb main = type == 2 ? green : blue;  // the screen red at 3
        if (type == 3) {
            EXPECT_TRUE(shows(shape, blue, blue)) << "idle, the camera alone";
        }
        ClickAndWait(w, "ctl1012");
        ASSERT_TRUE(w.Shows(true)) << w.messages.Said();
        EXPECT_TRUE(shows(shape, main, type == 2 ? blue : red)) << type;
        // The devices are the broadcast's now.
        EXPECT_FALSE(w.dialog.Idle().PreviewRunning() || w.dialog.Idle().MicrophoneRunning());
        if (type == 2) {
            painter.CloseWindows();
            painter.ShowWindow(0, 0, 320, 240, red);
            EXPECT_TRUE(shows(shape, red, blue));
            EXPECT_TRUE(hearsTone()) << meter->Reading().toStdString();
            EXPECT_GT(w.dialog.Feeder()->AudioBlocks(), 0u);
        }
        ClickAndWait(w, "ctl1043");
        ASSERT_TRUE(w.Shows(false));
    }
    EXPECT_TRUE(hearsTone()) << "idle again";
    EXPECT_TRUE(w.dialog.Idle().MicrophoneRunning());

    // Sound not sent: off. A microphone that hears nothing: silence, at once.
    auto* sendAudio = w.Control<QCheckBox>("ctl1044");
    sendAudio->setChecked(false);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return meter->Off() && !meter->isEnabled() && !meter->HasInput() &&
                   !w.dialog.Idle().MicrophoneRunning();
        },
        5000));
    tone.reset();
    tone = std::make_unique<rtmp::test::AlsaToneDevice>(1000, 0);
    choose(tone->PcmName());
    sendAudio->setChecked(true);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return meter->HasInput() && meter->PeakDbfs() < -60 && meter->RmsDbfs() < -60; },
        5000))
        << meter->Reading().toStdString();
    EXPECT_EQ(meter->Reading(), QStringLiteral("无声"));
    EXPECT_TRUE(w.messages.texts.isEmpty()) << w.messages.Said();
}

// The local copy in the window. While it records, the status line shows its size; at the stop
// the window says where the file is and offers its folder, which opens on yes only. The file is
// named after the classroom and the start, in the folder the settings name (made when missing),
// and plays. A folder that cannot be made: the broadcast goes on, the status line says why there
// is no copy, and the stop asks nothing.
TEST(WindowBroadcast, TheLocalCopyIsShownWhileRecordingAndItsFolderOfferedAtTheEnd) {
    NginxRtmpServer server;
    ASSERT_TRUE(server.Start()) << server.Error();
    const TempDir copies("tutorlane_copies");
    const std::filesystem::path folder = copies / "lessons";
    OpenWindow w(BroadcastConfig(server.Url("live", "copied") + "&4711",
                                 {{"LocalCopy", "1"}, {"LocalCopyFolder", folder.string()}}));
    std::vector<std::string> opened;
    w.dialog.SetFolderOpener([&](const std::string& f) { opened.push_back(f); });
    auto* status = w.Control<QLabel>("statusLine");
    const QRegularExpression recording(QStringLiteral("本地录制中 \\d+\\.\\d MB"));
    for (const bool yes : {true, false}) {
        ClickAndWait(w, "ctl1012");
        ASSERT_TRUE(w.Shows(true)) << w.messages.Said();
        bool whole = true;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                whole = whole && ShowsWhole(status);
                return status->text().contains(recording) &&
                       status->text().contains(QStringLiteral("直播中  00:00:03"));
            },
            20000))
            << status->text().toStdString();
        EXPECT_TRUE(whole) << ShowsWhole(status).message();
        // A still screen at 10 fps, a key frame every 3 s: the file grows by fragments.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return w.dialog.Feeder()->LocalCopy().bytesWritten > 1000; }, 10000));
        const std::string path = app::CopyPath(w.dialog.Feeder()->LocalCopy());
        w.messages.yes = yes;
        ClickAndWait(w, "ctl1043");
        ASSERT_TRUE(QTest::qWaitFor([&] { return !w.messages.texts.isEmpty(); }, 5000));
        EXPECT_THAT(w.messages.texts.constFirst().toStdString(),
                    testing::MatchesRegex("本课的录像（[0-9]+\\.[0-9] MB）已保存在：\n" + path +
                                          "\n打开所在的文件夹吗？"));
        EXPECT_EQ(w.messages.texts.size(), 1) << w.messages.Said();
        w.messages.texts.clear();
        EXPECT_EQ(opened, std::vector<std::string>{folder.string()});
        EXPECT_EQ(std::filesystem::path(path).parent_path(), folder);
        EXPECT_THAT(std::filesystem::path(path).filename().string(),
                    testing::MatchesRegex("4711-20[0-9]{6}-[0-9]{6}(-2)?\\.mp4"));
        EXPECT_EQ(rtmp::test::DecodeErrors(path), "");
        EXPECT_EQ(rtmp::test::FrameGridFaults(path, 10), "");
    }
    EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms::owner_all);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 2);

    std::ofstream(copies / "plain") << "a file where the folder should be";
    app::IniFile(w.folder.Config().string())
        .WriteString("Device", "LocalCopyFolder", (copies / "plain" / "lessons").string());
    ClickAndWait(w, "ctl1012");
    ASSERT_TRUE(w.Shows(true)) << w.messages.Said();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return status->text().contains(QStringLiteral("未能本地录制：文件夹无法创建")) &&
                   !status->text().contains(QStringLiteral(" 0 kbit/s")) &&
                   status->text().contains(QStringLiteral("直播中  00:00:02"));
        },
        20000))
        << status->text().toStdString();
    EXPECT_TRUE(ShowsWhole(status));
    ClickAndWait(w, "ctl1043");
    EXPECT_TRUE(w.messages.texts.isEmpty()) << w.messages.Said();
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_GT(Recorded(server, "copied"), 1000u);
}

// The meter is drawn again only when what it shows changes: each drawing composes the whole
// window (the classroom view is drawn through the GPU API, in software without a GPU), ten
// readings a second.
TEST(WindowLevelMeter, DrawnAgainOnlyWhenWhatItShowsChanges) {
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject* /*watched*/, QEvent* event) override {
            paints += event->type() == QEvent::Paint ? 1 : 0;
            return false;
        }
    } counter;
    app::LevelMeterBar meter;
    meter.resize(60, 24);
    meter.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&meter));
    meter.installEventFilter(&counter);
    const auto paintsAfter = [&](int readings, const capture::AudioLevel& level) {
        counter.paints = 0;
        for (int i = 0; i < readings; ++i) {
            meter.ShowLevel(level);
            QCoreApplication::processEvents();
        }
        return counter.paints;
    };
    const capture::AudioLevel tone{1024, -12.2, -15.2};
    EXPECT_GT(paintsAfter(1, tone), 0);
    EXPECT_EQ(paintsAfter(10, tone), 0);                                // the same level again
    EXPECT_GT(paintsAfter(app::LevelMeterBar::kQuietReadings, {}), 0);  // then no input
    EXPECT_EQ(paintsAfter(10, {}), 0);
}

// The status line's parts, most important first, counts only when there are any; and what of
// them boxes of some sizes hold: each part whole, on the first line with room, the least
// important left out first.
TEST(WindowStatusLine, PartsByImportanceEachWholeOnTheLinesThereAre) {
    const auto texts = [](const app::StatusParts& parts) {
        QStringList list;
        for (const app::StatusPart& part : parts)
            list << part.text;
        return list;
    };
    OcelixStats stats{};
    std::tie(stats.connected, stats.elapsedMs, stats.sendKbps, stats.targetKbps,
             stats.queueDelayMs) = std::tuple(1, 3723999, 833, 800, 110);
    EXPECT_EQ(
        texts(app::BroadcastStatusParts(stats, {})),
        QStringList({"状态：直播中  01:02:03", "833 kbit/s", "延迟 110 ms", "目标 800 kbit/s"}));
    EXPECT_EQ(texts(app::BroadcastStatusParts(stats, {false, true, false})).at(1),
              QStringLiteral("麦克风没有声音"));
    // The local copy after what the devices lack, before what goes out; its brief form the words
    // before its size or its reason (a copy that ended early has a file).
    OcelixLocalCopy copy{};
    std::tie(copy.state, copy.bytesWritten) = std::tuple(OCELIX_COPY_RECORDING, 12345678);
    const app::StatusParts withCopy = app::BroadcastStatusParts(stats, {false, true, false}, copy);
    EXPECT_EQ(std::pair(withCopy.at(2).text, withCopy.at(2).brief),
              std::pair(QStringLiteral("本地录制中 12.3 MB"), QStringLiteral("本地录制中")));
    EXPECT_EQ(withCopy.at(3).text, QStringLiteral("833 kbit/s"));
    copy.state = OCELIX_COPY_TOO_SLOW;
    std::snprintf(copy.path, sizeof copy.path, "/v/4711-20260305-090807.mp4");
    EXPECT_EQ(
        std::pair(app::BroadcastStatusParts(stats, {}, copy).at(1).text,
                  app::BroadcastStatusParts(stats, {}, copy).at(1).brief),
        std::pair(QStringLiteral("本地录制已停止：磁盘太慢"), QStringLiteral("本地录制已停止")));
    stats = OcelixStats{};
    std::tie(stats.elapsedMs, stats.packetsDropped, stats.framesSkipped) = std::tuple(59000, 7, 12);
    EXPECT_EQ(texts(app::BroadcastStatusParts(stats, {true, true, true})),
              QStringList({"状态：正在重新连接…  00:00:59", "未发送音频：音频设备无法使用",
                           "摄像头：Couldn't run the graph!", "0 kbit/s", "丢包 7", "跳帧 12",
                           "延迟 0 ms"}));
    // Why the line cannot be taken again comes right after the state; each check in its own
    // words, in brief too.
    const app::StatusParts refused = app::BroadcastStatusParts(
        stats, {true}, {},
        {QString::fromStdString(app::ConnectFailureText(OCELIX_CONNECT_CERT_EXPIRED,
                                                        "rtmps://edu.example:4443/live/x", "")),
         QString::fromStdString(app::ConnectFailureBrief(OCELIX_CONNECT_CERT_EXPIRED))});
    EXPECT_EQ(std::tuple(refused.at(1).text, refused.at(1).brief, refused.at(2).text),
              std::tuple(QStringLiteral("服务器证书无法验证：edu.example 的证书已过期"),
                         QStringLiteral("服务器证书已过期"),
                         QStringLiteral("未发送音频：音频设备无法使用")));
    QStringList briefs;
    for (int kind = OCELIX_CONNECT_TLS; kind <= OCELIX_CONNECT_CA_FILE; ++kind) {
        EXPECT_TRUE(app::IsSecurityFailure(kind));
        briefs << QString::fromStdString(app::ConnectFailureBrief(kind));
    }
    briefs.removeDuplicates();
    EXPECT_EQ(briefs.size(), OCELIX_CONNECT_CA_FILE - OCELIX_CONNECT_TLS + 1) << "one each";
    EXPECT_FALSE(app::IsSecurityFailure(OCELIX_CONNECT_FAILED));

    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(12);
    const QFontMetrics metrics(font);
    const auto width = [&](const char* text) {
        return metrics.horizontalAdvance(QString::fromUtf8(text));
    };
    // Two spaces are narrower than one of these characters.
    const app::StatusParts parts = {{"一二三四", {}}, {"五六七八九十", "五六"}, {"甲", {}}};
    const struct {
        int width;
        int lines;
        const char* shown;
    } cases[] = {
        {width("一二三四  五六七八九十  甲"), 1, "一二三四  五六七八九十  甲"},
        {width("一二三四  五六七八九十  甲") - 1, 1, "一二三四  五六七八九十"},
        {width("五六七八九十"), 2, "一二三四  甲\n五六七八九十"},
        {width("五六七八九十") - 1, 2, "一二三四  甲\n五六"},
        {width("一二三四  五六"), 1, "一二三四  五六"},
        {width("一二三四  五六") - 1, 1, "一二三四"},  // no room for 五六: nor for 甲
        {width("一二三四  五六") - 1, 0, "一二三四"},
        {width("一二三四"), 2, "一二三四\n五六  甲"},
        {width("一二三四"), 1, "一二三四"},
        {width("一"), 3, "一二三四"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(app::FitStatusParts(parts, metrics, c.width, c.lines), QString::fromUtf8(c.shown))
            << c.width << " " << c.lines;
    }
}

}  // namespace
}  // namespace window_test
