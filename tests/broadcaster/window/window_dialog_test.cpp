// The window without a server: its controls, the idle state, keys and clicks that must
// not reach it, closing.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>

#include "app/broadcaster_dlg.h"
#include "app/shockwave_flash.h"
#include "window/window_fixture.h"

namespace {

using window_test::ConfigText;
using window_test::OpenWindow;
using window_test::Shifted;
using window_test::WaitFor;

const std::string kAddress = "rtmp://127.0.0.1:1/live/lesson&4711";

template <typename T>
T* Control(QWidget& dialog, const char* name) {
    return dialog.findChild<T*>(QString::fromLatin1(name));
}

// Counts the right-button presses that reach a widget.
class RightPressCounter : public QObject {
  public:
    int presses = 0;
    int leftPresses = 0;
    int menus = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonPress) {
            const auto button = static_cast<QMouseEvent*>(event)->button();
            if (button == Qt::RightButton)
                ++presses;
            if (button == Qt::LeftButton)
                ++leftPresses;
        }
        if (event->type() == QEvent::ContextMenu)
            ++menus;
        return false;
    }
};

// One idle window on the settings of config.ini: the controls show them and the window starts
// idle, the classroom learns its number, the page stays the page, keys and right clicks do not
// reach it, a picture-type change says nothing, and closing says the broadcast ended.
TEST(BroadcasterWindow, IdleWindowShowsTheSettingsKeepsItsPageAndSaysTheEndOnClosing) {
    OpenWindow w(ConfigText({{"Address", Shifted(kAddress)},
                             {"VideoStyle", "2"},
                             {"Bitrate", "640"},
                             {"HaveAudio", "0"}}));
    auto* pictureType = Control<QComboBox>(w.dialog, "ctl1057");
    ASSERT_NE(pictureType, nullptr);
    EXPECT_EQ(pictureType->count(), 4);
    EXPECT_EQ(pictureType->currentIndex(), 2);
    auto* edit = Control<QLineEdit>(w.dialog, "ctl1056");
    EXPECT_EQ(edit->text(), QStringLiteral("640"));
    EXPECT_FALSE(Control<QCheckBox>(w.dialog, "ctl1044")->isChecked());
    auto* audio = Control<QComboBox>(w.dialog, "ctl1055");
    EXPECT_EQ(audio->currentIndex(), audio->count() > 1 ? 1 : -1);
    ASSERT_NE(Control<QComboBox>(w.dialog, "ctl1053"), nullptr);
    auto* start = Control<QPushButton>(w.dialog, "ctl1012");
    auto* stop = Control<QPushButton>(w.dialog, "ctl1043");
    ASSERT_TRUE(start != nullptr && stop != nullptr);
    EXPECT_TRUE(!start->isHidden() && start->isEnabled());
    EXPECT_TRUE(stop->isHidden() && !stop->isEnabled());
    const auto variables = w.dialog.Classroom()->VariableLog();
    ASSERT_EQ(variables.size(), 2u);
    EXPECT_EQ(variables[0], std::make_pair(QStringLiteral("isOMB"), QStringLiteral("true")));
    EXPECT_EQ(variables[1], std::make_pair(QStringLiteral("meetingid"), QStringLiteral("4711")));

    ASSERT_TRUE(WaitFor([&] { return w.dialog.Classroom()->PageLoaded(); }, 20000));
    EXPECT_EQ(window_test::EvaluateInPage(w.dialog.Classroom(),
                                          "document.getElementById('meetingid').textContent")
                  .toString(),
              QStringLiteral("4711"));
    EXPECT_EQ(window_test::EvaluateInPage(w.dialog.Classroom(),
                                          "document.getElementById('live').textContent")
                  .toString(),
              QStringLiteral("未开始直播"));
    // A link or a script that leads elsewhere is refused; the page and its state stay.
    const QUrl page = w.dialog.Classroom()->url();
    std::vector<QUrl> refused;
    QObject::connect(w.dialog.Classroom(), &app::CShockwaveFlash::NavigationRefused,
                     [&](const QUrl& url) { refused.push_back(url); });
    window_test::EvaluateInPage(w.dialog.Classroom(),
                                "window.stays = 1; location.href = 'elsewhere.html'; 1");
    ASSERT_TRUE(WaitFor([&] { return !refused.empty(); }, 10000));
    EXPECT_EQ(refused.front().fileName(), QStringLiteral("elsewhere.html"));
    EXPECT_EQ(window_test::EvaluateInPage(w.dialog.Classroom(), "window.stays").toInt(), 1);
    EXPECT_EQ(w.dialog.Classroom()->url(), page);
    EXPECT_FALSE(w.dialog.Classroom()->acceptDrops());

    for (QWidget* target : {static_cast<QWidget*>(&w.dialog), static_cast<QWidget*>(edit),
                            static_cast<QWidget*>(pictureType)}) {
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
            QTest::keyClick(target, key);
        }
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.dialog.isVisible());
    EXPECT_EQ(w.dialog.result(), 0);

    // The page counts the mouse presses and context menus that reach it. Its counts are read
    // after the presses: the script runs after every input event queued before it.
    QWidget* render = w.dialog.Classroom()->focusProxy();
    ASSERT_NE(render, nullptr);
    window_test::EvaluateInPage(
        w.dialog.Classroom(),
        "window.pressed = [0, 0, 0]; window.menus = 0;"
        "document.addEventListener('mousedown', e => window.pressed[e.button]++, true);"
        "document.addEventListener('contextmenu', e => window.menus++, true); 1");
    RightPressCounter counter;
    render->installEventFilter(&counter);
    const QPoint middle = render->rect().center();
    QTest::mouseClick(render, Qt::RightButton, Qt::NoModifier, middle);
    QTest::mouseClick(render, Qt::LeftButton, Qt::NoModifier, middle);
    QTest::mouseClick(edit, Qt::RightButton, Qt::NoModifier, edit->rect().center());
    ASSERT_TRUE(WaitFor(
        [&] {
            const QVariantList pressed =
                window_test::EvaluateInPage(w.dialog.Classroom(), "window.pressed").toList();
            return pressed.size() == 3 && pressed[0].toInt() == 1;
        },
        10000));
    render->removeEventFilter(&counter);
    EXPECT_EQ(counter.presses, 0);
    EXPECT_EQ(counter.menus, 0);
    EXPECT_EQ(counter.leftPresses, 1);  // a left click does get through
    EXPECT_EQ(window_test::EvaluateInPage(w.dialog.Classroom(), "window.pressed[2]").toInt(), 0);
    EXPECT_EQ(window_test::EvaluateInPage(w.dialog.Classroom(), "window.menus").toInt(), 0);

    // Idle, a picture-type change is taken without a word (a message would be shown at once).
    pictureType->setFocus();
    QTest::keyClick(pictureType, Qt::Key_Down);
    EXPECT_EQ(pictureType->currentIndex(), 3);
    EXPECT_EQ(w.dialog.Values().pictureType, 3);
    EXPECT_TRUE(w.messages.Texts().isEmpty()) << w.messages.Texts().join("|").toStdString();

    EXPECT_TRUE(w.dialog.close());
    EXPECT_EQ(w.messages.Texts(), QStringList{QStringLiteral("直播结束!")});
    EXPECT_FALSE(w.dialog.isVisible());
    EXPECT_EQ(w.dialog.result(), QDialog::Rejected);
}

}  // namespace
