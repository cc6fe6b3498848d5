// The window in the user's language: English on an English desktop (LANG=en_US.UTF-8), its own
// Chinese texts exactly as written on a Chinese one. Every text a user or a screen reader meets:
// the window's controls, menu and title, the About box, the classroom page, the status line's
// parts and a failed start's message; the English ones fit their boxes.

#include <gmock/gmock.h>

#include <QAbstractButton>
#include <QGroupBox>
#include <QMenu>
#include <QPlainTextEdit>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QToolButton>
#include <cstdlib>

#include "app/about_dlg.h"
#include "app/connect_failure_text.h"
#include "app/level_meter_bar.h"
#include "app/status_line.h"
#include "app/window_language.h"
#include "window/window_fixture.h"

namespace window_test {
namespace {

// LANG for the object's lifetime (the test main leaves nothing above it).
class UserLocale {
  public:
    explicit UserLocale(const char* lang) { setenv("LANG", lang, 1); }
    ~UserLocale() { setenv("LANG", "C.UTF-8", 1); }
    UserLocale(const UserLocale&) = delete;
    UserLocale& operator=(const UserLocale&) = delete;
};

// The texts a window and its children show or give assistive tools, by where they stand.
std::map<QString, QString> ShownTexts(QWidget& window) {
    std::map<QString, QString> texts{{QStringLiteral("title"), window.windowTitle()}};
    const auto note = [&](const QObject* object, const char* what, const QString& text) {
        if (!text.isEmpty())
            texts[object->objectName() + QLatin1Char('.') + QLatin1String(what)] = text;
    };
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (auto* label = qobject_cast<QLabel*>(w))
            note(w, "text", label->text());
        if (auto* button = qobject_cast<QAbstractButton*>(w))
            note(w, "text", button->text());
        if (auto* box = qobject_cast<QGroupBox*>(w))
            note(w, "title", box->title());
        if (auto* edit = qobject_cast<QPlainTextEdit*>(w))
            note(w, "text", edit->toPlainText());
        note(w, "name", w->accessibleName());
        note(w, "tip", w->toolTip());
        note(w, "about", w->accessibleDescription());
    }
    // The picture types (the device lists hold the system's device names).
    if (auto* types = window.findChild<QComboBox*>(QStringLiteral("ctl1057"))) {
        for (int i = 0; i < types->count(); ++i)
            texts[QStringLiteral("ctl1057.%1").arg(i)] = types->itemText(i);
    }
    for (const QAction* action : window.findChildren<QAction*>())
        note(action, "text", action->text());
    return texts;
}

// What the status line says of a broadcast with everything to tell, part by part.
QStringList StatusTexts() {
    OcelixStats stats{};
    stats.connected = 0;
    stats.packetsDropped = 3;
    stats.framesSkipped = 2;
    stats.targetKbps = 250;
    OcelixLocalCopy copy{};
    copy.state = OCELIX_COPY_RECORDING;
    copy.bytesWritten = 12'300'000;
    const app::StatusPart failure{
        QString::fromStdString(
            app::ConnectFailureText(OCELIX_CONNECT_CERT_EXPIRED, "rtmps://example.org/live/a", "")),
        QString::fromStdString(app::ConnectFailureBrief(OCELIX_CONNECT_CERT_EXPIRED))};
    QStringList texts;
    for (const auto& devices :
         {app::DeviceNotes{true, false, true}, app::DeviceNotes{false, true}}) {
        for (const app::StatusPart& part : app::BroadcastStatusParts(stats, devices, copy, failure))
            texts << part.text << part.brief;
    }
    texts.removeAll(QString());
    texts.removeDuplicates();
    return texts;
}

const std::map<QString, QString> kChineseWindow = {
    {"title", "新一代网络教学系统(Tutorlane) v1.3 (Build 140423.1306)"},
    {"aboutAction.text", "关于(&A)..."},
    {"aboutMenuButton.text", "…"},
    {"audioLevelMeter.name", "麦克风音量"},
    {"audioLevelMeter.tip", "不发送音频"},
    {"ctl1012.text", "开始直播"},
    {"ctl1043.text", "停止直播"},
    {"ctl1044.text", "发送音频"},
    {"ctl1057.0", "仅直播电脑桌面"},
    {"ctl1057.1", "仅直播摄像头"},
    {"ctl1057.2", "画中画（大画面是桌面）"},
    {"ctl1057.3", "画中画（大画面是摄像头）"},
    {"footerText.text", "Tutorlane 新一代网络教学系统 · 网络课堂直播客户端"},
    {"labelAudioDevice.text", "音频设备"},
    {"labelBitrate.text", "速率设定"},
    {"labelBitrateHint.text", "kb（建议80-800）"},
    {"labelPictureType.text", "画面类型"},
    {"labelVideoDevice.text", "视频设备"},
    {"noteText.text", "*更改参数后，再次开始直播时生效"},
    {"paramGroup.title", "参数设置"},
    {"statusLine.text", "状态：未在直播"},
    {"tipText.text", "提示：点击【开始直播】按钮，向学生们展示你的电脑桌面和摄像头视频。"},
};
const QStringList kChineseStatus = {
    "状态：正在重新连接…  00:00:00",
    "服务器证书无法验证：example.org 的证书已过期",
    "服务器证书已过期",
    "未发送音频：音频设备无法使用",
    "未发送音频",
    "摄像头：Couldn't run the graph!",
    "摄像头无法使用",
    "本地录制中 12.3 MB",
    "本地录制中",
    "0 kbit/s",
    "丢包 3",
    "跳帧 2",
    "延迟 0 ms",
    "目标 250 kbit/s",
    "麦克风没有声音",
};

TEST(WindowLanguage, EnglishOnAnEnglishDesktopAndTheTextsAsWrittenOnAChineseOne) {
    for (const bool english : {true, false}) {
        SCOPED_TRACE(english ? "en_US.UTF-8" : "zh_CN.UTF-8");
        const UserLocale locale(english ? "en_US.UTF-8" : "zh_CN.UTF-8");
        const app::WindowLanguage language;
        EXPECT_EQ(language.Translated(), english);
        OpenWindow w(ConfigText({{"Address", Shifted("rtmp://127.0.0.1:1/live/a&4711")},
                                 {"HaveAudio", "0"},
                                 {"DeviceID", "-1"},
                                 {"LocalCopy", "0"}}));
        app::CShockwaveFlash* page = w.dialog.Classroom();
        ASSERT_TRUE(QTest::qWaitFor([&] { return page->PageLoaded(); }, 20000));
        const std::map<QString, QString> window = ShownTexts(w.dialog);
        app::CAboutDlg about(&w.dialog);
        const std::map<QString, QString> box = ShownTexts(about);
        // The page's texts once it has played.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return !PageText(page, "state").isEmpty() &&
                       PageText(page, "state") != "课堂准备中";
            },
            10000));
        const QString pageText =
            EvaluateInPage(page,
                           QStringLiteral("document.title + '|' + document.documentElement.lang + "
                                          "'|' + document.body.innerText"))
                .toString();
        // A start to a closed port.
        QTest::mouseClick(w.Control("ctl1012"), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !w.dialog.Busy(); }, 30000));
        const QStringList status = StatusTexts();

        if (!english) {
            // Today's texts exactly; the names and descriptions for assistive tools are newer.
            for (const auto& [where, text] : kChineseWindow)
                EXPECT_EQ(window.count(where) == 1 ? window.at(where) : QString(), text)
                    << where.toStdString();
            for (const auto& [where, text] : window) {
                if (!where.endsWith(".name") && !where.endsWith(".about")) {
                    EXPECT_EQ(kChineseWindow.count(where), 1u) << where.toStdString();
                }
            }
            EXPECT_EQ(box.at("title"), "关于");
            EXPECT_TRUE(box.at("ctl1057.text")
                            .startsWith("新一代网络教学系统(Tutorlane) 教师直播客户端\n"));
            EXPECT_EQ(box.at("aboutMaker.text"), "Tutorlane 网络教学 —— 在线课堂与直播软件");
            EXPECT_EQ(pageText.section('|', 0, 1), "网络课堂|zh-CN");
            EXPECT_THAT(pageText.toStdString(), testing::AllOf(testing::HasSubstr("课堂号"),
                                                               testing::HasSubstr("未开始直播"),
                                                               testing::HasSubstr("课堂已打开")));
            EXPECT_EQ(w.messages.texts, QStringList{QStringLiteral("连接服务器失败")});
            EXPECT_EQ(w.messages.buttons, QStringList{QStringLiteral("确定")});
            EXPECT_EQ(status, kChineseStatus);
            continue;
        }
        // Every key the Chinese window has, in English, and nothing Chinese anywhere.
        for (const auto& [where, chinese] : kChineseWindow) {
            EXPECT_TRUE(window.count(where) == 1 &&
                        (window.at(where) != chinese || !chinese.contains(kChinese)))
                << where.toStdString();
        }
        QStringList all = status + w.messages.texts;
        all << pageText;
        for (const auto& texts : {window, box}) {
            for (const auto& [where, text] : texts)
                all << where + QLatin1String(": ") + text;
        }
        for (const QString& text : all)
            EXPECT_FALSE(text.contains(kChinese)) << text.toStdString();
        EXPECT_EQ(w.messages.texts, QStringList{QStringLiteral("Cannot connect to the server")});
        EXPECT_EQ(w.messages.buttons, QStringList{QStringLiteral("OK")});
        EXPECT_EQ(pageText.section('|', 0, 1), "Online classroom|en");
        // The English texts fit where the Chinese ones stood, in the window and in the About box
        // (its child, not shown).
        for (const QLabel* label : w.dialog.findChildren<QLabel*>()) {
            if (label->text().isEmpty() || label->isHidden())
                continue;
            if (label->wordWrap()) {
                EXPECT_TRUE(ShowsWhole(label));
            } else {
                EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()),
                          label->contentsRect().width())
                    << label->text().toStdString();
            }
        }
        for (const QAbstractButton* button : w.dialog.findChildren<QAbstractButton*>()) {
            // A box's text stands beside its indicator.
            const int needed = qobject_cast<const QCheckBox*>(button) != nullptr
                                   ? button->sizeHint().width()
                                   : button->fontMetrics().horizontalAdvance(button->text());
            EXPECT_LE(needed, button->width()) << button->text().toStdString();
        }
        // The picture types show whole in their closed list.
        const auto* types = w.Control<QComboBox>("ctl1057");
        QStyleOptionComboBox option;
        option.initFrom(types);
        const int room =
            types->style()
                ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, types)
                .width();
        for (int i = 0; i < types->count(); ++i) {
            EXPECT_LE(types->fontMetrics().horizontalAdvance(types->itemText(i)), room)
                << types->itemText(i).toStdString();
        }
        // A check box's text shares its width with the box.
        for (const QCheckBox* check : w.dialog.findChildren<QCheckBox*>())
            EXPECT_LE(check->sizeHint().width(), check->width()) << check->text().toStdString();
    }
}

}  // namespace
}  // namespace window_test
