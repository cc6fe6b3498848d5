#include "app/status_line.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QLabel>
#include <algorithm>

#include "app/local_copy.h"
#include "capture/capture_video.h"

namespace app {
namespace {

const QString kBetweenParts = QStringLiteral("  ");

QString TwoDigits(int n) {
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

}  // namespace

StatusParts BroadcastStatusParts(const OcelixStats& stats, const DeviceNotes& devices,
                                 const OcelixLocalCopy& copy, const StatusPart& lineFailure) {
    const int seconds = std::max(stats.elapsedMs, 0) / 1000;
    const QString elapsed = TwoDigits(seconds / 3600) + QLatin1Char(':') +
                            TwoDigits(seconds / 60 % 60) + QLatin1Char(':') +
                            TwoDigits(seconds % 60);
    const QString state = stats.connected != 0
                              ? QCoreApplication::translate("window", "直播中")
                              : QCoreApplication::translate("window", "正在重新连接…");
    StatusParts parts;
    parts.push_back(
        {QCoreApplication::translate("window", "状态：%1  %2").arg(state, elapsed), {}});
    if (!lineFailure.text.isEmpty())
        parts.push_back(lineFailure);
    if (devices.audioMissing) {
        parts.push_back({QCoreApplication::translate("window", "未发送音频：音频设备无法使用"),
                         QCoreApplication::translate("window", "未发送音频")});
    } else if (devices.microphoneSilent) {
        parts.push_back({QCoreApplication::translate("window", "麦克风没有声音"), {}});
    }
    if (devices.cameraStalled) {
        parts.push_back({QCoreApplication::translate("window", "摄像头：") +
                             QString::fromLatin1(capture::CCaptureVideo::kRunFailedText),
                         QCoreApplication::translate("window", "摄像头无法使用")});
    }
    if (const std::string text = CopyStatusText(copy); !text.empty()) {
        parts.push_back(
            {QString::fromStdString(text), QString::fromStdString(CopyStatusBrief(copy))});
    }
    // What goes out, what never reached the server, ticks the encoder left out, how long the
    // oldest waiting packet has been queued, and what the encoder aims at (lowered on a slow
    // line).
    parts.push_back({QStringLiteral("%1 kbit/s").arg(stats.sendKbps), {}});
    if (stats.packetsDropped > 0)
        parts.push_back(
            {QCoreApplication::translate("window", "丢包 %1").arg(stats.packetsDropped), {}});
    if (stats.framesSkipped > 0)
        parts.push_back(
            {QCoreApplication::translate("window", "跳帧 %1").arg(stats.framesSkipped), {}});
    parts.push_back(
        {QCoreApplication::translate("window", "延迟 %1 ms").arg(stats.queueDelayMs), {}});
    if (stats.targetKbps > 0)
        parts.push_back(
            {QCoreApplication::translate("window", "目标 %1 kbit/s").arg(stats.targetKbps), {}});
    return parts;
}

QString FitStatusParts(const StatusParts& parts, const QFontMetrics& metrics, int width,
                       int lines) {
    QStringList shown;
    const auto place = [&](const QString& text) {
        for (QString& line : shown) {
            if (metrics.horizontalAdvance(line + kBetweenParts + text) <= width) {
                line += kBetweenParts + text;
                return true;
            }
        }
        if (shown.size() < std::max(lines, 1) &&
            (shown.isEmpty() || metrics.horizontalAdvance(text) <= width)) {
            shown.append(text);
            return true;
        }
        return false;
    };
    // A part that finds no room, not even in brief, takes every less important one with it:
    // those never show in its place.
    for (const StatusPart& part : parts) {
        if (!place(part.text) && (part.brief.isEmpty() || !place(part.brief)))
            break;
    }
    return shown.join(QLatin1Char('\n'));
}

int LabelLines(const QLabel& label) {
    // A line takes the font's whole height even where the font asks for less spacing.
    const QFontMetrics metrics = label.fontMetrics();
    const int spacing = std::max({metrics.lineSpacing(), metrics.height(), 1});
    return std::max(label.contentsRect().height() / spacing, 1);
}

}  // namespace app
