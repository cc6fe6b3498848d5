// The window without a server: its controls, the idle state, keys and clicks that must
// not reach it, closing.

#include <QMouseEvent>

#include "window/window_fixture.h"

namespace window_test {
namespace {

const std::string kAddress = "rtmp://127.0.0.1:1/live/lesson&4711";

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

// One idle window on the settings of config.ini: the controls show them and the window starts
// idle, the classroom learns its number, the page stays the page, keys and right clicks do not
// reach it, a picture-type change says nothing, and closing says the broadcast ended.
TEST(BroadcasterWindow, IdleWindowShowsTheSettingsKeepsItsPageAndSaysTheEndOnClosing) {
    OpenWindow w(ConfigText({{"Address", Shifted(kAddress)},
                             {"VideoStyle", "2"},
                             {"Bitrate", "640"},
                             {"HaveAudio", "0"}}));
    auto* pictureType = w.Control<QComboBox>("ctl1057");
    auto* edit = w.Control<QLineEdit>("ctl1056");
    auto* audio = w.Control<QComboBox>("ctl1055");
    EXPECT_EQ(std::pair(pictureType->count(), pictureType->currentIndex()), std::pair(4, 2));
    EXPECT_EQ(edit->text(), QStringLiteral("640"));
    EXPECT_FALSE(w.Control<QCheckBox>("ctl1044")->isChecked());
    EXPECT_EQ(audio->currentIndex(), audio->count() > 1 ? 1 : -1);
    EXPECT_TRUE(w.Shows(false));
    EXPECT_EQ(w.dialog.Classroom()->VariableLog(),
              (std::vector<std::pair<QString, QString>>{{"isOMB", "true"}, {"meetingid", "4711"}}));

    app::CShockwaveFlash* page = w.dialog.Classroom();
    const auto Evaluate = [&](const char* script) {
        return EvaluateInPage(page, QString::fromUtf8(script));
    };
    ASSERT_TRUE(WaitFor([&] { return page->PageLoaded(); }, 20000));
    EXPECT_EQ(PageText(page, "meetingid"), QStringLiteral("4711"));
    EXPECT_EQ(PageText(page, "live"), QStringLiteral("未开始直播"));
    // A link or a script that leads elsewhere is refused; the page and its state stay.
    const QUrl home = page->url();
    std::vector<QUrl> refused;
    QObject::connect(page, &app::CShockwaveFlash::NavigationRefused,
                     [&](const QUrl& url) { refused.push_back(url); });
    Evaluate("window.stays = 1; location.href = 'elsewhere.html'; 1");
    ASSERT_TRUE(WaitFor([&] { return !refused.empty(); }, 10000));
    EXPECT_EQ(refused.front().fileName(), QStringLiteral("elsewhere.html"));
    EXPECT_EQ(Evaluate("window.stays").toInt(), 1);
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
    Evaluate(
        "window.pressed = [0, 0, 0]; window.menus = 0;"
        "document.addEventListener('mousedown', e => window.pressed[e.button]++, true);"
        "document.addEventListener('contextmenu', e => window.menus++, true); 1");
    RightClickCounter counter;
    render->installEventFilter(&counter);
    const QPoint middle = render->rect().center();
    QTest::mouseClick(render, Qt::RightButton, Qt::NoModifier, middle);
    QTest::mouseClick(render, Qt::LeftButton, Qt::NoModifier, middle);
    QTest::mouseClick(edit, Qt::RightButton, Qt::NoModifier, edit->rect().center());
    ASSERT_TRUE(WaitFor(
        [&] {
            const QVariantList pressed = Evaluate("window.pressed").toList();
            return pressed.size() == 3 && pressed[0].toInt() == 1;
        },
        10000));
    render->removeEventFilter(&counter);
    // No right press nor menu reaches the page; the left click did get through.
    EXPECT_EQ(counter.count, 0);
    EXPECT_EQ(Evaluate("[window.pressed[2], window.menus]").toList(), QVariantList({0, 0}));

    // Idle, a picture-type change is taken without a word (a message would be shown at once).
    pictureType->setFocus();
    QTest::keyClick(pictureType, Qt::Key_Down);
    EXPECT_EQ(pictureType->currentIndex(), 3);
    EXPECT_EQ(w.dialog.Values().pictureType, 3);
    EXPECT_TRUE(w.messages.Texts().isEmpty()) << w.messages.Said();

    EXPECT_TRUE(w.dialog.close());
    EXPECT_EQ(w.messages.Texts(), QStringList{QStringLiteral("直播结束!")});
    EXPECT_FALSE(w.dialog.isVisible());
    EXPECT_EQ(w.dialog.result(), QDialog::Rejected);
}

}  // namespace
}  // namespace window_test
