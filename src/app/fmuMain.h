// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "app/WindowRules.h"
#include "job/FNReportReader.h"
#include "report/ReportSave.h"

class QCheckBox;
class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QEvent;
class QGroupBox;
class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QShowEvent;
class QSpinBox;
class QTimer;

namespace kvitor {

class TMainController;

// The program's working window: the storage it reads and its last document
// number, the document range, start and stop of a read job with its progress
// and times, the driver's settings, saving the report, the viewer of saved
// reports and the about window. It owns the read job controller and learns
// everything about a job from its polled status record.
class TfmMain : public QWidget {
  Q_OBJECT

 public:
  explicit TfmMain(QWidget* parent = nullptr);
  ~TfmMain() override;

  [[nodiscard]] TMainController& Controller() { return *controller_; }
  // Where the save dialog starts: the last save's folder, else the user's
  // documents folder, else home.
  [[nodiscard]] QString SaveDialogFolder() const;
  [[nodiscard]] bool Saving() const { return saving_; }
  // Whether the storage's status is being read.
  [[nodiscard]] bool ReadingStatus() const { return statusReading_; }
  // Opens a saved report in a viewer of its own.
  void OpenReport(const QString& fileName);

  // The dialogs the window opens, replaceable so that tests can answer them.
  // askYesNo: the stop confirmation, true for Yes.
  std::function<bool(const QString& text)> askYesNo;
  // showError: the standard error message box.
  std::function<void(const QString& text)> showError;
  // chooseSaveFile: the save dialog, starting in folder with the proposed
  // name; nothing when the user cancels. The name as typed, and the type of
  // the chosen filter.
  std::function<std::optional<TSaveChoice>(const QString& folder, const QString& proposedName)>
      chooseSaveFile;
  // chooseReportFile: the open dialog of "Открыть отчет..."; empty when cancelled.
  std::function<QString()> chooseReportFile;
  // askChoice: a question with these buttons; the index of the one chosen,
  // the last (Отмена) when the box is closed.
  std::function<int(const QString& text, const QStringList& buttons)> askChoice;

  // The box askChoice shows, and the window's two questions with their buttons.
  [[nodiscard]] static std::unique_ptr<QMessageBox> MakeChoiceBox(QWidget* parent,
                                                                  const QString& text,
                                                                  const QStringList& buttons);
  [[nodiscard]] static std::pair<QString, QStringList> JournalQuestion(int32_t held, int32_t count);
  [[nodiscard]] static std::pair<QString, QStringList> UnsavedQuestion();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void FormCreate();
  // Reads the storage's status off the window's thread; resetRange puts
  // the range to the whole storage once it is known.
  void RequestFNStatus(bool resetRange);
  void OnFNStatusRead(const TFNStatusRec& status);
  void OnFNStatusFailed(const QString& error);
  void ShowStorageText(const QString& text);
  void UpdateRecentMenu();

  void btnStartClick();
  void btnStopClick();
  void btnSaveClick();
  void btnDriverClick();
  void btnAboutClick();
  void btnOpenReportClick();
  void btnReadFNStatusClick();
  void TimerTimer();

  bool ConfirmStop();
  // Before an unsaved report is given up: Да saves it (false when that does
  // not happen), Нет goes on, Отмена stops.
  bool ConfirmUnsaved();
  // With a journal holding documents of the range: whether to go on from it
  // (into restart when not); false for Отмена.
  bool AskJournal(int32_t first, int32_t last, bool& restart);
  void StartRead(bool restart);
  std::optional<TSaveChoice> ChooseSaveTarget();
  // The other type's file of a choice to save both, unless the user keeps
  // an existing one.
  std::optional<QString> CompanionTarget(const TSaveChoice& choice) const;
  void SaveSucceeded(const TSaveChoice& choice, const QStringList& written);
  void UpdateView();
  // The status line: the whole text where three lines hold it, else as much
  // as fits with the whole text as the hint; its size never changes.
  void ShowStatusText(const QString& text);
  // A save runs on the controller's thread: the window shows its count, and
  // the controls wait for its end.
  void BeginSaveView();
  void UpdateSaveView();

  std::optional<TSaveChoice> ShowSaveDialog(const QString& folder, const QString& proposedName);

  std::unique_ptr<TMainController> controller_;
  // The save running: its choice, the files written so far and the other
  // type's file still to write.
  bool saving_ = false;
  TSaveChoice savingChoice_;
  QStringList savedFiles_;
  std::optional<QString> savingCompanion_;
  bool placed_ = false;
  bool startupAsked_ = false;
  bool wasRunning_ = false;
  // The storage as last read: its last number once known, the error of a
  // read that failed, and whether a read runs.
  bool statusReading_ = false;
  bool startAfterStatus_ = false;
  bool resetRangeOnStatus_ = false;
  std::optional<int64_t> storageLast_;
  QString statusError_;
  QString storageSource_;  // where the driver reads, as the storage line says
  // What the status line says instead of an idle controller's text (a save,
  // a storage out of reach); cleared by the next job.
  QString notice_;

  QLabel* lblTitle = nullptr;
  QPushButton* btnStart = nullptr;
  QPushButton* btnStop = nullptr;
  QPushButton* btnSave = nullptr;
  QPushButton* btnDriver = nullptr;
  QPushButton* btnAbout = nullptr;
  QPushButton* btnClose = nullptr;
  QPushButton* btnOpenReport = nullptr;
  QPushButton* btnRecent = nullptr;
  QLabel* lblStorage = nullptr;
  QGroupBox* gbMain = nullptr;
  QLabel* lblDocNumber1 = nullptr;
  QSpinBox* seDocNumber1 = nullptr;
  QLabel* lblDocNumber2 = nullptr;
  QSpinBox* seDocNumber2 = nullptr;
  QPushButton* btnReadFNStatus = nullptr;
  QCheckBox* chbOnlyIfTag1162Exist = nullptr;
  QCheckBox* chbFfd12 = nullptr;
  QProgressBar* ProgressBar = nullptr;
  QLabel* lblProgress = nullptr;
  QLabel* lblStatusText = nullptr;
  QLabel* lblTimeLeft = nullptr;
  QLabel* lblStartTime = nullptr;
  QTimer* Timer = nullptr;
};

}  // namespace kvitor
