// The microphone's level beside the audio device list: a bar of the RMS with a mark at the peak,
// the peak in dB above it, ten readings a second. Off (greyed, no level) while no sound is sent;
// a microphone that gives nothing but silence reads "无声" in the warning colour.
#pragma once

#include <QWidget>

#include "capture/audio_level_meter.h"

namespace app {

class LevelMeterBar final : public QWidget {
    Q_OBJECT

  public:
    // The bar spans this many dB below full scale; quieter is silence.
    static constexpr double kFloorDbfs = -60.0;
    // Readings in a row without sound before the meter says there is no input.
    static constexpr int kQuietReadings = 5;

    explicit LevelMeterBar(QWidget* parent = nullptr);

    // One reading of the meter (the sound since the one before).
    void ShowLevel(const capture::AudioLevel& level);
    // No input until the next reading with sound.
    void Forget();
    // Off: greyed, no level, until switched on again.
    void SetOff(bool off);

    bool Off() const { return off_; }
    // Whether sound came in the last readings, and its level then.
    bool HasInput() const { return !off_ && quietReadings_ < kQuietReadings; }
    double PeakDbfs() const { return peakDbfs_; }
    double RmsDbfs() const { return rmsDbfs_; }
    // What the meter says, as its text and for assistive tools.
    QString Reading() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void Describe();

    bool off_ = false;
    int quietReadings_ = kQuietReadings;
    double peakDbfs_ = kFloorDbfs;
    double rmsDbfs_ = kFloorDbfs;
};

}  // namespace app
