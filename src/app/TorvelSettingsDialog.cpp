// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "app/TorvelSettingsDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>
#include <cstdlib>
#include <exception>

#include "app/WindowRules.h"
#include "drivers/Torvel.h"
#include "drivers/serial/FNSerialTorvel.h"
#include "drivers/serial/FNTransport.h"
#include "tlv/LangUtils.h"

namespace kvitor {
namespace {

QString PathText(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

}  // namespace

TTorvelSettingsDialog::TTorvelSettingsDialog(QWidget* owner) : TBaseForm(owner) {
  setObjectName(QStringLiteral("TorvelSettingsDialog"));
  setWindowTitle(Qs(Tr("Подключение к ФН")));
  showError = [this](const QString& text) {
    QMessageBox::critical(this, QString::fromUtf8(kApplicationTitle), text);
  };
  chooseImageFile = [this](const QString& current) {
    return QFileDialog::getOpenFileName(this, Qs(Tr("Файл данных накопителя")), current,
                                        Qs(Tr("Файлы данных (*.json);;Все файлы (*)")));
  };

  auto* storage = new QGroupBox(Qs(Tr("Фискальный накопитель")), this);
  rbDemo = new QRadioButton(Qs(Tr("Встроенный демонстрационный накопитель")), storage);
  rbDemo->setObjectName(QStringLiteral("rbDemo"));
  rbFile = new QRadioButton(Qs(Tr("Файл данных:")), storage);
  rbFile->setObjectName(QStringLiteral("rbFile"));
  edImage = new QLineEdit(storage);
  edImage->setObjectName(QStringLiteral("edImage"));
  edImage->setMinimumWidth(260);
  btnBrowse = new QPushButton(Qs(Tr("Обзор...")), storage);
  btnBrowse->setObjectName(QStringLiteral("btnBrowse"));
  auto* file = new QHBoxLayout;
  file->addWidget(edImage, 1);
  file->addWidget(btnBrowse);
  rbSerial = new QRadioButton(Qs(Tr("ФН на последовательном порту (адаптер ФН):")), storage);
  rbSerial->setObjectName(QStringLiteral("rbSerial"));
  cbPort = new QComboBox(storage);
  cbPort->setObjectName(QStringLiteral("cbPort"));
  cbPort->setEditable(true);
  for (const std::string& port : ListSerialPorts()) cbPort->addItem(PathText(port));
  cbBaud = new QComboBox(storage);
  cbBaud->setObjectName(QStringLiteral("cbBaud"));
  for (const int baud : {9600, 19200, 38400, 57600, 115200}) {
    cbBaud->addItem(QString::number(baud), baud);
  }
  btnCheck = new QPushButton(Qs(Tr("Проверить связь")), storage);
  btnCheck->setObjectName(QStringLiteral("btnCheck"));
  lblCheck = new QLabel(storage);
  lblCheck->setObjectName(QStringLiteral("lblCheck"));
  lblCheck->setWordWrap(true);
  lblCheck->setTextFormat(Qt::PlainText);
  auto* serial = new QGridLayout;
  serial->addWidget(new QLabel(Qs(Tr("Порт:")), storage), 0, 0);
  serial->addWidget(cbPort, 0, 1, 1, 2);
  serial->addWidget(new QLabel(Qs(Tr("Скорость:")), storage), 1, 0);
  serial->addWidget(cbBaud, 1, 1);
  serial->addWidget(btnCheck, 1, 2);
  serial->setColumnStretch(1, 1);
  auto* storageLayout = new QVBoxLayout(storage);
  storageLayout->addWidget(rbDemo);
  storageLayout->addWidget(rbFile);
  storageLayout->addLayout(file);
  storageLayout->addWidget(rbSerial);
  storageLayout->addLayout(serial);
  storageLayout->addWidget(lblCheck);

  chbDelay = new QCheckBox(Qs(Tr("Задержка чтения документа, мс:")), this);
  chbDelay->setObjectName(QStringLiteral("chbDelay"));
  seDelay = new QSpinBox(this);
  seDelay->setObjectName(QStringLiteral("seDelay"));
  seDelay->setRange(0, kMaxDelayMs);
  seDelay->setSingleStep(50);
  // The emulated storage's pace is for those who test the program: folded
  // away unless set.
  developer_ = new QWidget(this);
  developer_->setObjectName(QStringLiteral("wgDeveloper"));
  auto* delay = new QHBoxLayout(developer_);
  delay->setContentsMargins(0, 0, 0, 0);
  delay->addWidget(chbDelay);
  delay->addWidget(seDelay);
  delay->addStretch();
  btnDeveloper = new QToolButton(this);
  btnDeveloper->setObjectName(QStringLiteral("btnDeveloper"));
  btnDeveloper->setText(Qs(Tr("Для разработчиков")));
  btnDeveloper->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  btnDeveloper->setAutoRaise(true);
  btnDeveloper->setCheckable(true);
  connect(btnDeveloper, &QToolButton::toggled, this, [this](bool on) {
    btnDeveloper->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
    developer_->setVisible(on);
    adjustSize();
  });

  lblEnvironment = new QLabel(this);
  lblEnvironment->setObjectName(QStringLiteral("lblEnvironment"));
  lblEnvironment->setWordWrap(true);
  lblEnvironment->setTextFormat(Qt::PlainText);
  const char* image = std::getenv("TORVEL_IMAGE");
  const char* port = std::getenv("TORVEL_PORT");
  if (port != nullptr && *port != '\0') {
    lblEnvironment->setText(Qs(Tr("Сейчас действует порт из переменной окружения TORVEL_PORT: %1"))
                                .arg(QFile::decodeName(port)));
  } else if (image != nullptr && *image != '\0') {
    lblEnvironment->setText(
        Qs(Tr("Сейчас действует файл данных из переменной окружения TORVEL_IMAGE: %1"))
            .arg(QFile::decodeName(image)));
  } else {
    lblEnvironment->hide();
  }

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->setObjectName(QStringLiteral("buttons"));
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("btnOK"));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("btnCancel"));
  buttons->button(QDialogButtonBox::Cancel)->setText(Qs(Tr("Отмена")));

