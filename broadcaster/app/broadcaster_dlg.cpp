#include "app/broadcaster_dlg.h"

#include <unistd.h>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QThread>
#include <QToolButton>

#include <cstdio>

#include "app/about_dlg.h"
#include "app/audio_device_table.h"
#include "app/dialog_resources.h"
#include "app/launch.h"
#include "app/preview_bridge.h"
#include "app/shockwave_flash.h"
#include "app/single_instance.h"
#include "app/skin.h"
#include "capture/audio_device_list.h"
#include "capture/screen_size.h"
#include "capture/video_device_list.h"
#include "ocelix/ocelix.h"

namespace app {
namespace {

constexpr char kAboutMenuText[] = "关于(&A)...";
// The framework's message for an edit whose text isn't an integer.
constexpr char kNotAnIntegerText[] = "请输入一个整数。";

QString CurrentDirectory() {
    return QDir::currentPath();
}

QString TwoDigits(int n) {
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

}  // namespace

QString WindowTitle() {
    return QStringLiteral("新一代网络教学系统(Tutorlane) %1")
        .arg(QString::fromLatin1(kVersionText));
}

CBroadcasterDlg::CBroadcasterDlg(QWidget* parent) : QDialog(parent), messages_(this) {
    // Values before the settings are read.
    values_.haveAudio = 1;
    values_.videoDeviceIndex = -1;
    values_.bitrate = 800;
    values_.pictureType = 0;
    values_.meetingId = "10000";
    CreateControls();
    preview_ = std::make_unique<PreviewBridge>(previewWindow_);
    statusTimer_.setInterval(1000);
    connect(&statusTimer_, &QTimer::timeout, this, &CBroadcasterDlg::UpdateStatusLine);
    qApp->installEventFilter(this);
}

CBroadcasterDlg::~CBroadcasterDlg() {
    qApp->removeEventFilter(this);
    statusTimer_.stop();
    if (feeder_ && feeder_->Running())
        feeder_->Stop();
    settings_.reset();
    feeder_.reset();
}

bool CBroadcasterDlg::OnInitDialog() {
    initialized_ = true;
    // The item that the system menu carried: the window's own menu.
    auto* menu = new QMenu(menuButton_);
    menu->setObjectName(QStringLiteral("windowMenu"));
    menu->addSeparator();
    QAction* about = menu->addAction(QString::fromUtf8(kAboutMenuText));
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &CBroadcasterDlg::ShowAbout);
    menuButton_->setMenu(menu);

    setWindowIcon(ApplicationIcon());

    if (!TakeInstanceLock()) {
        ShowMessage(QStringLiteral("程序正在运行，不能运行多个副本"));
        std::fflush(nullptr);
        _exit(0);
    }
    StartSkin(CurrentDirectory() + QLatin1Char('/') + QString::fromLatin1(kSkinFile));
    setWindowTitle(WindowTitle());

