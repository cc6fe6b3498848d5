#include "app/broadcaster_dlg.h"

#include <unistd.h>
#include <QAccessible>
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
#include <QRegularExpression>
#include <QThread>
#include <QToolButton>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <mutex>
#include <optional>

#include "app/about_dlg.h"
#include "app/audio_device_table.h"
#include "app/connect_failure_text.h"
#include "app/dialog_resources.h"
#include "app/launch.h"
#include "app/level_meter_bar.h"
#include "app/local_copy.h"
#include "app/platform/process.h"
#include "app/preview_bridge.h"
#include "app/shockwave_flash.h"
#include "app/single_instance.h"
#include "app/skin.h"
#include "app/status_line.h"
#include "app/user_config.h"
#include "capture/audio_device_list.h"
#include "capture/screen_size.h"
#include "capture/video_device_list.h"
#include "ocelix/ocelix.h"

namespace app {
namespace {

constexpr std::chrono::milliseconds kCloseLimit{1500};
constexpr int kMeterReadingsPerSecond = 10;
// Status-line ticks (one a second) without a new audio block or camera frame before the window
// says so.
constexpr int kStalledTicks = 3;

// Ends the process (exit code 0) when the object is not destroyed within limit.
class ExitUnlessDoneWithin {
  public:
    explicit ExitUnlessDoneWithin(std::chrono::milliseconds limit)
        : watcher_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_changed_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fflush(nullptr);
                  std::_Exit(0);
              }
          }) {}
    ~ExitUnlessDoneWithin() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_changed_.notify_all();
        watcher_.join();
    }
    ExitUnlessDoneWithin(const ExitUnlessDoneWithin&) = delete;
    ExitUnlessDoneWithin& operator=(const ExitUnlessDoneWithin&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable done_changed_;
    bool done_ = false;
    std::thread watcher_;
};

// The framework's message for an edit whose text isn't an integer.

QString CurrentDirectory() {
    return QDir::currentPath();
}

// A classroom page's text as the teacher reads it: control and format characters (direction
// overrides and isolates, invisible joiners) and line breaks become the replacement character,
// so that the text can neither hide, reorder nor push away the text around it.
QString AsWritten(const std::string& text) {
    QString shown;
    for (const uint code : QString::fromStdString(text).toUcs4()) {
        const char32_t c = code;
        switch (QChar::category(c)) {
            case QChar::Other_Control:
            case QChar::Other_Format:
            case QChar::Separator_Line:
            case QChar::Separator_Paragraph:
                shown += QChar(QChar::ReplacementCharacter);
                break;
            default:
                shown += QString::fromUcs4(&c, 1);
                break;
        }
    }
    return shown;
}

}  // namespace

QString WindowTitle() {
    return QCoreApplication::translate("window", "新一代网络教学系统(Tutorlane) %1")
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
    idle_ = std::make_unique<IdleDevices>(preview_.get(), &meter_);
    statusTimer_.setInterval(1000);
    connect(&statusTimer_, &QTimer::timeout, this, &CBroadcasterDlg::UpdateStatusLine);
    meterTimer_.setInterval(1000 / kMeterReadingsPerSecond);
    connect(&meterTimer_, &QTimer::timeout, this, &CBroadcasterDlg::UpdateLevelMeter);
    idleRefresh_.setSingleShot(true);
    idleRefresh_.setInterval(0);
    connect(&idleRefresh_, &QTimer::timeout, this, &CBroadcasterDlg::OpenIdleDevices);
    connect(pictureType_, &QComboBox::currentIndexChanged, this,
            &CBroadcasterDlg::RefreshIdleDevices);
    connect(videoDevices_, &QComboBox::currentIndexChanged, this,
            &CBroadcasterDlg::RefreshIdleDevices);
    connect(audioDevices_, &QComboBox::currentIndexChanged, this,
            &CBroadcasterDlg::RefreshIdleDevices);
    connect(sendAudio_, &QCheckBox::toggled, this, &CBroadcasterDlg::RefreshIdleDevices);
    qApp->installEventFilter(this);
    connect(&launches_, &LaunchListener::LaunchUrlArrived, this, &CBroadcasterDlg::OnLaunchUrl);
    openFolder_ = [](const std::string& folder) { platform::OpenInFileManager(folder); };
}

