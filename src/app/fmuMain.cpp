// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "app/fmuMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <climits>
#include <exception>

#include "KvitorMakerInfo.h"
#include "app/BaseForm.h"
#include "app/fmuAbout.h"
#include "app/fmuReportViewer.h"
#include "drivers/TorvelSettings.h"
#include "job/MainController.h"
#include "job/VersionInfo.h"
#include "tlv/DateText.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

const char* const kBinFilter = "Отчет о считывании ФД (*.bin)";
const char* const kTextFilter = "Отчет о считывании ФД (*.txt)";

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString ErrorText(const std::exception& e) { return QString::fromUtf8(e.what()); }

// A spin edit's number as typed; a text that is not a number reads as 0.
int32_t SpinValue(const QSpinBox& edit) {
  bool ok = false;
  const int value = edit.cleanText().toInt(&ok);
  return ok ? value : 0;
}

QPushButton* NewButton(const QString& caption, const char* name, const QString& hint,
                       QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(QString::fromLatin1(name));
  if (!hint.isEmpty()) button->setToolTip(hint);
  return button;
}

QIcon Glyph(const QWidget& owner, const char* themeName, QStyle::StandardPixmap fallback) {
  return QIcon::fromTheme(QString::fromLatin1(themeName), owner.style()->standardIcon(fallback));
}

QLabel* NewLabel(const QString& text, const char* name, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setTextFormat(Qt::PlainText);
  return label;
}

// Spin edits without bounds; a text that is not a number becomes 0 when the
// field is left.
QSpinBox* NewSpinEdit(const char* name, QWidget* parent) {
  auto* edit = new QSpinBox(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setRange(INT_MIN, INT_MAX);
  edit->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
  edit->setMinimumWidth(110);
  return edit;
}

// The type's extension goes on the name before the dialog asks about
// overwriting, so that the question is about the file actually written.
class TSaveDialog : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

  void accept() override {
    setDefaultSuffix(FileType() == TReportFileType::Binary ? QStringLiteral("bin")
                                                           : QStringLiteral("txt"));
    QFileDialog::accept();
  }

  [[nodiscard]] TReportFileType FileType() const {
    return selectedNameFilter() == QString::fromUtf8(kTextFilter) ? TReportFileType::Text
                                                                  : TReportFileType::Binary;
  }
};

}  // namespace

TfmMain::TfmMain(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      controller_(std::make_unique<TMainController>()) {
  askYesNo = [this](const QString& text) {
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(kApplicationTitle), text,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("ConfirmBox"));
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
  };
  showError = [this](const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kApplicationTitle), shown,
                    QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("ErrorBox"));
    box.exec();
  };
  chooseSaveFile = [this](const QString& folder, const QString& proposedName) {
    return ShowSaveDialog(folder, proposedName);
  };
  askChoice = [this](const QString& text, const QStringList& buttons) {
    const auto box = MakeChoiceBox(this, text, buttons);
    box->exec();
    const auto chosen = box->buttons().indexOf(box->clickedButton());
    return chosen < 0 ? static_cast<int>(buttons.size()) - 1 : static_cast<int>(chosen);
  };
  chooseReportFile = [this] {
    return QFileDialog::getOpenFileName(this, QStringLiteral("Открыть отчет"), saveFolder_,
                                        QStringLiteral("Отчет о считывании ФД (*.bin)"));
  };
  CreateControls();
  FormCreate();
}

