#include "app/level_meter_bar.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace app {
namespace {

const QColor kTrack(0x2b, 0x2f, 0x36);
const QColor kGood(0x3c, 0xb3, 0x4a);
const QColor kLoud(0xe0, 0xb0, 0x1f);
const QColor kClipping(0xd9, 0x3a, 0x3a);
const QColor kWarning(0xc5, 0x34, 0x3b);

// Peaks above these are loud, then at the edge of clipping.
constexpr double kLoudDbfs = -6.0;
constexpr double kClippingDbfs = -1.0;

// Where a level lies on the bar, from 0 (the floor) to 1 (full scale).
double Fraction(double dbfs) {
    if (!std::isfinite(dbfs))
        return 0.0;
    return std::clamp((dbfs - LevelMeterBar::kFloorDbfs) / -LevelMeterBar::kFloorDbfs, 0.0, 1.0);
}

}  // namespace

LevelMeterBar::LevelMeterBar(QWidget* parent) : QWidget(parent) {
    setAccessibleName(tr("麦克风音量"));
    Describe();
}

void LevelMeterBar::ShowLevel(const capture::AudioLevel& level) {
    const bool hadInput = HasInput();
    const double peak = peakDbfs_;
    const double rms = rmsDbfs_;
    if (level.frames > 0) {
        quietReadings_ = 0;
        peakDbfs_ = level.peakDbfs;
        rmsDbfs_ = level.rmsDbfs;
    } else if (quietReadings_ < kQuietReadings) {
        ++quietReadings_;
    }
    // A repaint costs the whole window's composition (the classroom view is drawn through the
    // GPU API, in software where there is none): only when what the meter shows has changed.
    const auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
    if (hadInput == HasInput() && same(peak, peakDbfs_) && same(rms, rmsDbfs_))
        return;
    Describe();
    update();
}

void LevelMeterBar::Forget() {
    quietReadings_ = kQuietReadings;
    Describe();
    update();
}

void LevelMeterBar::SetOff(bool off) {
    if (off == off_)
        return;
    off_ = off;
    quietReadings_ = kQuietReadings;
    setEnabled(!off);
    Describe();
    update();
}

QString LevelMeterBar::Reading() const {
    if (off_)
        return tr("关");
    if (!HasInput())
        return tr("无输入");
    if (!(peakDbfs_ >= kFloorDbfs))
        return tr("无声");
    return QStringLiteral("%1 dB").arg(std::lround(peakDbfs_));
}

void LevelMeterBar::Describe() {
    QString text;
    if (off_)
        text = tr("不发送音频");
    else if (!HasInput())
        text = tr("没有声音输入");
    else
        text = tr("峰值 %1 dBFS，均方根 %2 dBFS")
                   .arg(std::isfinite(peakDbfs_) ? QString::number(peakDbfs_, 'f', 1)
                                                 : QStringLiteral("-∞"),
                        std::isfinite(rmsDbfs_) ? QString::number(rmsDbfs_, 'f', 1)
                                                : QStringLiteral("-∞"));
    if (accessibleDescription() != text) {
        setAccessibleDescription(text);
        setToolTip(text);
    }
}

void LevelMeterBar::paintEvent(QPaintEvent* /*event*/) {
    QPainter p(this);
    const int barHeight = std::max(3, height() / 4);
    const QRect text(0, 0, width(), height() - barHeight - 2);
    const QRect bar(0, height() - barHeight, width(), barHeight);
    const bool silent = HasInput() && !(peakDbfs_ >= kFloorDbfs);
    p.setPen(off_ ? palette().color(QPalette::Disabled, QPalette::WindowText)
                  : (silent ? kWarning : palette().color(QPalette::WindowText)));
    QFont small = font();
    small.setPixelSize(std::max(8, text.height() - 3));
    p.setFont(small);
    p.drawText(text, Qt::AlignCenter, Reading());
    p.fillRect(bar, off_ ? palette().color(QPalette::Disabled, QPalette::Button) : kTrack);
    if (!HasInput())
        return;
    const QColor level =
        peakDbfs_ >= kClippingDbfs ? kClipping : (peakDbfs_ >= kLoudDbfs ? kLoud : kGood);
    const int filled = static_cast<int>(std::lround(Fraction(rmsDbfs_) * bar.width()));
    p.fillRect(QRect(bar.left(), bar.top(), filled, bar.height()), level);
    if (peakDbfs_ >= kFloorDbfs) {
        const int peakX =
            bar.left() +
            std::min(bar.width() - 2, static_cast<int>(Fraction(peakDbfs_) * bar.width()));
        p.fillRect(QRect(peakX, bar.top(), 2, bar.height()), Qt::white);
    }
}

}  // namespace app
