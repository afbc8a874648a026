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

#include "report/ReportSave.h"

class QCheckBox;
class QCloseEvent;
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

// What the user chose in the save dialog: the file name and the file type,
// taken from the chosen filter.
struct TSaveChoice {
  QString FileName;
  TReportFileType FileType = TReportFileType::Binary;
};

// The program's working window: the document range, start and stop of a
// read job with its progress and times, the storage's last document number,
// the driver's settings, saving the report and the about window. It owns the
// read job controller and learns everything about a job from its polled
// status record.
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

  // The dialogs the window opens, replaceable so that tests can answer them.
  // askYesNo: the stop confirmation, true for Yes.
  std::function<bool(const QString& text)> askYesNo;
  // showError: the standard error message box.
  std::function<void(const QString& text)> showError;
  // chooseSaveFile: the save dialog, starting in folder with the proposed
  // name; nothing when the user cancels.
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

 private:
  void CreateControls();
  void FormCreate();
  void OnFNStatusRead(int32_t lastDocNumber);

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
  std::optional<std::pair<QString, TReportFileType>> ChooseSaveTarget();
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
  // The folder of the last save; empty until one succeeded.
  QString saveFolder_;
  // The save running, with its target's folder.
  bool saving_ = false;
  QString savingFolder_;
  bool centred_ = false;
  bool startupAsked_ = false;

  QLabel* lblTitle = nullptr;
  QPushButton* btnStart = nullptr;
  QPushButton* btnStop = nullptr;
  QPushButton* btnSave = nullptr;
  QPushButton* btnDriver = nullptr;
  QPushButton* btnAbout = nullptr;
  QPushButton* btnClose = nullptr;
  QPushButton* btnOpenReport = nullptr;
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