std::unique_ptr<QMessageBox> TfmMain::MakeChoiceBox(QWidget* parent, const QString& text,
                                                    const QStringList& buttons) {
  auto box =
      std::make_unique<QMessageBox>(QMessageBox::Question, QString::fromUtf8(kApplicationTitle),
                                    text, QMessageBox::NoButton, parent);
  box->setObjectName(QStringLiteral("ChoiceBox"));
  QAbstractButton* last = nullptr;
  for (qsizetype i = 0; i < buttons.size(); ++i) {
    const bool cancel = i + 1 == buttons.size();
    last = box->addButton(buttons[i], cancel ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
  }
  if (last != nullptr) box->setEscapeButton(last);
  return box;
}

std::pair<QString, QStringList> TfmMain::JournalQuestion(int32_t held, int32_t count) {
  return {QStringLiteral("Журнал прошлого чтения этого ФН хранит документов: %1 из %2.")
              .arg(held)
              .arg(count),
          {QStringLiteral("Продолжить чтение (прочитано %1 из %2)").arg(held).arg(count),
           QStringLiteral("Начать заново"), QStringLiteral("Отмена")}};
}

std::pair<QString, QStringList> TfmMain::UnsavedQuestion() {
  return {QStringLiteral("Отчет не сохранен. Сохранить?"),
          {QStringLiteral("Да"), QStringLiteral("Нет"), QStringLiteral("Отмена")}};
}

// The controller's destructor waits for a job that is still finishing, and
// for a save, which is never cut short.
TfmMain::~TfmMain() {
  if (saving_) QApplication::restoreOverrideCursor();
}

void TfmMain::CreateControls() {
  setObjectName(QStringLiteral("fmMain"));
  setWindowTitle(QString::fromUtf8(kApplicationTitle));

  lblTitle = NewLabel(QStringLiteral("Отчет о считывании ФД"), "lblTitle", this);
  QFont titleFont = lblTitle->font();
  titleFont.setPointSize(15);
  titleFont.setBold(true);
  lblTitle->setFont(titleFont);
  QPalette titlePalette = lblTitle->palette();
  titlePalette.setColor(QPalette::WindowText, QColor(0, 0, 128));
  lblTitle->setPalette(titlePalette);
  lblTitle->setAlignment(Qt::AlignCenter);

  btnStart = NewButton(QStringLiteral("Начать"), "btnStart",
                       QStringLiteral("Начать чтение документов"), this);
  btnStart->setIcon(Glyph(*this, "media-playback-start", QStyle::SP_MediaPlay));
  btnStop = NewButton(QStringLiteral("Прервать"), "btnStop",
                      QStringLiteral("Прервать чтение документов"), this);
  btnStop->setIcon(Glyph(*this, "media-playback-stop", QStyle::SP_MediaStop));
  btnSave = NewButton(QStringLiteral("Сохранить..."), "btnSave",
                      QStringLiteral("Сохранение отчета в файле"), this);
  btnSave->setIcon(Glyph(*this, "document-save", QStyle::SP_DialogSaveButton));
  btnDriver = NewButton(QStringLiteral("Драйвер..."), "btnDriver",
                        QStringLiteral("Настройка параметров драйвера"), this);
  btnDriver->setIcon(Glyph(*this, "preferences-system", QStyle::SP_ComputerIcon));
  btnAbout = NewButton(QStringLiteral("О программе..."), "btnAbout",
                       QStringLiteral("Информация о программе"), this);
  btnClose = NewButton(QStringLiteral("Закрыть"), "btnClose", QString(), this);
  btnOpenReport = NewButton(QStringLiteral("Открыть отчет..."), "btnOpenReport",
                            QStringLiteral("Просмотр и экспорт сохраненного отчета"), this);

  gbMain = new QGroupBox(this);
  gbMain->setObjectName(QStringLiteral("gbMain"));
  lblDocNumber1 = NewLabel(QStringLiteral("Номер первого документа:"), "lblDocNumber1", gbMain);
  seDocNumber1 = NewSpinEdit("seDocNumber1", gbMain);
  lblDocNumber1->setBuddy(seDocNumber1);
  lblDocNumber2 = NewLabel(QStringLiteral("Номер последнего документа:"), "lblDocNumber2", gbMain);
  seDocNumber2 = NewSpinEdit("seDocNumber2", gbMain);
  lblDocNumber2->setBuddy(seDocNumber2);
  btnReadFNStatus = NewButton(QString(), "btnReadFNStatus",
                              QStringLiteral("Прочитать максимальный номер документа"), gbMain);
  btnReadFNStatus->setIcon(Glyph(*this, "view-refresh", QStyle::SP_BrowserReload));
  chbOnlyIfTag1162Exist =
      new QCheckBox(QStringLiteral("Включать только чеки с тегом 1162"), gbMain);
  chbOnlyIfTag1162Exist->setObjectName(QStringLiteral("chbOnlyIfTag1162Exist"));
  chbFfd12 = new QCheckBox(QStringLiteral("Реквизиты ФФД 1.2 и новее"), gbMain);
  chbFfd12->setObjectName(QStringLiteral("chbFfd12"));
  // With format 1.2 the marking code may stand in 1163 as well.
  connect(chbFfd12, &QCheckBox::toggled, this, [this](bool on) {
    chbOnlyIfTag1162Exist->setText(
        on ? QStringLiteral("Включать только чеки с кодом товара (1162/1163)")
           : QStringLiteral("Включать только чеки с тегом 1162"));
  });
  ProgressBar = new QProgressBar(gbMain);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  ProgressBar->setTextVisible(false);
  lblProgress = NewLabel(QString(), "lblProgress", gbMain);
  lblProgress->setMinimumWidth(44);
  lblProgress->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  // Texts of any length must not move the fixed layout: the labels take the
  // width they are given, and the status line the height of three lines.
  lblStatusText = NewLabel(QString(), "lblStatusText", gbMain);
  lblStatusText->setWordWrap(true);
  lblStatusText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lblStatusText->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lblStatusText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  lblStatusText->setFixedHeight(3 * lblStatusText->fontMetrics().lineSpacing() + 2);
  lblTimeLeft = NewLabel(QString(), "lblTimeLeft", gbMain);
  lblStartTime = NewLabel(QString(), "lblStartTime", gbMain);
  for (QLabel* label : {lblTimeLeft, lblStartTime})
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

  auto* range = new QGridLayout(gbMain);
  range->setContentsMargins(10, 10, 10, 8);
  range->setVerticalSpacing(6);
  range->addWidget(lblDocNumber1, 0, 0);
  range->addWidget(seDocNumber1, 0, 1);
  range->addWidget(lblDocNumber2, 1, 0);
  range->addWidget(seDocNumber2, 1, 1);
  range->addWidget(btnReadFNStatus, 1, 2, Qt::AlignLeft);
  range->addWidget(chbOnlyIfTag1162Exist, 2, 0, 1, 3);
  range->addWidget(chbFfd12, 3, 0, 1, 3);
  range->setRowMinimumHeight(3, 4);
  auto* progress = new QHBoxLayout;
  progress->addWidget(ProgressBar, 1);
  progress->addWidget(lblProgress);
  range->addLayout(progress, 4, 0, 1, 3);
  range->addWidget(lblStatusText, 5, 0, 1, 3);
  range->addWidget(lblTimeLeft, 6, 0, 1, 3);
  range->addWidget(lblStartTime, 7, 0, 1, 3);
  range->setRowStretch(8, 1);
  range->setColumnStretch(2, 1);

  auto* buttons = new QVBoxLayout;
  buttons->setSpacing(6);
  for (QPushButton* b : {btnStart, btnStop, btnSave, btnDriver}) buttons->addWidget(b);
  // In the free space below the four: the others keep their places.
  buttons->addWidget(btnOpenReport);
  buttons->addStretch();
  buttons->addWidget(btnAbout);
  buttons->addWidget(btnClose);

  auto* root = new QGridLayout(this);
  root->setContentsMargins(8, 6, 8, 8);
  root->setHorizontalSpacing(8);
  root->setVerticalSpacing(4);
  root->addWidget(lblTitle, 0, 0);
  root->addWidget(gbMain, 1, 0);
  root->addLayout(buttons, 1, 1);
  root->setColumnStretch(0, 1);
  root->setRowStretch(1, 1);

  setTabOrder(btnStart, btnStop);
  setTabOrder(btnStop, btnSave);
  setTabOrder(btnSave, btnDriver);
  setTabOrder(btnDriver, btnAbout);
  setTabOrder(btnAbout, btnClose);
  setTabOrder(btnClose, seDocNumber1);
  setTabOrder(seDocNumber1, seDocNumber2);
  setTabOrder(seDocNumber2, btnReadFNStatus);
  setTabOrder(btnReadFNStatus, chbOnlyIfTag1162Exist);
  setTabOrder(chbOnlyIfTag1162Exist, chbFfd12);
  setTabOrder(chbFfd12, btnOpenReport);

  Timer = new QTimer(this);
  Timer->setObjectName(QStringLiteral("Timer"));
  Timer->setInterval(100);

  connect(btnStart, &QPushButton::clicked, this, &TfmMain::btnStartClick);
  connect(btnStop, &QPushButton::clicked, this, &TfmMain::btnStopClick);
  connect(btnSave, &QPushButton::clicked, this, &TfmMain::btnSaveClick);
  connect(btnDriver, &QPushButton::clicked, this, &TfmMain::btnDriverClick);
  connect(btnAbout, &QPushButton::clicked, this, &TfmMain::btnAboutClick);
  connect(btnClose, &QPushButton::clicked, this, &QWidget::close);
  connect(btnOpenReport, &QPushButton::clicked, this, &TfmMain::btnOpenReportClick);
  connect(btnReadFNStatus, &QPushButton::clicked, this, &TfmMain::btnReadFNStatusClick);
  connect(Timer, &QTimer::timeout, this, &TfmMain::TimerTimer);

  setFixedSize(528, 303);
  btnStart->setFocus();
}

void TfmMain::FormCreate() {
  seDocNumber1->setValue(1);
  // Raised on the thread that did the read: the number travels to the
  // window's thread, and only there does it reach the control. The
  // controller, and with it any status read, ends before this QObject does.
  const QPointer<TfmMain> self(this);
  controller_->SetOnFNStatusRead([this, self](TMainController& sender) {
    const auto last = static_cast<int32_t>(sender.FNStatus().LastDocNumber);
    QMetaObject::invokeMethod(
        this,
        [self, last] {
          if (self) self->OnFNStatusRead(last);
        },
        Qt::QueuedConnection);
  });
  try {
    controller_->ReadFNStatusAsync();
  } catch (const std::exception&) {
    // The start-up read is a convenience: the field keeps its value.
  }
}

void TfmMain::OnFNStatusRead(int32_t lastDocNumber) {
  seDocNumber2->setValue(lastDocNumber);
  // At start-up a read left unfinished is offered at once.
  if (startupAsked_ || controller_->Running() || !isVisible()) return;
  startupAsked_ = true;
  bool restart = false;
  const int32_t first = SpinValue(*seDocNumber1);
  if (first < 1 || lastDocNumber < first) return;
  if (controller_->JournaledDocuments(first, lastDocNumber) == 0) return;
  if (AskJournal(first, lastDocNumber, restart)) StartRead(restart);
}

void TfmMain::showEvent(QShowEvent* event) {
  if (!centred_ && !event->spontaneous()) {
    centred_ = true;
    CenterOnScreen(*this);
  }
  QWidget::showEvent(event);
  if (!event->spontaneous()) UpdateView();
}

void TfmMain::closeEvent(QCloseEvent* event) {
  if (ConfirmStop() && ConfirmUnsaved()) {
    event->accept();
  } else {
    event->ignore();
  }
}

void TfmMain::btnReadFNStatusClick() {
  try {
    controller_->ReadFNStatus();
    seDocNumber1->setValue(1);
    seDocNumber2->setValue(static_cast<int32_t>(controller_->FNStatus().LastDocNumber));
  } catch (const std::exception& e) {
    showError(ErrorText(e));
  }
}

void TfmMain::btnStartClick() {
  if (controller_->Running() || !ConfirmUnsaved()) return;
  bool restart = false;
  if (!AskJournal(SpinValue(*seDocNumber1), SpinValue(*seDocNumber2), restart)) return;
  StartRead(restart);
}

bool TfmMain::AskJournal(int32_t first, int32_t last, bool& restart) {
  restart = false;
  if (first < 1 || last < first) return true;  // Start says what is wrong
  const int32_t held = controller_->JournaledDocuments(first, last);
  if (held == 0) return true;
  const auto [text, buttons] = JournalQuestion(held, last - first + 1);
  const int answer = askChoice(text, buttons);
  restart = answer == 1;
  return answer == 0 || answer == 1;
}

bool TfmMain::ConfirmUnsaved() {
  if (saving_ || controller_->Running() || !controller_->IsReportReady() ||
      controller_->ReportSaved()) {
    return true;
  }
  const auto [text, buttons] = UnsavedQuestion();
  const int answer = askChoice(text, buttons);
  if (answer == 1) return true;
  if (answer != 0) return false;
  const auto target = ChooseSaveTarget();
  if (!target) return false;
  // Here the save is waited for: what follows may discard the report.
  QApplication::setOverrideCursor(Qt::BusyCursor);
  try {
    controller_->SaveReport(QFile::encodeName(target->first).toStdString(), target->second);
  } catch (const std::exception& e) {
    QApplication::restoreOverrideCursor();
    showError(ErrorText(e));
    return false;
  }
  QApplication::restoreOverrideCursor();
  saveFolder_ = QFileInfo(target->first).absolutePath();
  return true;
}

void TfmMain::StartRead(bool restart) {
  TReadParams params;
  params.FirstNumber = SpinValue(*seDocNumber1);
  params.LastNumber = SpinValue(*seDocNumber2);
  params.OnlyIfTag1162Exist = chbOnlyIfTag1162Exist->isChecked();
  params.Restart = restart;
  params.Ffd12 = chbFfd12->isChecked();
  try {
    // The driver dialog's setting; a settings file that cannot be read keeps
    // the default, and the job's own driver says what is wrong with it.
    try {
      controller_->SetReconnectWait(std::chrono::seconds(LoadTorvelSettings().ReconnectWait));
    } catch (const std::exception&) {
      controller_->SetReconnectWait(std::chrono::seconds(kDefaultReconnectWait));
    }
    controller_->Start(params);
  } catch (const std::exception& e) {
    showError(ErrorText(e));
    return;
  }
  Timer->start();
  UpdateView();
}

void TfmMain::btnStopClick() { static_cast<void>(ConfirmStop()); }

void TfmMain::TimerTimer() {
  try {
    UpdateView();
  } catch (...) {
    Timer->stop();
  }
}

QString TfmMain::SaveDialogFolder() const {
  // Never the program's folder: not writable once installed, and no place for
  // reports when it is.
  if (!saveFolder_.isEmpty() && QFileInfo(saveFolder_).isDir()) return saveFolder_;
  QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (!documents.isEmpty() && QFileInfo(documents).isDir()) return documents;
  return QDir::homePath();
}

std::optional<std::pair<QString, TReportFileType>> TfmMain::ChooseSaveTarget() {
  const QString proposed = QString::asprintf(
      "ОтчетОСчитывании_%s", Cp1251ToUtf8(controller_->HeaderParams().FNNumber).c_str());
  const std::optional<TSaveChoice> choice = chooseSaveFile(SaveDialogFolder(), proposed);
  if (!choice) return std::nullopt;
  QString fileName = choice->FileName;
  if (QFileInfo(fileName).suffix().isEmpty()) {
    fileName += choice->FileType == TReportFileType::Binary ? QStringLiteral(".bin")
                                                            : QStringLiteral(".txt");
  }
  return std::pair(fileName, choice->FileType);
}

void TfmMain::btnSaveClick() {
  if (saving_) return;
  const auto target = ChooseSaveTarget();
  if (!target) return;
  const QString& fileName = target->first;
  // A full storage's report takes seconds to write: on the controller's
  // thread, so that the window keeps answering.
  try {
    controller_->StartSave(QFile::encodeName(fileName).toStdString(), target->second);
  } catch (const std::exception& e) {
    showError(ErrorText(e));
    return;
  }
  savingFolder_ = QFileInfo(fileName).absolutePath();
  BeginSaveView();
}

void TfmMain::BeginSaveView() {
  saving_ = true;
  for (QWidget* control :
       std::initializer_list<QWidget*>{btnStart, btnSave, btnDriver, btnReadFNStatus, seDocNumber1,
                                       seDocNumber2, chbOnlyIfTag1162Exist, chbFfd12}) {
    control->setEnabled(false);
  }
  QApplication::setOverrideCursor(Qt::BusyCursor);
  if (!Timer->isActive()) Timer->start();
  UpdateSaveView();
}

void TfmMain::UpdateSaveView() {
  const TSaveStatus save = controller_->GetSaveStatus();
  if (save.Running) {
    ShowStatusText(QStringLiteral("Сохранение отчета: записано документов %1 из %2")
                       .arg(save.Written)
                       .arg(save.Total));
    const int percent = save.Total > 0 ? static_cast<int>(save.Written * 100 / save.Total) : 0;
    ProgressBar->setValue(percent);
    lblProgress->setText(QString::asprintf("%d %%", percent));
    return;
  }
  saving_ = false;
  QApplication::restoreOverrideCursor();
  for (QWidget* control : std::initializer_list<QWidget*>{
           seDocNumber1, seDocNumber2, btnReadFNStatus, chbOnlyIfTag1162Exist, chbFfd12}) {
    control->setEnabled(true);
  }
  btnStart->setEnabled(!controller_->Running());
  if (save.Error.empty()) {
    saveFolder_ = savingFolder_;
  } else {
    showError(FromUtf8(save.Error));
  }
}

void TfmMain::btnDriverClick() {
  // Another storage chosen there would leave this report behind.
  if (!ConfirmUnsaved()) return;
  try {
    static_cast<void>(controller_->ShowDriverSettings());
  } catch (const std::exception& e) {
    showError(ErrorText(e));
  }
}

void TfmMain::btnOpenReportClick() {
  const QString fileName = chooseReportFile();
  if (fileName.isEmpty()) return;
  // A window of its own, freed when it closes (or with this window).
  auto* viewer = new TfmReportViewer(this);
  viewer->Open(fileName);
  viewer->show();
}

void TfmMain::btnAboutClick() {
  ShowAbout(this, QString::fromUtf8(kApplicationTitle),
            {QStringLiteral("Версия программы: ") + FromUtf8(GetFileVersionText()),
             QStringLiteral("Лицензия: ") + QString::fromUtf8(kLicense)});
}

bool TfmMain::ConfirmStop() {
  if (!controller_->Running()) return true;
  if (!askYesNo(QStringLiteral("Прервать чтение?"))) return false;
  controller_->Stop();
  // The timer keeps running: the stopped job still finishes its document
  // and builds the report, and the next refreshes show its final state and
  // enable saving, as after a job that ended by itself.
  UpdateView();
  return true;
}

void TfmMain::UpdateView() {
  if (saving_) {
    UpdateSaveView();
    if (saving_) return;
  }
  const TMainControllerStatus status = controller_->GetStatus();
  const bool running = controller_->Running();
  QString text = FromUtf8(status.Text);
  int32_t percent = status.Percent;
  // The controller ends a stopped job like a finished one, so that what it
  // read can be saved; the window says what happened.
  if (!running && status.State == TJobState::Finished && controller_->JobFinished() &&
      controller_->JobStopped()) {
    const int32_t read = controller_->DocumentsRead();
    const int32_t count = controller_->DocumentsToRead();
    text = QStringLiteral("Прервано: ") + FromUtf8(StoppedJobText(read, count));
    percent = RoundedPercent(read, count);
  }
  // The wait for a lost line ends with the window's own button.
  text.replace(QStringLiteral("(Ctrl+C — прервать)"), QStringLiteral("(«Прервать» — прекратить)"));
  if (!running && status.State == TJobState::Failed && controller_->JobFinished() &&
      controller_->ReportIncomplete()) {
    text += QStringLiteral(" Отчет неполный: сохраняются прочитанные документы.");
  }
  if (!running && controller_->IsReportReady() && controller_->Report().NewerFormatSeen()) {
    text += QStringLiteral(
        "\nПрочитаны документы ФФД 1.2: включите «Реквизиты ФФД 1.2 и новее», чтобы видеть их "
        "реквизиты");
  }
  ShowStatusText(text);
  ProgressBar->setValue(percent);
  lblProgress->setText(QString::asprintf("%d %%", percent));
  if (running) {
    // No remaining time and no end before the job has an estimate of them.
    const QString elapsed = FromUtf8(FormatLongTime(ShownDuration(status.Elapsed)));
    const QString start = FromUtf8(FormatLongTime(status.StartTime));
    if (HasEstimate(status)) {
      lblTimeLeft->setText(
          QStringLiteral("Прошло: %1, осталось: %2")
              .arg(elapsed, FromUtf8(FormatLongTime(ShownDuration(status.Remaining)))));
      lblStartTime->setText(QStringLiteral("Начало: %1, завершение: %2")
                                .arg(start, FromUtf8(FormatLongTime(status.EndTime))));
    } else {
      lblTimeLeft->setText(QStringLiteral("Прошло: %1").arg(elapsed));
      lblStartTime->setText(QStringLiteral("Начало: %1").arg(start));
    }
  }
  if (btnStart->isEnabled() && running) {
    btnStart->setEnabled(false);
    btnStop->setEnabled(true);
    btnStop->setFocus();
  }
  if (btnStop->isEnabled() && !running) {
    btnStop->setEnabled(false);
    btnStart->setEnabled(true);
    btnStart->setFocus();
  }
  btnSave->setEnabled(controller_->IsReportReady());
  btnDriver->setEnabled(controller_->CanConfigureDriver());
}

void TfmMain::ShowStatusText(const QString& text) {
  QString whole = text;
  whole.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  const QRect room = lblStatusText->contentsRect();
  const QFontMetrics metrics = lblStatusText->fontMetrics();
  const auto fits = [&](const QString& candidate) {
    const QRect needed =
        metrics.boundingRect(QRect(0, 0, room.width(), INT_MAX), Qt::TextWordWrap, candidate);
    return needed.width() <= room.width() && needed.height() <= room.height();
  };
  QString shown = whole;
  if (room.width() > 0 && !fits(whole)) {
    // The longest beginning that fits with an ellipsis.
    const QString ellipsis(QChar(0x2026));
    qsizetype low = 0;
    qsizetype high = whole.size();
    while (low < high) {
      const qsizetype middle = (low + high + 1) / 2;
      if (fits(whole.left(middle) + ellipsis)) {
        low = middle;
      } else {
        high = middle - 1;
      }
    }
    shown = whole.left(low) + ellipsis;
  }
  if (lblStatusText->text() != shown) lblStatusText->setText(shown);
  const QString hint = shown == whole ? QString() : whole;
  if (lblStatusText->toolTip() != hint) lblStatusText->setToolTip(hint);
}

std::optional<TSaveChoice> TfmMain::ShowSaveDialog(const QString& folder,
                                                   const QString& proposedName) {
  TSaveDialog dialog(this);
  dialog.setObjectName(QStringLiteral("SaveDialog"));
  // The program's own dialog: the type chosen there decides the extension
  // before the overwrite question, which a native dialog would not let us do.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({QString::fromUtf8(kBinFilter), QString::fromUtf8(kTextFilter)});
  dialog.selectNameFilter(QString::fromUtf8(kBinFilter));
  dialog.setDirectory(folder);
  dialog.selectFile(proposedName);
  dialog.setSizeGripEnabled(true);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return TSaveChoice{files.first(), dialog.FileType()};
}

}  // namespace kvitor
