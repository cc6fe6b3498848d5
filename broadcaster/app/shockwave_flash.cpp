#include "app/shockwave_flash.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>
#include <QWebEnginePage>

namespace app {

QString ScriptCall(const QString& function, const QStringList& arguments) {
    const QString array = QString::fromUtf8(
        QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact));
    return QStringLiteral("if (typeof %1 === 'function') { %1.apply(null, %2); }")
        .arg(function, array);
}

namespace {

// The classroom page stays the page: once it has loaded, the view goes nowhere else (a link, a
// script, a dropped file or URL); only LoadMovie loads again.
class ClassroomPage final : public QWebEnginePage {
  public:
    explicit ClassroomPage(CShockwaveFlash* view) : QWebEnginePage(view), view_(view) {}
    void AllowNextLoad() { allowNext_ = true; }

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType /*type*/,
                                 bool isMainFrame) override {
        if (!isMainFrame)
            return true;  // frames inside the page are the page's own business
        if (std::exchange(allowNext_, false))
            return true;
        emit view_->NavigationRefused(url);
        return false;
    }

  private:
    CShockwaveFlash* view_;
    bool allowNext_ = false;
};

}  // namespace

CShockwaveFlash::CShockwaveFlash(QWidget* parent) : QWebEngineView(parent) {
    setPage(new ClassroomPage(this));
    setAcceptDrops(false);
    setContextMenuPolicy(Qt::NoContextMenu);
    connect(this, &QWebEngineView::loadFinished, this, &CShockwaveFlash::OnLoadFinished);
}

void CShockwaveFlash::LoadMovie(int /*layer*/, const QString& url) {
    // One layer here: the page replaces whatever the view showed. The file is read and handed
    // over as HTML whatever its name, so that its ".dll" name doesn't make it a download.
    const QUrl fileUrl = url.contains(QStringLiteral("://")) ? QUrl(url) : QUrl::fromLocalFile(url);
    loaded_ = false;
    static_cast<ClassroomPage*>(page())->AllowNextLoad();
    QFile file(fileUrl.toLocalFile());
    constexpr qint64 kMaxPageBytes = 1 << 20;  // what setHtml takes comfortably
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxPageBytes) {
        load(fileUrl);  // shows the engine's own error page
        return;
    }
    setHtml(QString::fromUtf8(file.readAll()), fileUrl);
}

void CShockwaveFlash::Play() {
    RunScript(ScriptCall(QStringLiteral("play"), {}));
}

void CShockwaveFlash::SetVariable(const QString& name, const QString& value) {
    variables_.emplace_back(name, value);
    RunScript(ScriptCall(QStringLiteral("setVariable"), {name, value}));
}

void CShockwaveFlash::TranslatePage() {
    // The texts of the classroom page shipped with the program; a school's own page may take
    // them too.
    static const char* const kPageTexts[] = {
        QT_TRANSLATE_NOOP("ClassroomPage", "网络课堂"),
        QT_TRANSLATE_NOOP("ClassroomPage", "课堂号"),
        QT_TRANSLATE_NOOP("ClassroomPage", "未开始直播"),
        QT_TRANSLATE_NOOP("ClassroomPage", "直播中"),
        QT_TRANSLATE_NOOP("ClassroomPage", "教师端"),
        QT_TRANSLATE_NOOP("ClassroomPage", "课堂准备中"),
        QT_TRANSLATE_NOOP("ClassroomPage", "课堂已打开"),
    };
    //: The language code of the translation (the classroom page's lang attribute).
    QStringList arguments{QCoreApplication::translate("ClassroomPage", "zh-CN")};
    for (const char* source : kPageTexts) {
        arguments << QString::fromUtf8(source)
                  << QCoreApplication::translate("ClassroomPage", source);
    }
    RunScript(ScriptCall(QStringLiteral("setTexts"), arguments));
}

void CShockwaveFlash::RunScript(const QString& script) {
    if (!loaded_) {
        pending_.append(script);
        return;
    }
    page()->runJavaScript(script);
    emit ScriptRan(script);
}

void CShockwaveFlash::OnLoadFinished(bool ok) {
    if (!ok)
        return;
    loaded_ = true;
    const QStringList queued = std::exchange(pending_, {});
    for (const QString& script : queued)
        RunScript(script);
}

}  // namespace app