  // How long a read waits for an unplugged adapter, for any connection.
  auto* lblReconnectWait = new QLabel(Qs(Tr("Ожидание подключения при потере связи, с:")), this);
  seReconnectWait = new QSpinBox(this);
  seReconnectWait->setObjectName(QStringLiteral("seReconnectWait"));
  seReconnectWait->setRange(0, kMaxReconnectWait);
  seReconnectWait->setSingleStep(30);
  lblReconnectWait->setBuddy(seReconnectWait);
  auto* reconnect = new QHBoxLayout;
  reconnect->addWidget(lblReconnectWait);
  reconnect->addWidget(seReconnectWait);
  reconnect->addStretch();

  auto* root = new QVBoxLayout(this);
  root->addWidget(storage);
  root->addLayout(reconnect);
  root->addWidget(lblEnvironment);
  root->addWidget(btnDeveloper, 0, Qt::AlignLeft);
  root->addWidget(developer_);
  root->addStretch();
  root->addWidget(buttons);

  connect(rbFile, &QRadioButton::toggled, this, &TTorvelSettingsDialog::UpdateEnabled);
  connect(rbSerial, &QRadioButton::toggled, this, &TTorvelSettingsDialog::UpdateEnabled);
  connect(btnCheck, &QPushButton::clicked, this, &TTorvelSettingsDialog::btnCheckClick);
  connect(chbDelay, &QCheckBox::toggled, this, &TTorvelSettingsDialog::UpdateEnabled);
  connect(btnBrowse, &QPushButton::clicked, this, &TTorvelSettingsDialog::btnBrowseClick);
  connect(buttons, &QDialogButtonBox::accepted, this, &TTorvelSettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &TTorvelSettingsDialog::reject);

  SetSettings({});
  // Whole: the size a first show picks is capped at a share of a small
  // screen, and the wrapped lines then squeeze the rows.
  resize(sizeHint());
}

void TTorvelSettingsDialog::SetSettings(const TTorvelSettings& settings) {
  edImage->setText(PathText(settings.Image));
  (settings.Image.empty() ? rbDemo : rbFile)->setChecked(true);
  if (settings.Connection == TTorvelConnection::Serial) rbSerial->setChecked(true);
  cbPort->setEditText(PathText(settings.Port));
  const int baud = cbBaud->findData(settings.Baud);
  cbBaud->setCurrentIndex(baud >= 0 ? baud : cbBaud->findData(kDefaultBaud));
  lblCheck->clear();
  lblCheck->hide();  // no room taken until a check has something to say
  chbDelay->setChecked(settings.DelayMs.has_value());
  seDelay->setValue(settings.DelayMs.value_or(0));
  btnDeveloper->setChecked(settings.DelayMs.has_value());
  btnDeveloper->setArrowType(btnDeveloper->isChecked() ? Qt::DownArrow : Qt::RightArrow);
  developer_->setVisible(btnDeveloper->isChecked());
  seReconnectWait->setValue(settings.ReconnectWait);
  UpdateEnabled();
}

TTorvelSettings TTorvelSettingsDialog::Settings() const {
  TTorvelSettings settings;
  const QString image = edImage->text().trimmed();
  // The data file is kept while the port is chosen, for a later return to it.
  if ((rbFile->isChecked() || rbSerial->isChecked()) && !image.isEmpty()) {
    settings.Image = QFile::encodeName(QFileInfo(image).absoluteFilePath()).toStdString();
  }
  if (rbSerial->isChecked()) settings.Connection = TTorvelConnection::Serial;
  settings.Port = QFile::encodeName(cbPort->currentText().trimmed()).toStdString();
  settings.Baud = cbBaud->currentData().toInt();
  if (chbDelay->isChecked()) settings.DelayMs = seDelay->value();
  settings.ReconnectWait = seReconnectWait->value();
  return settings;
}

