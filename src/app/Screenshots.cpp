// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "app/Screenshots.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <cstdio>
#include <exception>

#include "app/BaseForm.h"
#include "app/TorvelSettingsDialog.h"
#include "app/WindowRules.h"
#include "app/fmuAbout.h"
#include "app/fmuMain.h"
#include "app/fmuReportViewer.h"
#include "job/MainController.h"
#include "job/VersionInfo.h"

namespace kvitor {
namespace {

// Drives the window through its own controls, polling them like a user who
// watches the screen.
class TScreenshotRun : public QObject {
 public:
  TScreenshotRun(TfmMain& form, const QString& folder)
      : QObject(&form),
        form_(form),
        folder_(folder),
        poll_(this),
        last_(form.findChild<QSpinBox*>(QStringLiteral("seDocNumber2"))),
        start_(form.findChild<QPushButton*>(QStringLiteral("btnStart"))),
        stop_(form.findChild<QPushButton*>(QStringLiteral("btnStop"))),
        save_(form.findChild<QPushButton*>(QStringLiteral("btnSave"))),
        progress_(form.findChild<QProgressBar*>(QStringLiteral("ProgressBar"))),
        status_(form.findChild<QLabel*>(QStringLiteral("lblStatusText"))) {
    QDir().mkpath(folder_);
    connect(&poll_, &QTimer::timeout, this, [this] { Step(); });
    poll_.start(50);
    clock_.start();
  }

 private:
  bool Save(QWidget& widget, const char* name) {
    const QString file = QDir(folder_).filePath(QString::fromLatin1(name));
    if (widget.grab().save(file)) return true;
    Fail(QStringLiteral("cannot write %1").arg(file));
    return false;
  }

  void Fail(const QString& why) {
    std::fprintf(stderr, "kvitor screenshots: %s\n", why.toLocal8Bit().constData());
    poll_.stop();
    QCoreApplication::exit(1);
  }

  void Step() {
    if (!last_ || !start_ || !stop_ || !save_ || !progress_ || !status_) {
      Fail(QStringLiteral("the main window lacks a control"));
      return;
    }
    if (clock_.elapsed() > 60'000) {
      Fail(QStringLiteral("the job took longer than a minute"));
      return;
    }
    switch (stage_) {
      case 0:  // the start-up status read fills in the last number and the storage line
        if ((last_->value() > 0 && !form_.ReadingStatus()) || clock_.elapsed() > 10'000) {
          if (!Save(form_, "main-storage.png")) return;
          start_->click();
          stage_ = 1;
        }
        break;
      case 1:
        if (stop_->isEnabled() && progress_->value() >= 40 && progress_->value() < 100) {
          if (Save(form_, "main-running.png")) stage_ = 2;
        } else if (!stop_->isEnabled()) {
          stage_ = 2;  // too quick to catch running; the finished picture still comes
        }
        break;
      case 2:
        if (status_->text().startsWith(QStringLiteral("Ошибка"))) {
          Fail(status_->text());
        } else if (save_->isEnabled()) {
          if (Save(form_, "main-finished.png")) stage_ = 3;
        }
        break;
      case 3: SaveDialogs(); break;
      case 4: ViewerFiltered(); break;
      default: break;
    }
  }

  void SaveDialogs() {
    stage_ = 5;
    // The save dialog with a .txt name typed while the .bin type is chosen:
    // the name decides.
    auto* wait = new QTimer(this);
    connect(wait, &QTimer::timeout, this, [this, wait] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr || !dialog->isVisible()) return;
      wait->stop();
      wait->deleteLater();
      if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        name->setText(QStringLiteral("отчет.txt"));
      QApplication::processEvents();
      static_cast<void>(Save(*dialog, "save-dialog.png"));
      dialog->reject();
    });
    wait->start(100);
    save_->click();
    // A range past the storage, refused with the storage's number.
    QMessageBox error(QMessageBox::Critical, QString::fromUtf8(kApplicationTitle),
                      RangeProblem(1, last_->value() + 5, last_->value()), QMessageBox::Ok, &form_);
    error.show();
    QApplication::processEvents();
    if (!Save(error, "error-range.png")) return;
    error.hide();
    TfmAbout about(&form_);
    about.SetTitle(form_.windowTitle());
    about.AddLines(
        {QStringLiteral("Версия программы: ") + QString::fromUtf8(GetFileVersionText().c_str())});
    about.show();
    QApplication::processEvents();
    if (!Save(about, "about.png")) return;
    about.hide();
    // The window's questions about a journal and an unsaved report.
    for (const auto& [question, name] :
         {std::pair{TfmMain::JournalQuestion(1500, 3000), "question-journal.png"},
          std::pair{TfmMain::UnsavedQuestion(), "question-unsaved.png"}}) {
      const auto box = TfmMain::MakeChoiceBox(&form_, question.first, question.second);
      box->show();
      QApplication::processEvents();
      if (!Save(*box, name)) return;
      box->hide();
    }
    TTorvelSettingsDialog settings(&form_);
    settings.show();
    // Shown, then fitted to the screen and laid out again.
    for (QElapsedTimer shown; !shown.isValid() || shown.elapsed() < 300;) {
      if (!shown.isValid()) shown.start();
      QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    if (!Save(settings, "driver-settings.png")) return;
    settings.hide();
    // The report, saved and opened in the viewer, filtered in lower case.
    const QString report = QDir(folder_).filePath(QStringLiteral("report.bin.tmp"));
    try {
      form_.Controller().SaveReport(QFile::encodeName(report).toStdString(),
                                    TReportFileType::Binary);
    } catch (const std::exception& e) {
      Fail(QString::fromUtf8(e.what()));
      return;
    }
    viewer_ = new TfmReportViewer(&form_);
    viewer_->Open(report);
    viewer_->show();
    stage_ = 4;
  }

  void ViewerFiltered() {
    if (!viewer_ || viewer_->Loading()) return;
    auto* filter = viewer_->findChild<QLineEdit*>(QStringLiteral("edFilter"));
    if (filter == nullptr) {
      Fail(QStringLiteral("the viewer lacks its filter"));
      return;
    }
    if (!filtered_) {
      filtered_ = true;
      filter->setText(QStringLiteral("наимен"));
      emit filter->returnPressed();
      return;
    }
    Save(*viewer_, "viewer-filter.png");
    QFile::remove(QDir(folder_).filePath(QStringLiteral("report.bin.tmp")));
    poll_.stop();
    QCoreApplication::exit(0);
  }

  TfmMain& form_;
  QString folder_;
  QTimer poll_;
  QElapsedTimer clock_;
  QPointer<QSpinBox> last_;
  QPointer<QPushButton> start_, stop_, save_;
  QPointer<QProgressBar> progress_;
  QPointer<QLabel> status_;
  QPointer<TfmReportViewer> viewer_;
  bool filtered_ = false;
  int stage_ = 0;
};

}  // namespace

void StartScreenshotRun(TfmMain& form, const QString& folder) {
  new TScreenshotRun(form, folder);  // owned by form
}

}  // namespace kvitor