CBroadcasterDlg::~CBroadcasterDlg() {
    qApp->removeEventFilter(this);
    statusTimer_.stop();
    meterTimer_.stop();
    idleRefresh_.stop();
    idle_->Close();
    {
        // A server that went silent can hold a start or stop up: the window is gone, and the
        // process ends within a short time whatever the broadcast does.
        const ExitUnlessDoneWithin limit(kCloseLimit);
        JoinWorker();
        if (feeder_ && feeder_->Running())
            feeder_->Stop();
    }
    settings_.reset();
    feeder_.reset();
}

void CBroadcasterDlg::RunInWorker(std::function<void()> work) {
    JoinWorker();
    worker_ = std::thread(std::move(work));
}

void CBroadcasterDlg::JoinWorker() {
    if (worker_.joinable())
        worker_.join();
}

bool CBroadcasterDlg::OnInitDialog() {
    initialized_ = true;
    // The item that the system menu carried: the window's own menu.
    auto* menu = new QMenu(menuButton_);
    menu->setObjectName(QStringLiteral("windowMenu"));
    menu->addSeparator();
    QAction* about = menu->addAction(tr("关于(&A)..."));
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &CBroadcasterDlg::ShowAbout);
    menuButton_->setMenu(menu);

    setWindowIcon(ApplicationIcon());

    const InstanceCheck instance = TakeInstanceLock();
    if (instance.state != InstanceState::kFirst) {
        ShowMessage(QString::fromStdString(instance.state == InstanceState::kRunning
                                               ? RunningMessage()
                                               : UnknownInstanceMessage(instance.reason)));
        std::fflush(nullptr);
        _exit(0);
    }
    if (!launches_.Listen())
        ShowMessage(QString::fromStdString(NotListeningMessage(launches_.Error())));
    StartSkin(CurrentDirectory() + QLatin1Char('/') + QString::fromLatin1(kSkinFile));
    setWindowTitle(WindowTitle());

    LoadClassroom();
    EnumerateVideoDevices();
    EnumerateAudioDevices();
    audioDevices_->setCurrentIndex(audioDevices_->count() > 1 ? 1 : -1);
    ShowButtons(false);
    // A value out of range has been named to the teacher; the window stays, and a start is
    // refused until the file is mended. Only an address that cannot be used ends it.
    bool outOfRange = false;
    if (LoadSettingsNow(&outOfRange) == 0 && (!outOfRange || settings_->publishUrl.empty())) {
        endedDuringInit_ = true;
        reject();
    }
    UpdateData(false);
    SetClassroomIdentity();
    UpdateStatusLine();
    if (!endedDuringInit_) {
        meterTimer_.start();
        RefreshIdleDevices();
    }
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
    flash_->TranslatePage();
    flash_->Play();
}

