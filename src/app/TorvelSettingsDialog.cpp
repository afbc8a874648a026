#include "TorvelSettingsDialog.h"

#include <QApplication>
#include <QCheckBox>
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
#include <QVBoxLayout>
#include <cstdlib>
#include <exception>

#include "Torvel.h"

namespace kvitor {
namespace {

QString PathText(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

}  // namespace

TTorvelSettingsDialog::TTorvelSettingsDialog(QWidget* owner) : TBaseForm(owner) {
  setObjectName(QStringLiteral("TorvelSettingsDialog"));
  setWindowTitle(QStringLiteral("Настройка драйвера Torvel"));
  showError = [this](const QString& text) {
    QMessageBox::critical(this, QString::fromUtf8(kApplicationTitle), text);
  };
  chooseImageFile = [this](const QString& current) {
    return QFileDialog::getOpenFileName(this, QStringLiteral("Файл данных накопителя"), current,
                                        QStringLiteral("Файлы данных (*.json);;Все файлы (*)"));
  };

  auto* storage = new QGroupBox(QStringLiteral("Фискальный накопитель"), this);
  rbDemo = new QRadioButton(QStringLiteral("Встроенный демонстрационный накопитель"), storage);
  rbDemo->setObjectName(QStringLiteral("rbDemo"));
  rbFile = new QRadioButton(QStringLiteral("Файл данных:"), storage);
  rbFile->setObjectName(QStringLiteral("rbFile"));
  edImage = new QLineEdit(storage);
  edImage->setObjectName(QStringLiteral("edImage"));
  edImage->setMinimumWidth(260);
  btnBrowse = new QPushButton(QStringLiteral("Обзор..."), storage);
  btnBrowse->setObjectName(QStringLiteral("btnBrowse"));
  auto* file = new QHBoxLayout;
  file->addWidget(edImage, 1);
  file->addWidget(btnBrowse);
  auto* storageLayout = new QVBoxLayout(storage);
  storageLayout->addWidget(rbDemo);
  storageLayout->addWidget(rbFile);
  storageLayout->addLayout(file);

  chbDelay = new QCheckBox(QStringLiteral("Задержка чтения документа, мс:"), this);
  chbDelay->setObjectName(QStringLiteral("chbDelay"));
  seDelay = new QSpinBox(this);
  seDelay->setObjectName(QStringLiteral("seDelay"));
  seDelay->setRange(0, kMaxDelayMs);
  seDelay->setSingleStep(50);
  auto* delay = new QHBoxLayout;
  delay->addWidget(chbDelay);
  delay->addWidget(seDelay);
  delay->addStretch();

  lblEnvironment = new QLabel(this);
  lblEnvironment->setObjectName(QStringLiteral("lblEnvironment"));
  lblEnvironment->setWordWrap(true);
  lblEnvironment->setTextFormat(Qt::PlainText);
  const char* image = std::getenv("TORVEL_IMAGE");
  if (image != nullptr && *image != '\0') {
    lblEnvironment->setText(
        QStringLiteral("Сейчас действует файл данных из переменной окружения TORVEL_IMAGE: %1")
            .arg(QFile::decodeName(image)));
  } else {
    lblEnvironment->hide();
  }

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->setObjectName(QStringLiteral("buttons"));
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("btnOK"));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("btnCancel"));
  buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Отмена"));

  auto* root = new QVBoxLayout(this);
  root->addWidget(storage);
  root->addLayout(delay);
  root->addWidget(lblEnvironment);
  root->addStretch();
  root->addWidget(buttons);

  connect(rbFile, &QRadioButton::toggled, this, &TTorvelSettingsDialog::UpdateEnabled);
  connect(chbDelay, &QCheckBox::toggled, this, &TTorvelSettingsDialog::UpdateEnabled);
  connect(btnBrowse, &QPushButton::clicked, this, &TTorvelSettingsDialog::btnBrowseClick);
  connect(buttons, &QDialogButtonBox::accepted, this, &TTorvelSettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &TTorvelSettingsDialog::reject);

  SetSettings({});
}

void TTorvelSettingsDialog::SetSettings(const TTorvelSettings& settings) {
  edImage->setText(PathText(settings.Image));
  (settings.Image.empty() ? rbDemo : rbFile)->setChecked(true);
  chbDelay->setChecked(settings.DelayMs.has_value());
  seDelay->setValue(settings.DelayMs.value_or(0));
  UpdateEnabled();
}

TTorvelSettings TTorvelSettingsDialog::Settings() const {
  TTorvelSettings settings;
  const QString image = edImage->text().trimmed();
  if (rbFile->isChecked() && !image.isEmpty()) {
    settings.Image = QFile::encodeName(QFileInfo(image).absoluteFilePath()).toStdString();
  }
  if (chbDelay->isChecked()) settings.DelayMs = seDelay->value();
  return settings;
}

void TTorvelSettingsDialog::UpdateEnabled() {
  edImage->setEnabled(rbFile->isChecked());
  btnBrowse->setEnabled(rbFile->isChecked());
  seDelay->setEnabled(chbDelay->isChecked());
}

void TTorvelSettingsDialog::btnBrowseClick() {
  const QString chosen = chooseImageFile(edImage->text());
  if (!chosen.isEmpty()) edImage->setText(QDir::toNativeSeparators(chosen));
}

void TTorvelSettingsDialog::accept() {
  if (rbFile->isChecked()) {
    const QString image = edImage->text().trimmed();
    if (image.isEmpty()) {
      showError(QStringLiteral("Не выбран файл данных накопителя."));
      return;
    }
    if (!QFileInfo(image).isFile()) {
      showError(QStringLiteral("Файл данных накопителя \"%1\" не найден.")
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
