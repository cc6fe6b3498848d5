// The window's controls, placed as in the dialog template: positions in dialog units, 1.5 pixels
// per unit both ways (the template's 9-point font at 96 dots per inch).
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <vector>

#include "app/broadcaster_dlg.h"
#include "app/dialog_resources.h"
#include "app/level_meter_bar.h"
#include "app/shockwave_flash.h"

namespace app {
namespace {

constexpr double kPixelsPerUnit = 1.5;

int Px(int units) {
    return static_cast<int>(units * kPixelsPerUnit + 0.5);
}

QRect Dlu(int x, int y, int w, int h) {
    return QRect(Px(x), Px(y), Px(w), Px(h));
}

// A closed drop-down list is one text line high; the template's height is its open extent.
QRect DropDown(int x, int y, int w) {
    return QRect(Px(x), Px(y), Px(w), Px(14));
}

template <typename T>
T* Place(T* control, QWidget* parent, const char* name, const QRect& rect) {
    control->setParent(parent);
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(rect);
    return control;
}

QLabel* Label(QWidget* parent, const char* name, const QString& text, const QRect& rect,
              Qt::Alignment alignment) {
    auto* label = Place(new QLabel(text), parent, name, rect);
    label->setAlignment(alignment);
    return label;
}

}  // namespace

void CBroadcasterDlg::CreateControls() {
    setObjectName(QStringLiteral("broadcasterDialog"));
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(12);
    setFont(font);
    setFixedSize(Px(638), Px(373));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    logo_ = Place(new QLabel, this, "ctl1058", Dlu(6, 7, 151, 33));
    logo_->setPixmap(LogoPicture(logo_->size()));
    logo_->setAccessibleName(tr("Tutorlane 标志"));

    previewWindow_ = Place(new QLabel, this, "ctl1046", Dlu(6, 45, 153, 117));
    previewWindow_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    previewWindow_->setAlignment(Qt::AlignCenter);
    previewWindow_->setPixmap(PreviewPlaceholder(previewWindow_->contentsRect().size()));
    previewWindow_->setAccessibleName(tr("视频预览"));
    previewWindow_->setAccessibleDescription(tr("学生们看到的画面"));

    startButton_ = Place(new QPushButton(tr("开始直播")), this, "ctl1012", Dlu(41, 168, 75, 16));
    stopButton_ = Place(new QPushButton(tr("停止直播")), this, "ctl1043", Dlu(41, 168, 75, 16));
    for (QPushButton* button : {startButton_, stopButton_}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    startButton_->setAccessibleName(tr("开始直播"));
    startButton_->setAccessibleDescription(tr("向学生们展示你的电脑桌面和摄像头视频"));
    stopButton_->setAccessibleName(tr("停止直播"));
    stopButton_->setAccessibleDescription(tr("结束这次直播"));

    auto* tip = Label(this, "tipText",
                      tr("提示：点击【开始直播】按钮，向学生们展示你的电脑桌面和摄像头视频。"),
                      Dlu(12, 194, 148, 23), Qt::AlignLeft | Qt::AlignTop);
    // Four units taller than the template: the CJK font's two lines need it.
    tip->setWordWrap(true);

    // Four units taller than the template (down to the group box), for two lines of the CJK
    // font; the status line breaks its lines itself, between its parts.
    statusLine_ =
        Label(this, "statusLine", QString(), Dlu(12, 219, 148, 24), Qt::AlignLeft | Qt::AlignTop);
    statusLine_->setTextFormat(Qt::PlainText);
    // Named for what it is; what it says is its description, told when it changes (see
    // ShowStatus).
    statusLine_->setAccessibleName(tr("状态"));

    Place(new QGroupBox(tr("参数设置")), this, "paramGroup", Dlu(6, 243, 152, 123));
    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
    QLabel* pictureTypeLabel =
        Label(this, "labelPictureType", tr("画面类型"), Dlu(13, 264, 33, 12), right);
    pictureType_ = Place(new QComboBox, this, "ctl1057", DropDown(51, 262, 101));
    pictureType_->addItems(PictureTypeTexts());
    QLabel* videoLabel =
        Label(this, "labelVideoDevice", tr("视频设备"), Dlu(13, 282, 33, 11), right);
    videoDevices_ = Place(new QComboBox, this, "ctl1053", DropDown(51, 279, 101));
    QLabel* audioLabel =
        Label(this, "labelAudioDevice", tr("音频设备"), Dlu(13, 299, 33, 11), right);
    // Narrower than the template: the microphone's level meter stands beside it.
    audioDevices_ = Place(new QComboBox, this, "ctl1055", DropDown(51, 297, 68));
    levelMeter_ = Place(new LevelMeterBar, this, "audioLevelMeter", Dlu(122, 297, 30, 14));
    QLabel* bitrateLabel = Label(this, "labelBitrate", tr("速率设定"), Dlu(13, 317, 33, 11), right);
    bitrateEdit_ = Place(new QLineEdit, this, "ctl1056", Dlu(51, 315, 31, 14));
    Label(this, "labelBitrateHint", tr("kb（建议80-800）"), Dlu(87, 318, 64, 9),
          Qt::AlignLeft | Qt::AlignVCenter);
    // Wider than the template, to the group box's edge: the English text and the box need it.
    sendAudio_ = Place(new QCheckBox(tr("发送音频")), this, "ctl1044", Dlu(51, 333, 101, 11));
    Label(this, "noteText", tr("*更改参数后，再次开始直播时生效"), Dlu(16, 351, 133, 13),
          Qt::AlignCenter);
    for (QComboBox* list : {pictureType_, videoDevices_, audioDevices_}) {
        list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    }
    // Each label is read with its field.
    pictureTypeLabel->setBuddy(pictureType_);
    videoLabel->setBuddy(videoDevices_);
    audioLabel->setBuddy(audioDevices_);
    bitrateLabel->setBuddy(bitrateEdit_);
    pictureType_->setAccessibleName(tr("画面类型"));
    pictureType_->setAccessibleDescription(tr("直播电脑桌面、摄像头，或两者画中画"));
    videoDevices_->setAccessibleName(tr("视频设备"));
    videoDevices_->setAccessibleDescription(tr("直播用的摄像头"));
    audioDevices_->setAccessibleName(tr("音频设备"));
    audioDevices_->setAccessibleDescription(tr("直播用的麦克风"));
    bitrateEdit_->setAccessibleName(tr("速率设定"));
    bitrateEdit_->setAccessibleDescription(tr("单位 kb，建议 80 到 800"));
    sendAudio_->setAccessibleName(tr("发送音频"));
    sendAudio_->setAccessibleDescription(tr("把麦克风的声音一起直播"));

    auto* line = Place(new QFrame, this, "columnLine", QRect(Px(165), Px(7), 2, Px(359)));
    line->setFrameStyle(QFrame::VLine | QFrame::Sunken);

    flash_ = Place(new CShockwaveFlash, this, "ctl1048", Dlu(171, 7, 460, 347));
    flash_->setAccessibleName(tr("课堂"));
    flash_->setAccessibleDescription(tr("学生们所在的网络课堂"));
    Label(this, "footerText", FooterText(), Dlu(170, 356, 461, 10), Qt::AlignCenter);

    // The window manager owns the system menu here: the window's own menu carries its item.
    menuButton_ = Place(new QToolButton, this, "aboutMenuButton", Dlu(619, 356, 12, 10));
    menuButton_->setText(QStringLiteral("…"));
    menuButton_->setAutoRaise(true);
    menuButton_->setPopupMode(QToolButton::InstantPopup);
    menuButton_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    menuButton_->setAccessibleName(tr("菜单"));
    menuButton_->setAccessibleDescription(tr("关于本程序"));

    OrderKeyboardPath();
    // The classroom view takes the focus through an inner widget it makes for its page.
    connect(flash_, &QWebEngineView::loadFinished, this, &CBroadcasterDlg::OrderKeyboardPath);

    connect(startButton_, &QPushButton::clicked, this, &CBroadcasterDlg::StartBroadcast);
    connect(stopButton_, &QPushButton::clicked, this, &CBroadcasterDlg::StopBroadcast);
    connect(pictureType_, &QComboBox::activated, this, &CBroadcasterDlg::OnPictureTypeChanged);
}

void CBroadcasterDlg::OrderKeyboardPath() {
    // The button shown (the two share one place), the parameters and the send-audio box, the
    // classroom (the view, then the inner widget it hands the focus to), the menu, and round
    // again.
    std::vector<QWidget*> path = {startButton_,  stopButton_,  pictureType_, videoDevices_,
                                  audioDevices_, bitrateEdit_, sendAudio_,   flash_};
    if (flash_->focusProxy() != nullptr)
        path.push_back(flash_->focusProxy());
    path.push_back(menuButton_);
    for (size_t i = 1; i < path.size(); ++i)
        setTabOrder(path[i - 1], path[i]);
}

}  // namespace app
