// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "app/fmuMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QShowEvent>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <utility>

#include "KvitorMakerInfo.h"
#include "app/BaseForm.h"
#include "app/fmuAbout.h"
#include "app/fmuReportViewer.h"
#include "drivers/TorvelSettings.h"
#include "job/MainController.h"
#include "job/VersionInfo.h"
#include "tlv/DateText.h"
#include "tlv/LangUtils.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

QString BinFilter() { return Qs(Tr("Отчет о считывании ФД (*.bin)")); }
QString TextFilter() { return Qs(Tr("Отчет о считывании ФД (*.txt)")); }

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString ErrorText(const std::exception& e) { return QString::fromUtf8(e.what()); }

QString PathText(const QString& path) { return QDir::toNativeSeparators(path); }

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

// The first local .bin file among dropped ones.
QString DroppedReport(const QMimeData* data) {
  if (data == nullptr) return {};
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile() && url.toLocalFile().endsWith(QLatin1String(".bin"), Qt::CaseInsensitive))
      return url.toLocalFile();
  }
  return {};
}

// The extension goes on the name before the dialog asks about overwriting,
// so that the question is about the file actually written: the typed one
// decides, the chosen type's for a name without one.
class TSaveDialog : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

  void accept() override {
    setDefaultSuffix(QString::fromLatin1(SuffixOf(FileType())));
    QFileDialog::accept();
  }

  [[nodiscard]] TReportFileType FileType() const {
    return selectedNameFilter() == TextFilter() ? TReportFileType::Text : TReportFileType::Binary;
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
    box.button(QMessageBox::Yes)->setText(Qs(Tr("Да")));
    box.button(QMessageBox::No)->setText(Qs(Tr("Нет")));
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
    return QFileDialog::getOpenFileName(this, Qs(Tr("Открыть отчет")), SaveDialogFolder(),
                                        BinFilter());
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
  return {
      Qs(Tr("Журнал прошлого чтения этого ФН хранит документов: %1 из %2.")).arg(held).arg(count),
      {Qs(Tr("Продолжить чтение (прочитано %1 из %2)")).arg(held).arg(count),
       Qs(Tr("Начать заново")), Qs(Tr("Отмена"))}};
}

std::pair<QString, QStringList> TfmMain::UnsavedQuestion() {
  return {Qs(Tr("Отчет не сохранен. Сохранить?")), {Qs(Tr("Да")), Qs(Tr("Нет")), Qs(Tr("Отмена"))}};
}

// The controller's destructor waits for a job that is still finishing, and
// for a save, which is never cut short.
TfmMain::~TfmMain() {
  if (saving_) QApplication::restoreOverrideCursor();
}