int CBroadcasterDlg::LoadSettingsNow(bool* outOfRange) {
    if (!settings_)
        settings_ = std::make_unique<BroadcastSettings>();
    const IniFile ini(SettingsPath());
    return LoadSettings(ini, ScreenSizeFor(LoadScreenCaptureOptions(ini)), messages_, *settings_,
                        values_, outOfRange);
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
        ShowMessage(tr("请输入一个整数。"));
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
    if (busy_)
        return;
    UpdateData(true);
    busy_ = true;
    // The broadcast opens the devices itself.
    idleRefresh_.stop();
    idle_->Close();
    preview_->ShowPlaceholder();
    // From here the meter shows the broadcast's capture only.
    meter_.Read();
    levelMeter_->Forget();
    // Connecting: the stop button takes the start button's place but ignores clicks until the
    // start has ended, so a double-click can't start and stop.
    ShowButtons(true);
    stopButton_->setEnabled(false);
    ShowStatus(tr("状态：正在连接服务器…"));
    const IniFile ini(SettingsPath());
    SaveChangedSettings(ini, *settings_, values_, &messages_);
    const auto backToIdle = [this] {
        busy_ = false;
        ShowButtons(false);
        FocusShownButton();
        UpdateStatusLine();
        RefreshIdleDevices();
    };
    bool outOfRange = false;
    LoadSettingsNow(&outOfRange);
    if (outOfRange) {
        backToIdle();  // the load named the value it refused
        return;
    }

    settings_->audioDevice = SelectedAudioDevice();

    feeder_.reset();  // the previous broadcast's feeder, stopped already
    PrepareLocalCopy(*settings_, values_.meetingId, std::time(nullptr));
    try {
        feeder_ = std::make_unique<capture::CBroadcastFeeder>(
            settings_.get(),
            makeDevices_(&messages_, LoadScreenCaptureOptions(IniFile(SettingsPath()))));
        capture::CBroadcastFeeder* feeder = feeder_.get();
        PreviewBridge* preview = preview_.get();
        capture::AudioLevelMeter* meter = &meter_;
        RunInWorker([this, feeder, preview, meter] {
            const bool started = feeder->Start(preview, meter) != 0;
            if (started)
                QThread::msleep(100);
            QMetaObject::invokeMethod(
                this, [this, started] { OnStartFinished(started); }, Qt::QueuedConnection);
        });
    } catch (const std::exception& e) {
        // Frame buffers the size of the screen or the worker thread could not be had. This is
        // a click handler: the failure ends here, and the window stays idle.
        feeder_.reset();
        backToIdle();
        ShowMessage(tr("无法开始直播: %1").arg(QString::fromLocal8Bit(e.what())));
    }
}

void CBroadcasterDlg::OnStartFinished(bool started) {
    JoinWorker();
    busy_ = false;
    if (!started) {
        ShowButtons(false);
        FocusShownButton();
        UpdateStatusLine();
        RefreshIdleDevices();
        if (!feeder_->ScreenRefused()) {  // else the reason was shown already
            const std::string text = ConnectFailureText(
                feeder_->ConnectError(), settings_->publishUrl, settings_->TlsCaFile);
            std::fprintf(stderr, "%s\n", text.c_str());
            ShowMessage(QString::fromStdString(text));
        }
        return;
    }
    ShowButtons(true);
    FocusShownButton();
    lastAudioBlocks_ = lastCameraFrames_ = 0;
    audioStalledTicks_ = cameraStalledTicks_ = 0;
    UpdateData(false);
    SetClassroomIdentity();
    flash_->SetVariable(QStringLiteral("currentStreamName"),
                        QString::fromStdString(settings_->publishUrl));
    statusTimer_.start();
    UpdateStatusLine();
}

void CBroadcasterDlg::StopBroadcast() {
    if (busy_)
        return;
    busy_ = true;
    startButton_->setEnabled(false);
    stopButton_->setEnabled(false);
    statusTimer_.stop();
    ShowStatus(tr("状态：正在停止…"));
    capture::CBroadcastFeeder* feeder = feeder_.get();
    RunInWorker([this, feeder] {
        if (feeder != nullptr)
            feeder->Stop();
        QMetaObject::invokeMethod(
            this, [this] { OnStopFinished(); }, Qt::QueuedConnection);
    });
}

void CBroadcasterDlg::OnStopFinished() {
    JoinWorker();
    busy_ = false;
    ShowButtons(false);
    FocusShownButton();
    flash_->SetVariable(QStringLiteral("currentStreamName"), QString());
    preview_->ShowPlaceholder();
    meter_.Read();
    levelMeter_->Forget();
    UpdateStatusLine();
    RefreshIdleDevices();
    if (!feeder_)
        return;
    const OcelixLocalCopy copy = feeder_->LocalCopy();
    const std::string question = CopyEndQuestion(copy);
    if (!question.empty() && AskAppQuestion(this, QString::fromStdString(question)) && openFolder_)
        openFolder_(FolderOf(CopyPath(copy)));
}

