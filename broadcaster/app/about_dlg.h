// The about box: icon, the maker's two lines, OK, and the product's history.
#pragma once

#include <QDialog>
#include <QString>

namespace app {

class CAboutDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    const QString& History() const { return history_; }

  private:
    QString history_;
};

}  // namespace app