void TfmMain::CreateControls() {
  setObjectName(QStringLiteral("fmMain"));
  setWindowTitle(QString::fromUtf8(kApplicationTitle));
  setAcceptDrops(true);

  lblTitle = NewLabel(Qs(Tr("Отчет о считывании ФД")), "lblTitle", this);
  QFont titleFont = lblTitle->font();
  titleFont.setPointSize(15);
  titleFont.setBold(true);
  lblTitle->setFont(titleFont);
  QPalette titlePalette = lblTitle->palette();
  titlePalette.setColor(QPalette::WindowText, QColor(0, 0, 128));
  lblTitle->setPalette(titlePalette);
  lblTitle->setAlignment(Qt::AlignCenter);

  btnStart = NewButton(Qs(Tr("&Начать")), "btnStart", Qs(Tr("Начать чтение документов")), this);
  btnStart->setIcon(Glyph(*this, "media-playback-start", QStyle::SP_MediaPlay));
  btnStop = NewButton(Qs(Tr("П&рервать")), "btnStop", Qs(Tr("Прервать чтение документов")), this);
  btnStop->setIcon(Glyph(*this, "media-playback-stop", QStyle::SP_MediaStop));
  btnSave =
      NewButton(Qs(Tr("&Сохранить...")), "btnSave", Qs(Tr("Сохранение отчета в файле")), this);
  btnSave->setIcon(Glyph(*this, "document-save", QStyle::SP_DialogSaveButton));
  btnDriver =
      NewButton(Qs(Tr("&Драйвер...")), "btnDriver", Qs(Tr("Настройка параметров драйвера")), this);
  btnDriver->setIcon(Glyph(*this, "preferences-system", QStyle::SP_ComputerIcon));
  btnAbout =
      NewButton(Qs(Tr("О про&грамме...")), "btnAbout", Qs(Tr("Информация о программе")), this);
  btnClose = NewButton(Qs(Tr("&Закрыть")), "btnClose", QString(), this);
  btnOpenReport = NewButton(Qs(Tr("&Открыть отчет...")), "btnOpenReport",
                            Qs(Tr("Просмотр и экспорт сохраненного отчета")), this);
  btnRecent = NewButton(Qs(Tr("Нед&авние")), "btnRecent", Qs(Tr("Недавние отчеты")), this);
  btnRecent->setMenu(new QMenu(btnRecent));

  gbMain = new QGroupBox(this);
  gbMain->setObjectName(QStringLiteral("gbMain"));
  lblStorage = NewLabel(QString(), "lblStorage", gbMain);
  lblStorage->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  lblStorage->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lblDocNumber1 = NewLabel(Qs(Tr("Номер &первого документа:")), "lblDocNumber1", gbMain);
  lblDocNumber1->setTextFormat(Qt::AutoText);
  seDocNumber1 = NewSpinEdit("seDocNumber1", gbMain);
  lblDocNumber1->setBuddy(seDocNumber1);
  lblDocNumber2 = NewLabel(Qs(Tr("Номер последн&его документа:")), "lblDocNumber2", gbMain);
  lblDocNumber2->setTextFormat(Qt::AutoText);
  seDocNumber2 = NewSpinEdit("seDocNumber2", gbMain);
  lblDocNumber2->setBuddy(seDocNumber2);
  for (QSpinBox* edit : {seDocNumber1, seDocNumber2}) edit->installEventFilter(this);
  btnReadFNStatus = NewButton(QString(), "btnReadFNStatus",
                              Qs(Tr("Прочитать максимальный номер документа")), gbMain);
  btnReadFNStatus->setIcon(Glyph(*this, "view-refresh", QStyle::SP_BrowserReload));
  chbOnlyIfTag1162Exist = new QCheckBox(Qs(Tr("&Включать только чеки с тегом 1162")), gbMain);
  chbOnlyIfTag1162Exist->setObjectName(QStringLiteral("chbOnlyIfTag1162Exist"));
  chbFfd12 = new QCheckBox(Qs(Tr("Рекв&изиты ФФД 1.2 и новее")), gbMain);
  chbFfd12->setObjectName(QStringLiteral("chbFfd12"));
  // With format 1.2 the marking code may stand in 1163 as well.
  connect(chbFfd12, &QCheckBox::toggled, this, [this](bool on) {
    chbOnlyIfTag1162Exist->setText(on ? Qs(Tr("&Включать только чеки с кодом товара (1162/1163)"))
                                      : Qs(Tr("&Включать только чеки с тегом 1162")));
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
  range->setContentsMargins(10, 8, 10, 8);
  range->setVerticalSpacing(6);
  range->addWidget(lblStorage, 0, 0, 1, 3);
  range->addWidget(lblDocNumber1, 1, 0);
  range->addWidget(seDocNumber1, 1, 1);
  range->addWidget(lblDocNumber2, 2, 0);
  range->addWidget(seDocNumber2, 2, 1);
  range->addWidget(btnReadFNStatus, 2, 2, Qt::AlignLeft);
  range->addWidget(chbOnlyIfTag1162Exist, 3, 0, 1, 3);
  range->addWidget(chbFfd12, 4, 0, 1, 3);
  range->setRowMinimumHeight(4, 4);
  auto* progress = new QHBoxLayout;
  progress->addWidget(ProgressBar, 1);
  progress->addWidget(lblProgress);
  range->addLayout(progress, 5, 0, 1, 3);
  range->addWidget(lblStatusText, 6, 0, 1, 3);
  range->addWidget(lblTimeLeft, 7, 0, 1, 3);
  range->addWidget(lblStartTime, 8, 0, 1, 3);
  range->setRowStretch(9, 1);
  range->setColumnStretch(2, 1);

  auto* buttons = new QVBoxLayout;
  buttons->setSpacing(6);
  for (QPushButton* b : {btnStart, btnStop, btnSave, btnDriver}) buttons->addWidget(b);
  // In the free space below the four: the others keep their places.
  buttons->addWidget(btnOpenReport);
  buttons->addWidget(btnRecent);
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

  // As the controls stand: the range, then the buttons from the top.
  const QList<QWidget*> order = {
      seDocNumber1, seDocNumber2, btnReadFNStatus, chbOnlyIfTag1162Exist, chbFfd12,  btnStart,
      btnStop,      btnSave,      btnDriver,       btnOpenReport,         btnRecent, btnAbout,
      btnClose};
  for (qsizetype i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);

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
  // A disabled button ignores its click, and so its key.
  const std::pair<QKeySequence, QPushButton*> keys[] = {
      {QKeySequence::Save, btnSave}, {QKeySequence::Open, btnOpenReport}, {Qt::Key_F1, btnAbout}};
  for (const auto& [key, button] : keys) {
    auto* shortcut = new QShortcut(key, this);
    connect(shortcut, &QShortcut::activated, button, &QPushButton::click);
  }

  setFixedSize(528, 303 + lblStorage->sizeHint().height() + range->verticalSpacing());
  UpdateRecentMenu();
}

void TfmMain::FormCreate() {
  seDocNumber1->setValue(1);
  // Raised on the thread that did the read: the outcome travels to the
  // window's thread, and only there does it reach the controls. The
  // controller, and with it any status read, ends before this QObject does.
  const QPointer<TfmMain> self(this);
  controller_->SetOnFNStatusRead([this, self](TMainController& sender) {
    const TFNStatusRec status = sender.FNStatus();
    QMetaObject::invokeMethod(
        this,
        [self, status] {
          if (self) self->OnFNStatusRead(status);
        },
        Qt::QueuedConnection);
  });
  controller_->SetOnFNStatusFailed([this, self](TMainController&, const std::string& error) {
    const QString text = QString::fromUtf8(error);
    QMetaObject::invokeMethod(
        this,
        [self, text] {
          if (self) self->OnFNStatusFailed(text);
        },
        Qt::QueuedConnection);
  });
  RequestFNStatus(false);
}

void TfmMain::RequestFNStatus(bool resetRange) {
  if (statusReading_ || controller_->Running()) return;
  statusReading_ = true;
  resetRangeOnStatus_ = resetRange;
  QString source;
  try {
    source = StorageSourceText(EffectiveConnection(LoadTorvelSettings()));
  } catch (const std::exception& e) {
    source = ErrorText(e);
  }
  storageSource_ = source;
  ShowStorageText(Qs(Tr("ФН: чтение состояния… · %1")).arg(source));
  controller_->ReadFNStatusAsync();
  if (isVisible()) UpdateView();
}

void TfmMain::OnFNStatusRead(const TFNStatusRec& status) {
  statusReading_ = false;
  const QString& source = storageSource_;
  storageLast_ = status.LastDocNumber;
  if (!statusError_.isEmpty()) notice_.clear();
  statusError_.clear();
  ShowStorageText(Qs(Tr("ФН № %1 · последний документ %3 · %2"))
                      .arg(FromUtf8(Cp1251ToUtf8(status.FNSerialNumber)), source)
                      .arg(status.LastDocNumber));
  if (resetRangeOnStatus_) seDocNumber1->setValue(1);
  seDocNumber2->setValue(static_cast<int32_t>(status.LastDocNumber));
  if (isVisible()) UpdateView();
  if (std::exchange(startAfterStatus_, false)) {
    startupAsked_ = true;
    btnStartClick();
    return;
  }
  // At start-up a read left unfinished is offered at once.
  if (startupAsked_ || controller_->Running() || !isVisible()) return;
  startupAsked_ = true;
  bool restart = false;
  const int32_t first = SpinValue(*seDocNumber1);
  const auto last = static_cast<int32_t>(status.LastDocNumber);
  if (first < 1 || last < first) return;
  if (controller_->JournaledDocuments(first, last) == 0) return;
  if (AskJournal(first, last, restart)) StartRead(restart);
}

void TfmMain::OnFNStatusFailed(const QString& error) {
  statusReading_ = false;
  storageLast_.reset();
  statusError_ = error;
  const QString& source = storageSource_;
  ShowStorageText(Qs(Tr("ФН недоступен (%1): %2")).arg(source, error));
  notice_ = Qs(Tr("ФН недоступен: %1")).arg(error);
  if (isVisible()) UpdateView();
  if (std::exchange(startAfterStatus_, false)) btnStartClick();
}

void TfmMain::ShowStorageText(const QString& text) {
  // One line: the middle of the port's or file's path left out, the rest
  // whole; the whole line in the hint. The path comes last, so that what
  // does not fit is never the storage's number or its last document.
  const int width = lblStorage->width() > 0 ? lblStorage->width() : 480;
  const QFontMetrics metrics = lblStorage->fontMetrics();
  QString shown = text;
  const qsizetype at = storageSource_.isEmpty() ? -1 : text.indexOf(storageSource_);
  if (metrics.horizontalAdvance(text) > width && at >= 0) {
    const QString rest = QString(text).remove(at, storageSource_.size());
    const int room = std::max(width - metrics.horizontalAdvance(rest), width / 8);
    shown = QString(text).replace(at, storageSource_.size(),
                                  metrics.elidedText(storageSource_, Qt::ElideMiddle, room));
  }
  shown = metrics.elidedText(shown, Qt::ElideRight, width);
  lblStorage->setText(shown);
  lblStorage->setToolTip(shown == text ? QString() : text);
  lblStorage->setProperty("fullText", text);
}

void TfmMain::showEvent(QShowEvent* event) {
  if (!placed_ && !event->spontaneous()) {
    placed_ = true;
    if (!restoreGeometry(TWindowSettings::Geometry())) CenterOnScreen(*this);
    btnStart->setFocus();
  }
  QWidget::showEvent(event);
  if (!event->spontaneous()) {
    ShowStorageText(lblStorage->property("fullText").toString());
    UpdateView();
  }
}

void TfmMain::closeEvent(QCloseEvent* event) {
  if (ConfirmStop() && ConfirmUnsaved()) {
    TWindowSettings::SetGeometry(saveGeometry());
    event->accept();
  } else {
    event->ignore();
  }
}

void TfmMain::dragEnterEvent(QDragEnterEvent* event) {
  if (!DroppedReport(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TfmMain::dropEvent(QDropEvent* event) {
  const QString fileName = DroppedReport(event->mimeData());
  if (fileName.isEmpty()) return;
  event->acceptProposedAction();
  OpenReport(fileName);
}

bool TfmMain::eventFilter(QObject* watched, QEvent* event) {
  // Enter in a number field starts the read with the numbers as typed.
  if (event->type() == QEvent::KeyPress && (watched == seDocNumber1 || watched == seDocNumber2)) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      btnStart->click();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TfmMain::btnReadFNStatusClick() { RequestFNStatus(true); }

void TfmMain::btnStartClick() {
  if (controller_->Running() || saving_) return;
  // The number the range is checked against is on its way: the read starts
  // once it is there.
  if (statusReading_) {
    startAfterStatus_ = true;
    return;
  }
  const int32_t first = SpinValue(*seDocNumber1);
  const int32_t last = SpinValue(*seDocNumber2);
  QString problem = RangeProblem(first, last, storageLast_);
  // A storage out of reach is the reason for a missing last number.
  if (last < 1 && !statusError_.isEmpty()) problem = Qs(Tr("ФН недоступен: %1")).arg(statusError_);
  if (!problem.isEmpty()) {
    showError(problem);
    return;
  }
  if (!ConfirmUnsaved()) return;
  bool restart = false;
  if (!AskJournal(first, last, restart)) return;
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
  const auto companion = CompanionTarget(*target);
  // Here the save is waited for: what follows may discard the report.
  QApplication::setOverrideCursor(Qt::BusyCursor);
  QStringList written;
  try {
    controller_->SaveReport(QFile::encodeName(target->FileName).toStdString(), target->FileType);
    written << target->FileName;
    if (companion) {
      const TReportFileType other = target->FileType == TReportFileType::Text
                                        ? TReportFileType::Binary
                                        : TReportFileType::Text;
      controller_->SaveReport(QFile::encodeName(*companion).toStdString(), other);
      written << *companion;
    }
  } catch (const std::exception& e) {
    QApplication::restoreOverrideCursor();
    showError(ErrorText(e));
    return false;
  }
  QApplication::restoreOverrideCursor();
  SaveSucceeded(*target, written);
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
  notice_.clear();
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
  QString saved = TWindowSettings::SaveFolder();
  if (!saved.isEmpty() && QFileInfo(saved).isDir()) return saved;
  QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (!documents.isEmpty() && QFileInfo(documents).isDir()) return documents;
  return QDir::homePath();
}

std::optional<TSaveChoice> TfmMain::ChooseSaveTarget() {
  const QString proposed = Qs(Tr("ОтчетОСчитывании_%1"))
                               .arg(FromUtf8(Cp1251ToUtf8(controller_->HeaderParams().FNNumber)));
  const std::optional<TSaveChoice> choice = chooseSaveFile(SaveDialogFolder(), proposed);
  if (!choice || choice->FileName.isEmpty()) return std::nullopt;
  TSaveChoice target = ResolveSaveName(choice->FileName, choice->FileType);
  target.Both = choice->Both;
  return target;
}

std::optional<QString> TfmMain::CompanionTarget(const TSaveChoice& choice) const {
  if (!choice.Both) return std::nullopt;
  const QString companion = CompanionName(choice.FileName, choice.FileType);
  if (QFileInfo::exists(companion) &&
      !askYesNo(Qs(Tr("Файл «%1» уже существует. Заменить его?")).arg(PathText(companion)))) {
    return std::nullopt;
  }
  return companion;
}

void TfmMain::SaveSucceeded(const TSaveChoice& choice, const QStringList& written) {
  TWindowSettings::SetSave(QFileInfo(choice.FileName).absolutePath(), choice.FileType, choice.Both);
  QStringList shown;
  for (const QString& file : written) {
    shown << PathText(file);
    if (file.endsWith(QLatin1String(".bin"), Qt::CaseInsensitive)) {
      TWindowSettings::AddRecentReport(file);
    }
  }
  UpdateRecentMenu();
  notice_ = Qs(Tr("Сохранено: %1")).arg(shown.join(QStringLiteral(", ")));
  ShowStatusText(notice_);
}

void TfmMain::btnSaveClick() {
  if (saving_ || !controller_->IsReportReady()) return;
  const auto target = ChooseSaveTarget();
  if (!target) return;
  savingCompanion_ = CompanionTarget(*target);
  // A full storage's report takes seconds to write: on the controller's
  // thread, so that the window keeps answering.
  try {
    controller_->StartSave(QFile::encodeName(target->FileName).toStdString(), target->FileType);
  } catch (const std::exception& e) {
    showError(ErrorText(e));
    return;
  }
  savingChoice_ = *target;
  savedFiles_.clear();
  BeginSaveView();
}

void TfmMain::BeginSaveView() {
  saving_ = true;
  QApplication::setOverrideCursor(Qt::BusyCursor);
  if (!Timer->isActive()) Timer->start();
  UpdateView();
}

void TfmMain::UpdateSaveView() {
  const TSaveStatus save = controller_->GetSaveStatus();
  if (save.Running) {
    ShowStatusText(Qs(Tr("Сохранение отчета: записано документов %1 из %2"))
                       .arg(save.Written)
                       .arg(save.Total));
    const int percent = save.Total > 0 ? static_cast<int>(save.Written * 100 / save.Total) : 0;
    ProgressBar->setValue(percent);
    lblProgress->setText(QString::asprintf("%d %%", percent));
    return;
  }
  if (save.Error.empty()) {
    savedFiles_ << (savedFiles_.isEmpty() ? savingChoice_.FileName : *savingCompanion_);
    if (savedFiles_.size() == 1 && savingCompanion_) {
      // The same report in the other type, beside the first.
      const TReportFileType other = savingChoice_.FileType == TReportFileType::Text
                                        ? TReportFileType::Binary
                                        : TReportFileType::Text;
      try {
        controller_->StartSave(QFile::encodeName(*savingCompanion_).toStdString(), other);
        return;
      } catch (const std::exception& e) {
        saving_ = false;
        QApplication::restoreOverrideCursor();
        showError(ErrorText(e));
        return;
      }
    }
  }
  saving_ = false;
  QApplication::restoreOverrideCursor();
  if (save.Error.empty()) {
    SaveSucceeded(savingChoice_, savedFiles_);
  } else {
    showError(FromUtf8(save.Error));
  }
}

void TfmMain::btnDriverClick() {
  // Another storage chosen there would leave this report behind.
  if (!controller_->CanConfigureDriver() || statusReading_ || !ConfirmUnsaved()) return;
  int result = 1;
  try {
    result = controller_->ShowDriverSettings();
  } catch (const std::exception& e) {
    showError(ErrorText(e));
    return;
  }
  // Another storage may stand behind the new settings: what it holds is
  // read at once, and the range follows it.
  if (result == 0) RequestFNStatus(true);
}

void TfmMain::btnOpenReportClick() {
  const QString fileName = chooseReportFile();
  if (!fileName.isEmpty()) OpenReport(fileName);
}

void TfmMain::OpenReport(const QString& fileName) {
  // A window of its own, freed when it closes (or with this window).
  auto* viewer = new TfmReportViewer(this);
  viewer->showError = showError;
  viewer->Open(fileName);
  viewer->show();
  TWindowSettings::AddRecentReport(fileName);
  UpdateRecentMenu();
}

void TfmMain::UpdateRecentMenu() {
  QMenu* menu = btnRecent->menu();
  menu->clear();
  const QStringList recent = TWindowSettings::RecentReports();
  for (const QString& file : recent) {
    connect(menu->addAction(PathText(file)), &QAction::triggered, this,
            [this, file] { OpenReport(file); });
  }
  btnRecent->setEnabled(!recent.isEmpty());
}

void TfmMain::btnAboutClick() {
  ShowAbout(this, QString::fromUtf8(kApplicationTitle),
            {Qs(Tr("Версия программы: ")) + FromUtf8(GetFileVersionText()),
             Qs(Tr("Лицензия: ")) + QString::fromUtf8(kLicense)});
}

bool TfmMain::ConfirmStop() {
  if (!controller_->Running()) return true;
  if (!askYesNo(Qs(Tr("Прервать чтение?")))) return false;
  controller_->Stop();
  // The timer keeps running: the stopped job still finishes its document
  // and builds the report, and the next refreshes show its final state and
  // enable saving, as after a job that ended by itself.
  UpdateView();
  return true;
}

void TfmMain::UpdateView() {
  const bool running = controller_->Running();
  if (saving_) UpdateSaveView();
  if (!saving_) {
    const TMainControllerStatus status = controller_->GetStatus();
    QString text = FromUtf8(status.Text);
    int32_t percent = status.Percent;
    // The controller ends a stopped job like a finished one, so that what it
    // read can be saved; the window says what happened.
    if (!running && status.State == TJobState::Finished && controller_->JobFinished() &&
        controller_->JobStopped()) {
      const int32_t read = controller_->DocumentsRead();
      const int32_t count = controller_->DocumentsToRead();
      text = Qs(Tr("Прервано: ")) + FromUtf8(StoppedJobText(read, count));
      percent = RoundedPercent(read, count);
    }
    // The wait for a lost line ends with the window's own button.
    text.replace(Qs(Tr("(Ctrl+C — прервать)")), Qs(Tr("(«Прервать» — прекратить)")));
    if (!running && status.State == TJobState::Failed && controller_->JobFinished() &&
        controller_->ReportIncomplete()) {
      text += Qs(Tr(" Отчет неполный: сохраняются прочитанные документы."));
    }
    if (!running && controller_->IsReportReady() && controller_->Report().NewerFormatSeen()) {
      text +=
          Qs(Tr("\nПрочитаны документы ФФД 1.2: включите «Реквизиты ФФД 1.2 и новее», чтобы видеть "
                "их реквизиты"));
    }
    if (!running && !notice_.isEmpty()) text = notice_;
    ShowStatusText(text);
    ProgressBar->setValue(percent);
    // No percent before any job: nothing has been done, nor is being done.
    lblProgress->setText(status.State == TJobState::None ? QString()
                                                         : QString::asprintf("%d %%", percent));
    if (running || wasRunning_) {
      const QString elapsed = QString::fromStdString(DurationText(status.Elapsed));
      const QString start = FromUtf8(FormatLongTime(status.StartTime));
      if (running && HasEstimate(status)) {
        lblTimeLeft->setText(
            Qs(Tr("Прошло: %1, осталось: %2"))
                .arg(elapsed, QString::fromStdString(DurationText(status.Remaining))));
        lblStartTime->setText(Qs(Tr("Начало: %1, завершение: %2"))
                                  .arg(start, FromUtf8(FormatLongTime(status.EndTime))));
      } else if (running) {
        lblTimeLeft->setText(Qs(Tr("Прошло: %1")).arg(elapsed));
        lblStartTime->setText(Qs(Tr("Начало: %1")).arg(start));
      } else if (controller_->JobFinished()) {
        // Ended: the time it took and when, no estimate left.
        lblTimeLeft->setText(Qs(Tr("Прошло: %1")).arg(elapsed));
        lblStartTime->setText(Qs(Tr("Начало: %1, окончание: %2"))
                                  .arg(start, FromUtf8(FormatLongTime(status.EndTime))));
      }
    }
  }
  const bool jobStarted = running && !wasRunning_;
  const bool jobEnded = wasRunning_ && !running && controller_->JobFinished();
  if (running) wasRunning_ = true;
  if (jobEnded) wasRunning_ = false;

  // Each control only while it can work; the one to use next gets the
  // focus before another loses it.
  const bool idle = !running && !saving_;
  btnStop->setEnabled(running);
  if (jobStarted) btnStop->setFocus();
  btnSave->setEnabled(idle && controller_->IsReportReady());
  if (idle) btnStart->setEnabled(true);
  if (jobEnded) (btnSave->isEnabled() ? btnSave : btnStart)->setFocus();
  if (!idle) btnStart->setEnabled(false);
  btnDriver->setEnabled(idle && !statusReading_ && controller_->CanConfigureDriver());
  btnReadFNStatus->setEnabled(idle && !statusReading_);
  for (QWidget* control : std::initializer_list<QWidget*>{seDocNumber1, seDocNumber2,
                                                          chbOnlyIfTag1162Exist, chbFfd12}) {
    control->setEnabled(idle);
  }
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
  dialog.setWindowTitle(Qs(Tr("Сохранить отчет")));
  // The program's own dialog: the name decides the extension before the
  // overwrite question, which a native dialog would not let us do.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({BinFilter(), TextFilter()});
  dialog.selectNameFilter(TWindowSettings::SaveType() == TReportFileType::Text ? TextFilter()
                                                                               : BinFilter());
  dialog.setDirectory(folder);
  dialog.selectFile(proposedName);
  dialog.setSizeGripEnabled(true);
  auto* both = new QCheckBox(Qs(Tr("Сохранить и в другом формате (.bin и .txt)")), &dialog);
  both->setObjectName(QStringLiteral("chbBoth"));
  both->setChecked(TWindowSettings::SaveBoth());
  if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()); grid != nullptr) {
    grid->addWidget(both, grid->rowCount(), 0, 1, grid->columnCount());
  }
  dialog.resize(dialog.sizeHint());
  FitOnScreen(dialog);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return TSaveChoice{files.first(), dialog.FileType(), both->isChecked()};
}

}  // namespace kvitor