void CBroadcasterDlg::OnLaunchUrl(const QString& url) {
    const QByteArray bytes = url.toUtf8();
    const std::optional<std::string> address = LaunchAddress(bytes.constData());
    if (!address || *address == values_.address)
        return;
    if (!AddressFits(*address)) {
        ShowMessage(QString::fromStdString(AddressTooLongMessage(*address)));
        return;
    }
    std::string plain = *address;
    UnshiftAddress(plain);
    const size_t amp = plain.rfind('&');
    const std::string meeting = amp == std::string::npos ? plain : plain.substr(amp + 1);
    const bool broadcasting = busy_ || (feeder_ && feeder_->Running());
    // The server is named too: a page must not pair a stranger's server with a familiar id.
    QString question = tr("切换到课堂 %1（服务器 %2）？")
                           .arg(AsWritten(meeting), AsWritten(AddressHost(plain.substr(0, amp))));
    if (broadcasting)
        question += tr("\n切换在重新开始直播后生效。");
    if (!AskAppQuestion(this, question))
        return;
    std::string error;
    if (!IniFile(SettingsPath()).WriteString("Device", "Address", *address, &error)) {
        ShowMessage(QString::fromStdString(SettingsWriteFailedMessage(error)));
        return;
    }
    values_.address = *address;
    if (!broadcasting && amp != std::string::npos) {
        values_.meetingId = meeting;
        SetClassroomIdentity();
    }
}

