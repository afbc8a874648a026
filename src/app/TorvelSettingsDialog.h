// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <QString>
#include <functional>

#include "app/BaseForm.h"
#include "drivers/TorvelSettings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QThread;
class QToolButton;

namespace kvitor {

// The driver's settings dialog, "Подключение к ФН": the connection (the
// emulated storage, from a data file or the built-in demo storage, with an
// optional delay per document in a folded developers' section; or a fiscal
// storage on a serial port at a baud rate, which "Проверить связь" tries). OK saves the settings
// and closes only when that worked; Cancel keeps the old ones.
class TTorvelSettingsDialog : public TBaseForm {
  Q_OBJECT

 public:
  explicit TTorvelSettingsDialog(QWidget* owner = nullptr);
  ~TTorvelSettingsDialog() override;
  TTorvelSettingsDialog(const TTorvelSettingsDialog&) = delete;
  TTorvelSettingsDialog& operator=(const TTorvelSettingsDialog&) = delete;

  void SetSettings(const TTorvelSettings& settings);
  // The settings as the controls show them.
  [[nodiscard]] TTorvelSettings Settings() const;

  // Replaceable for tests: the error box and the choice of a data file
  // (returns an empty text on cancel).
  std::function<void(const QString& text)> showError;
  std::function<QString(const QString& current)> chooseImageFile;

  void accept() override;

 private:
  void UpdateEnabled();
  void btnBrowseClick();
  void btnCheckClick();
  // Waits for a connection check still running and frees its thread.
  void FinishCheck();

  QRadioButton* rbDemo;
  QRadioButton* rbFile;
  QLineEdit* edImage;
  QPushButton* btnBrowse;
  QToolButton* btnDeveloper;
  QWidget* developer_;
  QCheckBox* chbDelay;
  QSpinBox* seDelay;
  QRadioButton* rbSerial;
  QComboBox* cbPort;
  QComboBox* cbBaud;
  QSpinBox* seReconnectWait;
  QPushButton* btnCheck;
  QLabel* lblCheck;
  QLabel* lblEnvironment;
  QThread* checkThread_ = nullptr;  // the connection check, owned here
};

// Loads the settings, shows the dialog modally over the active window and
// returns 0 when the settings were saved, 1 when the user cancelled (or when
// called off the window's thread, where no window can be shown).
int ShowTorvelSettingsDialog();

// Makes the driver's ShowSettingsDialog open this dialog.
void InstallTorvelSettingsHook();

}  // namespace kvitor
