#pragma once

#include <QString>
#include <functional>

#include "BaseForm.h"
#include "TorvelSettings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace kvitor {

// The emulated driver's settings dialog: the storage to serve (a data file or
// the built-in demo storage) and an optional delay per document. OK saves the
// settings and closes only when that worked; Cancel keeps the old ones.
class TTorvelSettingsDialog : public TBaseForm {
  Q_OBJECT

 public:
  explicit TTorvelSettingsDialog(QWidget* owner = nullptr);

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

  QRadioButton* rbDemo;
  QRadioButton* rbFile;
  QLineEdit* edImage;
  QPushButton* btnBrowse;
  QCheckBox* chbDelay;
  QSpinBox* seDelay;
  QLabel* lblEnvironment;
};

// Loads the settings, shows the dialog modally over the active window and
// returns 0 when the settings were saved, 1 when the user cancelled (or when
// called off the window's thread, where no window can be shown).
int ShowTorvelSettingsDialog();

// Makes the driver's ShowSettingsDialog open this dialog.
void InstallTorvelSettingsHook();

}  // namespace kvitor
