// The classroom view: a web view hosting the classroom page, behind the three calls the window
// makes of it (load, play, set a variable). Calls made before the page has loaded wait for it.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWebEngineView>
#include <utility>
#include <vector>

namespace app {

constexpr char kClassroomFile[] = "Quillon.dll";

class CShockwaveFlash : public QWebEngineView {
    Q_OBJECT

  public:
    explicit CShockwaveFlash(QWidget* parent = nullptr);

    // Loads the classroom page file at url (a path or a file URL) as the view's page.
    void LoadMovie(int layer, const QString& url);
    // Starts the page: its play() function.
    void Play();
    // The page's setVariable(name, value).
    void SetVariable(const QString& name, const QString& value);
    // Hands the page the window's language ("en", or "zh" for the texts as written) and the
    // translations of its texts: the page's setTexts(language, source, text, ...).
    void TranslatePage();

    // Every SetVariable call of this view, in call order.
    const std::vector<std::pair<QString, QString>>& VariableLog() const { return variables_; }
    bool PageLoaded() const { return loaded_; }

  signals:
    // A script call reached the page (queued calls report when they run).
    void ScriptRan(const QString& script);
    // The view refused to leave the classroom page for url.
    void NavigationRefused(const QUrl& url);

  private:
    void RunScript(const QString& script);
    void OnLoadFinished(bool ok);

    bool loaded_ = false;
    QStringList pending_;
    std::vector<std::pair<QString, QString>> variables_;
};

// The JavaScript call of function with string arguments, each JSON-quoted.
QString ScriptCall(const QString& function, const QStringList& arguments);

}  // namespace app