void CBroadcasterDlg::OnPictureTypeChanged() {
    UpdateData(true);
    if (!settings_ || values_.pictureType == settings_->VideoStyle)
        return;
    if (feeder_ && feeder_->Running())
        ShowMessage(tr("重新开始直播后才能生效"));
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

std::optional<std::string> CBroadcasterDlg::SelectedAudioDevice() const {
    const int selected = audioDevices_->currentIndex();
    if (selected < 0)
        return std::nullopt;
    const QVariant itemData = audioDevices_->itemData(selected);
    return itemData.isValid() ? AudioDeviceTable::Instance().At(itemData.toULongLong())
                              : std::string();
}

bool CBroadcasterDlg::Broadcasting() const {
    return feeder_ && feeder_->Running();
}

void CBroadcasterDlg::RefreshIdleDevices() {
    if (initialized_ && !endedDuringInit_)
        idleRefresh_.start();
}

void CBroadcasterDlg::OpenIdleDevices() {
    if (busy_ || Broadcasting() || !settings_ || endedDuringInit_)
        return;
    IdleChoice choice;
    const int type = pictureType_->currentIndex();
    choice.camera = type == capture::STYLE_CAMERA || type == capture::STYLE_CAMERA_WITH_SCREEN;
    choice.cameraIndex = videoDevices_->currentIndex();
    choice.videoWidth = settings_->VideoWidth;
    choice.videoHeight = settings_->VideoHeight;
    choice.frameRate = settings_->FrameRate;
    choice.screenWidth = settings_->ScreenWidth;
    choice.screenHeight = settings_->ScreenHeight;
    choice.microphone = sendAudio_->isChecked();
    choice.audioDevice = SelectedAudioDevice();
    choice.samplesPerSec = settings_->SamplesPerSec;
    choice.bitsPerSample = settings_->BitsPerSample;
    choice.channels = settings_->Chanels;
    // No message sink: what cannot be opened while idle is told by the preview and the meter.
    idle_->Open(choice, [this] {
        return makeDevices_(nullptr, LoadScreenCaptureOptions(IniFile(SettingsPath())));
    });
}

void CBroadcasterDlg::UpdateLevelMeter() {
    // While broadcasting, what the broadcast sends; idle, what the box says.
    const bool on = Broadcasting() ? settings_->HaveAudio != 0 : sendAudio_->isChecked();
    levelMeter_->SetOff(!on);
    levelMeter_->ShowLevel(meter_.Read());
    WatchIdleCamera();
}

void CBroadcasterDlg::WatchIdleCamera() {
    const int frames = preview_->Frames();
    const bool still = frames == idlePreviewFrames_;
    idlePreviewFrames_ = frames;
    if (busy_ || Broadcasting() || !idle_->CameraRunning() || !still) {
        idleCameraStalledReadings_ = 0;
        return;
    }
    // Once: the camera's next frame shows again by itself.
    if (++idleCameraStalledReadings_ == kStalledTicks * kMeterReadingsPerSecond)
        preview_->ShowPlaceholder();
}

void CBroadcasterDlg::UpdateStatusLine() {
    OcelixStats stats{};
    const bool broadcasting = !busy_ && stopButton_->isVisible() && feeder_ && feeder_->Running();
    if (!broadcasting || feeder_->Encoder() == nullptr ||
        OCELIX_GetStatsEx(feeder_->Encoder(), &stats, sizeof stats) == 0) {
        ShowStatus(tr("状态：未在直播"));
        return;
    }
    // Devices that deliver nothing: audio wanted but not captured, a microphone that hears
    // nothing, a camera that stopped.
    const auto stalled = [](uint64_t now, uint64_t& last, int& ticks) {
        ticks = now == last ? ticks + 1 : 0;
        last = now;
        return ticks >= kStalledTicks;
    };
    const bool audioStalled = stalled(feeder_->AudioBlocks(), lastAudioBlocks_, audioStalledTicks_);
    const bool cameraStalled =
        stalled(feeder_->CameraFrames(), lastCameraFrames_, cameraStalledTicks_);
    DeviceNotes devices;
    if (settings_->HaveAudio != 0) {
        devices.audioMissing = !feeder_->AudioCapturing() || audioStalled;
        devices.microphoneSilent = !devices.audioMissing && feeder_->MicrophoneSilent();
    }
    devices.cameraStalled = feeder_->UsesCamera() && cameraStalled;
    StatusPart lineFailure;
    if (stats.connected == 0 && IsSecurityFailure(stats.connectError)) {
        lineFailure = {QString::fromStdString(ConnectFailureText(
                           stats.connectError, settings_->publishUrl, settings_->TlsCaFile)),
                       QString::fromStdString(ConnectFailureBrief(stats.connectError))};
    }
    ShowStatus(FitStatusParts(
        BroadcastStatusParts(stats, devices, feeder_->LocalCopy(), lineFailure),
        statusLine_->fontMetrics(), statusLine_->contentsRect().width(), LabelLines(*statusLine_)));
}

void CBroadcasterDlg::ShowStatus(const QString& text) {
    statusLine_->setText(text);
    // Read on request: the name says what the line is, the description what it says now.
    statusLine_->setAccessibleDescription(text);
    // Told as it changes, but not each second: the clock and the counts alone are no news.
    static const QRegularExpression figures(QStringLiteral("[0-9.:\\s]"));
    QString gist = text;
    gist.remove(figures);
    if (gist == statusGist_)
        return;
    statusGist_ = gist;
    QAccessibleValueChangeEvent told(statusLine_, text);
    QAccessible::updateAccessibility(&told);
}

void CBroadcasterDlg::FocusShownButton() {
    (stopButton_->isVisible() ? stopButton_ : startButton_)->setFocus(Qt::OtherFocusReason);
}

void CBroadcasterDlg::OnEnterOrEscape(bool enter) {
    if (busy_)
        return;
    if (enter) {
        if (startButton_->isVisible() && startButton_->isEnabled())
            StartBroadcast();
        return;
    }
    // The question is modal: the broadcast may have ended or begun to stop meanwhile.
    if (Broadcasting() && AskAppQuestion(this, tr("停止直播吗？")) && !busy_ && Broadcasting())
        StopBroadcast();
}

void CBroadcasterDlg::closeEvent(QCloseEvent* event) {
    ShowMessage(tr("直播结束!"));
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
            const auto* keyEvent = static_cast<QKeyEvent*>(event);
            const int key = keyEvent->key();
            const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
            if (!(enter || key == Qt::Key_Escape) || !BelongsToDialog(watched))
                break;
            // Enter in the classroom page is the page's (a link, a field of its own).
            QWidget* focus = QApplication::focusWidget();
            if (enter && focus != nullptr && (focus == flash_ || flash_->isAncestorOf(focus)))
                break;
            // Neither closes the window (the close button does): Enter starts, Escape stops.
            if (event->type() == QEvent::KeyPress && !keyEvent->isAutoRepeat()) {
                if (enter && focus == menuButton_)
                    menuButton_->showMenu();  // Enter on the menu button opens it
                else
                    OnEnterOrEscape(enter);
            }
            return true;
        }
        default:
            break;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace app
