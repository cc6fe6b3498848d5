// The teacher's window: logo, camera preview, start/stop, the four broadcast parameters with the
// send-audio switch on the left; the classroom view on the right. It owns the settings record
// and the current feeder, starts and stops broadcasts, and tells the classroom which stream is
// live.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/idle_devices.h"
#include "app/launch_channel.h"
#include "app/message_box.h"
#include "app/settings.h"
#include "capture/audio_level_meter.h"
#include "capture/broadcast_feeder.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace app {

class CShockwaveFlash;
class LevelMeterBar;
class PreviewBridge;

constexpr char kVersionText[] = "v1.3 (Build 140423.1306)";
// The window title with the version in place of %1.
QString WindowTitle();

class CBroadcasterDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CBroadcasterDlg(QWidget* parent = nullptr);
    ~CBroadcasterDlg() override;

    // The dialog-start handler: menu, icon, single instance, skin, title, classroom page, device
    // lists, settings, values to controls, classroom identity. exec() runs it first; tests may
    // call it and then show the window.
    bool OnInitDialog();
    // Runs the initialisation, then the window modally, unless the initialisation ended it.
    int exec() override;

    // Data exchange: controls to values (true) or values to controls (false). False when a
    // control's text can't be read as its value (the user is told).
    bool UpdateData(bool saveAndValidate);

    // Start and stop run on a worker thread; meanwhile the window shows what it is doing and
    // both buttons ignore clicks.
    void StartBroadcast();
    void StopBroadcast();
    // True while a start or stop is in progress.
    bool Busy() const { return busy_; }
    // A launch URL from a later start of the program: shows the classroom and asks before the
    // window switches to it.
    void OnLaunchUrl(const QString& url);
    void OnPictureTypeChanged();
    void SetClassroomIdentity();
    void EnumerateVideoDevices();
    void EnumerateAudioDevices();
    void ShowAbout();
    // Makes the capture devices of each broadcast: the real ones unless a test gives others.
    using DeviceFactory = std::function<capture::FeederDevices(
        capture::MessageSink*, const capture::ScreenCaptureOptions&)>;
    void SetDeviceFactory(DeviceFactory factory) { makeDevices_ = std::move(factory); }
    // Shows the local copy's folder when the teacher asks for it at the end of a broadcast: the
    // desktop's file manager unless a test gives another.
    using FolderOpener = std::function<void(const std::string& folder)>;
    void SetFolderOpener(FolderOpener opener) { openFolder_ = std::move(opener); }

    CShockwaveFlash* Classroom() const { return flash_; }
    // The devices the window holds while idle (none while a broadcast starts, runs or stops).
    const IdleDevices& Idle() const { return *idle_; }
    capture::CBroadcastFeeder* Feeder() const { return feeder_.get(); }
    const BroadcastSettings* Settings() const { return settings_.get(); }
    const DialogValues& Values() const { return values_; }
    // True when the initialisation cancelled the dialog (settings could not be read).
    bool EndedDuringInit() const { return endedDuringInit_; }

    bool eventFilter(QObject* watched, QEvent* event) override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void CreateControls();
    // The order Tab takes through the controls.
    void OrderKeyboardPath();
    void ShowButtons(bool broadcasting);
    void LoadClassroom();
    int LoadSettingsNow(bool* outOfRange = nullptr);
    void UpdateStatusLine();
    // Shows text on the status line and tells a screen reader when what it says changes.
    void ShowStatus(const QString& text);
    // After a start or stop, the keyboard goes on from the button shown.
    void FocusShownButton();
    // Enter starts when idle; Escape, while broadcasting, asks and stops on yes.
    void OnEnterOrEscape(bool enter);
    void UpdateLevelMeter();
    // Idle, a camera that delivers nothing for a while leaves the placeholder in the preview
    // rather than its last picture (or the screen's from before it).
    void WatchIdleCamera();
    // Idle, the preview and the meter capture what a start would use; asked for after each
    // change of a choice, done once the changes of this turn of the event loop are in.
    void RefreshIdleDevices();
    void OpenIdleDevices();
    std::optional<std::string> SelectedAudioDevice() const;
    bool Broadcasting() const;
    void ShowMessage(const QString& text);
    void OnStartFinished(bool started);
    void OnStopFinished();
    void RunInWorker(std::function<void()> work);
    void JoinWorker();
    bool BelongsToDialog(QObject* object) const;

    // Dialog values.
    DialogValues values_;
    std::unique_ptr<BroadcastSettings> settings_;
    std::unique_ptr<PreviewBridge> preview_;
    capture::AudioLevelMeter meter_;
    std::unique_ptr<IdleDevices> idle_;
    std::unique_ptr<capture::CBroadcastFeeder> feeder_;
    DeviceFactory makeDevices_ = capture::DefaultFeederDevices;
    FolderOpener openFolder_;
    WindowMessageSink messages_;
    LaunchListener launches_;
    std::thread worker_;
    uint64_t lastAudioBlocks_ = 0;
    uint64_t lastCameraFrames_ = 0;
    int audioStalledTicks_ = 0;
    int cameraStalledTicks_ = 0;
    int idlePreviewFrames_ = 0;
    int idleCameraStalledReadings_ = 0;
    // The status line's text without its figures: what was last told to a screen reader.
    QString statusGist_;
    bool busy_ = false;
    bool initialized_ = false;
    bool endedDuringInit_ = false;

    // Controls.
    QLabel* logo_ = nullptr;              // 1058
    QLabel* previewWindow_ = nullptr;     // 1046
    QPushButton* startButton_ = nullptr;  // 1012
    QPushButton* stopButton_ = nullptr;   // 1043
    QLabel* statusLine_ = nullptr;
    QComboBox* pictureType_ = nullptr;   // 1057
    QComboBox* videoDevices_ = nullptr;  // 1053
    QComboBox* audioDevices_ = nullptr;  // 1055
    QLineEdit* bitrateEdit_ = nullptr;   // 1056
    QCheckBox* sendAudio_ = nullptr;     // 1044
    LevelMeterBar* levelMeter_ = nullptr;
    CShockwaveFlash* flash_ = nullptr;  // 1048
    QToolButton* menuButton_ = nullptr;
    QTimer statusTimer_;
    QTimer meterTimer_;
    QTimer idleRefresh_;
};

}  // namespace app