void TTorvelSettingsDialog::UpdateEnabled() {
  edImage->setEnabled(rbFile->isChecked());
  btnBrowse->setEnabled(rbFile->isChecked());
  cbPort->setEnabled(rbSerial->isChecked());
  cbBaud->setEnabled(rbSerial->isChecked());
  btnCheck->setEnabled(rbSerial->isChecked());
  chbDelay->setEnabled(!rbSerial->isChecked());
  seDelay->setEnabled(chbDelay->isChecked());
}

void TTorvelSettingsDialog::btnBrowseClick() {
  const QString chosen = chooseImageFile(edImage->text());
  if (!chosen.isEmpty()) edImage->setText(QDir::toNativeSeparators(chosen));
}

void TTorvelSettingsDialog::btnCheckClick() {
  const TTorvelSettings settings = Settings();
  if (settings.Port.empty()) {
    lblCheck->setText(Qs(Tr("Не выбран последовательный порт.")));
    lblCheck->show();
    return;
  }
  TFNSerialTorvel::TOptions options;
  options.Port = settings.Port;
  options.Baud = settings.Baud;
  if (const char* trace = std::getenv("TORVEL_TRACE"); trace != nullptr) options.TracePath = trace;
  // A silent storage takes the driver's retries to give up: the dialog keeps
  // answering meanwhile, and its destructor waits for the check.
  btnCheck->setEnabled(false);
  lblCheck->setText(Qs(Tr("Проверка связи...")));
  lblCheck->show();
  checkThread_ = QThread::create([this, options = std::move(options)]() mutable {
    TFNSerialTorvel driver(std::move(options));
    QString text;
    try {
      if (driver.QueryStorageStatus() == 0) {
        text = Qs(Tr("Связь есть: ФН № %1, последний документ %2"))
                   .arg(QString::fromStdU16String(driver.GetText(TTorvelProperty::SerialNumber)))
                   .arg(driver.GetInt(TTorvelProperty::DocumentNumber));
      } else {
        text = Qs(Tr("Нет связи: ")) +
               QString::fromStdU16String(driver.GetText(TTorvelProperty::ResultCodeDescription));
      }
    } catch (const std::exception& e) {
      text = Qs(Tr("Нет связи: ")) + QString::fromUtf8(e.what());
    }
    static_cast<void>(driver.ReleaseDevice());
    QMetaObject::invokeMethod(
        this,
        [this, text] {
          lblCheck->setText(text);
          btnCheck->setEnabled(true);
          FinishCheck();
        },
        Qt::QueuedConnection);
  });
  checkThread_->start();
}

void TTorvelSettingsDialog::FinishCheck() {
  if (checkThread_ == nullptr) return;
  checkThread_->wait();
  delete checkThread_;
  checkThread_ = nullptr;
}

TTorvelSettingsDialog::~TTorvelSettingsDialog() { FinishCheck(); }

void TTorvelSettingsDialog::accept() {
  if (rbSerial->isChecked() && cbPort->currentText().trimmed().isEmpty()) {
    showError(Qs(Tr("Не выбран последовательный порт.")));
    return;
  }
  if (rbFile->isChecked()) {
    const QString image = edImage->text().trimmed();
    if (image.isEmpty()) {
      showError(Qs(Tr("Не выбран файл данных накопителя.")));
      return;
    }
    if (!QFileInfo(image).isFile()) {
      showError(Qs(Tr("Файл данных накопителя \"%1\" не найден."))
                    .arg(QFileInfo(image).absoluteFilePath()));
      return;
    }
  }
  try {
    SaveTorvelSettings(Settings());
  } catch (const std::exception& e) {
    showError(QString::fromUtf8(e.what()));
    return;
  }
  TBaseForm::accept();
}

int ShowTorvelSettingsDialog() {
  if (QApplication::instance() == nullptr ||
      QThread::currentThread() != QApplication::instance()->thread()) {
    return 1;
  }
  TTorvelSettingsDialog dialog(QApplication::activeWindow());
  try {
    dialog.SetSettings(LoadTorvelSettings());
  } catch (const std::exception& e) {
    // A broken settings file is mended by saving new settings over it.
    dialog.showError(QString::fromUtf8(e.what()));
  }
  return dialog.exec() == QDialog::Accepted ? 0 : 1;
}

void InstallTorvelSettingsHook() { SetSettingsDialogHook(&ShowTorvelSettingsDialog); }

}  // namespace kvitor