    LoadClassroom();
    EnumerateVideoDevices();
    EnumerateAudioDevices();
    audioDevices_->setCurrentIndex(audioDevices_->count() > 1 ? 1 : -1);
    ShowButtons(false);
    if (LoadSettingsNow() == 0) {
        endedDuringInit_ = true;
        reject();
    }
    UpdateData(false);
    SetClassroomIdentity();
    UpdateStatusLine();
    return true;
}

int CBroadcasterDlg::exec() {
    if (!initialized_)
        OnInitDialog();
    if (endedDuringInit_)
        return QDialog::Rejected;
    return QDialog::exec();
}

void CBroadcasterDlg::LoadClassroom() {
    flash_->LoadMovie(0,
                      CurrentDirectory() + QLatin1Char('/') + QString::fromLatin1(kClassroomFile));
    flash_->Play();
}

int CBroadcasterDlg::LoadSettingsNow() {
    if (!settings_)
        settings_ = std::make_unique<BroadcastSettings>();
    const IniFile ini(kConfigFile);
    return LoadSettings(ini, capture::PrimaryScreenSize, messages_, *settings_, values_);
}

void CBroadcasterDlg::EnumerateVideoDevices() {
    for (const std::string& name : capture::EnumerateVideoDevices()) {
        videoDevices_->addItem(QString::fromStdString(name));
    }
}

void CBroadcasterDlg::EnumerateAudioDevices() {
    AudioDeviceTable& table = AudioDeviceTable::Instance();
    for (const capture::AudioDeviceEntry& device : capture::EnumerateCaptureDevices()) {
        QVariant itemData;  // none: the primary capture device
        if (!device.identity.empty()) {
            const std::optional<size_t> slot = table.Add(device.identity);
            if (!slot)
                continue;  // the table is full
            itemData = QVariant::fromValue(static_cast<qulonglong>(*slot));
        }
        audioDevices_->addItem(QString::fromStdString(device.description), itemData);
    }
}

bool CBroadcasterDlg::UpdateData(bool saveAndValidate) {
    if (!saveAndValidate) {
        sendAudio_->setChecked(values_.haveAudio != 0);
        const auto select = [](QComboBox* list, int index) {
            list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
        };
        select(videoDevices_, values_.videoDeviceIndex);
        bitrateEdit_->setText(QString::number(values_.bitrate));
        select(pictureType_, values_.pictureType);
        return true;
    }
    values_.haveAudio = sendAudio_->isChecked() ? 1 : 0;
    values_.videoDeviceIndex = videoDevices_->currentIndex();
    bool ok = false;
    const int bitrate = bitrateEdit_->text().trimmed().toInt(&ok);
    if (!ok) {
        // As the framework does: say so, put the focus on the edit, and stop the exchange here.
        ShowMessage(QString::fromUtf8(kNotAnIntegerText));
        bitrateEdit_->setFocus();
        bitrateEdit_->selectAll();
        return false;
    }
    values_.bitrate = bitrate;
    values_.pictureType = pictureType_->currentIndex();
    return true;
}

void CBroadcasterDlg::ShowButtons(bool broadcasting) {
    startButton_->setVisible(!broadcasting);
    startButton_->setEnabled(!broadcasting);
    stopButton_->setVisible(broadcasting);
    stopButton_->setEnabled(broadcasting);
}

void CBroadcasterDlg::StartBroadcast() {
    UpdateData(true);
    ShowButtons(true);
    const IniFile ini(kConfigFile);
    SaveChangedSettings(ini, *settings_, values_);
    LoadSettingsNow();

    const int selected = audioDevices_->currentIndex();
    if (selected < 0) {
        settings_->audioDevice.reset();
    } else {
        const QVariant itemData = audioDevices_->itemData(selected);
        settings_->audioDevice = itemData.isValid()
                                     ? AudioDeviceTable::Instance().At(itemData.toULongLong())
                                     : std::string();
    }

    feeder_.reset();  // the previous broadcast's feeder, stopped already
    feeder_ = std::make_unique<capture::CBroadcastFeeder>(
        settings_.get(), capture::DefaultFeederDevices(&messages_));
    if (feeder_->Start(preview_.get()) == 0) {
        ShowButtons(false);
        UpdateStatusLine();
        ShowMessage(QStringLiteral("连接服务器失败"));
        return;
    }
    QThread::msleep(100);
    UpdateData(false);
    SetClassroomIdentity();
    flash_->SetVariable(QStringLiteral("currentStreamName"),
                        QString::fromStdString(settings_->publishUrl));
    statusTimer_.start();
    UpdateStatusLine();
}

void CBroadcasterDlg::StopBroadcast() {
    if (feeder_)
        feeder_->Stop();
    ShowButtons(false);
    flash_->SetVariable(QStringLiteral("currentStreamName"), QString());
    statusTimer_.stop();
    previewWindow_->setPixmap(PreviewPlaceholder(previewWindow_->contentsRect().size()));
    UpdateStatusLine();
}

void CBroadcasterDlg::OnPictureTypeChanged() {
    UpdateData(true);
    if (!settings_ || values_.pictureType == settings_->VideoStyle)
        return;
    if (feeder_ && feeder_->Running())
        ShowMessage(QStringLiteral("重新开始直播后才能生效"));
}

void CBroadcasterDlg::SetClassroomIdentity() {
    flash_->SetVariable(QStringLiteral("isOMB"), QStringLiteral("true"));
    flash_->SetVariable(QStringLiteral("meetingid"), QString::fromStdString(values_.meetingId));
}

void CBroadcasterDlg::ShowAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CBroadcasterDlg::ShowMessage(const QString& text) {
    ShowAppMessage(this, text);
}

void CBroadcasterDlg::UpdateStatusLine() {
    OcelixStats stats{};
    const bool broadcasting = stopButton_->isVisible() && feeder_ && feeder_->Running();
    if (!broadcasting || feeder_->Encoder() == nullptr ||
        OCELIX_GetStatsEx(feeder_->Encoder(), &stats, sizeof stats) == 0) {
        statusLine_->setText(QStringLiteral("状态：未在直播"));
        return;
    }
    const int seconds = stats.elapsedMs / 1000;
    const QString elapsed = TwoDigits(seconds / 3600) + QLatin1Char(':') +
                            TwoDigits(seconds / 60 % 60) + QLatin1Char(':') +
                            TwoDigits(seconds % 60);
    const QString state =
        stats.connected != 0 ? QStringLiteral("直播中") : QStringLiteral("正在重新连接…");
    statusLine_->setText(QStringLiteral("状态：%1  %2  %3 kbit/s  延迟 %4 ms")
                             .arg(state, elapsed)
                             .arg(stats.sendKbps)
                             .arg(stats.queueDelayMs));
}

void CBroadcasterDlg::closeEvent(QCloseEvent* event) {
    ShowMessage(QStringLiteral("直播结束!"));
    QDialog::closeEvent(event);
}

bool CBroadcasterDlg::BelongsToDialog(QObject* object) const {
    // The dialog and every widget inside it, the classroom view's own inner widgets included;
    // other windows (message boxes, menus, the about box) are not part of it.
    for (QObject* o = object; o != nullptr; o = o->parent()) {
        if (o == this)
            return true;
        if (o->isWidgetType() && static_cast<QWidget*>(o)->isWindow())
            return false;
    }
    return false;
}

bool CBroadcasterDlg::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            if (static_cast<QMouseEvent*>(event)->button() == Qt::RightButton &&
                BelongsToDialog(watched))
                return true;
            break;
        case QEvent::ContextMenu:
            // Qt's own follow-up of a right-button press.
            if (BelongsToDialog(watched))
                return true;
            break;
        case QEvent::KeyPress:
        case QEvent::ShortcutOverride: {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) &&
                BelongsToDialog(watched))
                return true;
            break;
        }
        default:
            break;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace app
