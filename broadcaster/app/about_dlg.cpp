#include "app/about_dlg.h"

#include <QFont>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/dialog_resources.h"

namespace app {
namespace {

int Px(int units) {
    return static_cast<int>(units * 1.5 + 0.5);
}

QRect Dlu(int x, int y, int w, int h) {
    return QRect(Px(x), Px(y), Px(w), Px(h));
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent),
      history_(tr("新一代网络教学系统(Tutorlane) 教师直播客户端\n"
                  "\n"
                  "v1.3 (Build 140423.1306)\n"
                  "  · 画中画直播：大画面可选桌面或摄像头\n"
                  "  · 断线后每两秒自动重新连接服务器\n"
                  "  · 直播参数保存在程序目录的 config.ini 中\n"
                  "\n"
                  "v1.2\n"
                  "  · 极速开课模式：无课堂地址时自动开通网络课堂\n"
                  "  · 支持通过 zembra.publish:// 链接从课堂网页启动\n"
                  "\n"
                  "v1.1\n"
                  "  · 增加音频设备选择与“发送音频”开关\n"
                  "  · 速率设定可在 80-800 kb 之间调整\n"
                  "\n"
                  "v1.0\n"
                  "  · 首个版本：电脑桌面与摄像头视频直播，H.264 视频与 AAC 音频\n")) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(tr("关于"));
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(12);
    setFont(font);
    setFixedSize(Px(328), Px(197));

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setGeometry(Px(6), Px(13), 32, 32);
    icon->setPixmap(ApplicationIcon().pixmap(32, 32));
    icon->setAccessibleName(tr("程序图标"));

    auto* maker = new QLabel(tr("Tutorlane 网络教学 —— 在线课堂与直播软件"), this);
    maker->setObjectName(QStringLiteral("aboutMaker"));
    // Both lines reach to the OK button: their English texts need it.
    maker->setGeometry(Dlu(36, 14, 229, 10));
    auto* rights = new QLabel(tr("版权所有，承接定制开发"), this);
    rights->setObjectName(QStringLiteral("aboutRights"));
    rights->setGeometry(Dlu(36, 28, 229, 11));

    auto* ok = new QPushButton(tr("确定"), this);
    ok->setObjectName(QStringLiteral("ctl1"));
    ok->setGeometry(Dlu(271, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* history = new QPlainTextEdit(this);
    history->setObjectName(QStringLiteral("ctl1057"));
    history->setGeometry(Dlu(6, 46, 315, 144));
    history->setFrameStyle(QFrame::Box | QFrame::Plain);
    history->setReadOnly(true);
    history->setPlainText(history_);
    history->setAccessibleName(tr("版本历史"));
}

}  // namespace app
