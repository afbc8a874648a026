// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "AppTestUtil.h"
#include "app/TorvelSettingsDialog.h"
#include "drivers/Torvel.h"
#include "drivers/TorvelFactory.h"
#include "drivers/TorvelSettings.h"
#include "fn-emulator/FNWireStorage.h"
#include "fn-emulator/PtyServer.h"

using kvitor::TTorvelSettings;
using kvitor::TTorvelSettingsDialog;
using kvitor::test::Child;
using kvitor::test::TModalAnswer;

namespace {

const QString kImage = QStringLiteral(KVITOR_APP_TEST_DATA "/slow.json");

std::string Path(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

class TTorvelSettingsDialogTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> config_;
  QStringList errors_;

  // A dialog whose error box the test reads.
  std::unique_ptr<TTorvelSettingsDialog> NewDialog() {
    auto dialog = std::make_unique<TTorvelSettingsDialog>();
    dialog->showError = [this](const QString& text) { errors_ << text; };
    return dialog;
  }

  static void ClickOk(TTorvelSettingsDialog& dialog) {
    Child<QDialogButtonBox>(dialog, "buttons")->button(QDialogButtonBox::Ok)->click();
  }
  static void ClickCancel(TTorvelSettingsDialog& dialog) {
    Child<QDialogButtonBox>(dialog, "buttons")->button(QDialogButtonBox::Cancel)->click();
  }

 private slots:
  void init() {
    // Every case has a settings folder of its own.
    config_ =
        std::make_unique<QTemporaryDir>(QStringLiteral(KVITOR_APP_TEST_SCRATCH "/cfg-XXXXXX"));
    QVERIFY(config_->isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_->path()));
    errors_.clear();
  }

  void showsTheSettingsGiven() {
    auto dialog = NewDialog();
    QVERIFY(Child<QRadioButton>(*dialog, "rbDemo")->isChecked());
    QVERIFY(!Child<QLineEdit>(*dialog, "edImage")->isEnabled());
    QVERIFY(!Child<QCheckBox>(*dialog, "chbDelay")->isChecked());
    QVERIFY(!Child<QSpinBox>(*dialog, "seDelay")->isEnabled());
    QCOMPARE(dialog->Settings(), TTorvelSettings{});
    // The emulator's pace is a developer's matter: folded away unless set.
    QVERIFY(Child<QWidget>(*dialog, "wgDeveloper")->isHidden());

    TTorvelSettings given{Path(kImage), 250};
    given.ReconnectWait = 45;
    dialog->SetSettings(given);
    QCOMPARE(Child<QSpinBox>(*dialog, "seReconnectWait")->value(), 45);
    QVERIFY(Child<QRadioButton>(*dialog, "rbFile")->isChecked());
    QVERIFY(Child<QLineEdit>(*dialog, "edImage")->isEnabled());
    QCOMPARE(Child<QLineEdit>(*dialog, "edImage")->text(), kImage);
    QVERIFY(Child<QSpinBox>(*dialog, "seDelay")->isEnabled());
    QCOMPARE(Child<QSpinBox>(*dialog, "seDelay")->value(), 250);
    QVERIFY(!Child<QWidget>(*dialog, "wgDeveloper")->isHidden());
    QCOMPARE(dialog->Settings(), given);

    // Back to the demo storage: the typed path no longer counts.
    Child<QRadioButton>(*dialog, "rbDemo")->setChecked(true);
    Child<QCheckBox>(*dialog, "chbDelay")->setChecked(false);
    Child<QSpinBox>(*dialog, "seReconnectWait")->setValue(kvitor::kDefaultReconnectWait);
    QCOMPARE(dialog->Settings(), TTorvelSettings{});
  }

  void okSavesTheChosenFileAndDelay() {
    auto dialog = NewDialog();
    QString offered;
    dialog->chooseImageFile = [&offered](const QString& current) {
      offered = current;
      return kImage;
    };
    dialog->show();
    Child<QRadioButton>(*dialog, "rbFile")->setChecked(true);
    Child<QLineEdit>(*dialog, "edImage")->setText(QStringLiteral("/old/guess.json"));
    Child<QPushButton>(*dialog, "btnBrowse")->click();
    QCOMPARE(offered, QStringLiteral("/old/guess.json"));
    QCOMPARE(Child<QLineEdit>(*dialog, "edImage")->text(), kImage);
    Child<QCheckBox>(*dialog, "chbDelay")->setChecked(true);
    Child<QSpinBox>(*dialog, "seDelay")->setValue(400);
    ClickOk(*dialog);
    QVERIFY(errors_.isEmpty());
    QCOMPARE(dialog->result(), int{QDialog::Accepted});
    QCOMPARE(kvitor::LoadTorvelSettings(), (TTorvelSettings{Path(kImage), 400}));
  }

  void okRefusesAMissingFileAndStaysOpen() {
    auto dialog = NewDialog();
    dialog->show();
    Child<QRadioButton>(*dialog, "rbFile")->setChecked(true);
    for (const QString& typed : {QString(), QStringLiteral("/no/such/storage.json")}) {
      errors_.clear();
      Child<QLineEdit>(*dialog, "edImage")->setText(typed);
      ClickOk(*dialog);
      QCOMPARE(errors_.size(), 1);
      QVERIFY(dialog->isVisible());
    }
    QVERIFY(errors_.first().contains(QStringLiteral("/no/such/storage.json")));
    QVERIFY(!QFile::exists(QFile::decodeName(kvitor::TorvelSettingsPath().c_str())));
  }

  void cancelKeepsTheOldSettings() {
    const TTorvelSettings old{Path(kImage), std::nullopt};
    kvitor::SaveTorvelSettings(old);
    auto dialog = NewDialog();
    dialog->SetSettings(old);
    dialog->show();
    Child<QRadioButton>(*dialog, "rbDemo")->setChecked(true);
    Child<QCheckBox>(*dialog, "chbDelay")->setChecked(true);
    ClickCancel(*dialog);
    QCOMPARE(dialog->result(), int{QDialog::Rejected});
    QCOMPARE(kvitor::LoadTorvelSettings(), old);
  }

  void aSaveErrorIsShownAndTheDialogStays() {
    // A file where the settings folder should be.
    QFile blocker(config_->filePath(QStringLiteral("blocked")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker.fileName()));
    auto dialog = NewDialog();
    dialog->show();
    ClickOk(*dialog);
    QCOMPARE(errors_.size(), 1);
    QVERIFY(dialog->isVisible());
  }

  void theHookShowsTheDialogOverTheDriver() {
    kvitor::SaveTorvelSettings({Path(kImage), 300});
    kvitor::InstallTorvelSettingsHook();
    const kvitor::TDriverThreadScope scope;
    const auto driver = kvitor::CreateTorvel();
    for (const bool ok : {true, false}) {
      TModalAnswer<TTorvelSettingsDialog> answer([ok](TTorvelSettingsDialog& dialog) {
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Подключение к ФН"));
        // It opens with the stored settings.
        QCOMPARE(dialog.Settings(), (TTorvelSettings{Path(kImage), 300}));
        if (ok) {
          ClickOk(dialog);
        } else {
          ClickCancel(dialog);
        }
      });
      QCOMPARE(driver->ShowSettingsDialog(), ok ? 0 : 1);
      QVERIFY(answer.Done());
    }
    kvitor::SetSettingsDialogHook({});
  }

  void serialPortIsChosenSavedAndChecked() {
    auto dialog = NewDialog();
    dialog->show();
    Child<QRadioButton>(*dialog, "rbSerial")->setChecked(true);
    QVERIFY(Child<QComboBox>(*dialog, "cbPort")->isEnabled());
    QVERIFY(!Child<QLineEdit>(*dialog, "edImage")->isEnabled());
    // No port typed: OK refuses.
    Child<QComboBox>(*dialog, "cbPort")->setEditText(QString());
    ClickOk(*dialog);
    QCOMPARE(errors_.size(), 1);
    QVERIFY(dialog->isVisible());

    // The check against the emulated storage on a pseudo-terminal.
    kvitor::TFNWireStorage wire(kvitor::TStorageImage::LoadFile(Path(kImage)), {});
    kvitor::TPtyServer server(wire);
    std::atomic<bool> stop{false};
    std::thread serving([&] { server.Serve(stop, {}); });
    Child<QComboBox>(*dialog, "cbPort")->setEditText(QString::fromStdString(server.Path()));
    Child<QComboBox>(*dialog, "cbBaud")->setCurrentText(QStringLiteral("57600"));
    Child<QPushButton>(*dialog, "btnCheck")->click();
    // The check runs beside the window, which keeps answering.
    QVERIFY(!Child<QPushButton>(*dialog, "btnCheck")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(Child<QPushButton>(*dialog, "btnCheck")->isEnabled(), 20000);
    stop = true;
    serving.join();
    const QString checked = Child<QLabel>(*dialog, "lblCheck")->text();
    QVERIFY2(checked.contains(QStringLiteral("9999078900012345")), qPrintable(checked));

    // A port that is not there: the check names it.
    Child<QComboBox>(*dialog, "cbPort")->setEditText(QStringLiteral("/dev/kvitor-missing"));
    Child<QPushButton>(*dialog, "btnCheck")->click();
    QTRY_VERIFY_WITH_TIMEOUT(Child<QPushButton>(*dialog, "btnCheck")->isEnabled(), 20000);
    const QString failed = Child<QLabel>(*dialog, "lblCheck")->text();
    QVERIFY2(failed.contains(QStringLiteral("/dev/kvitor-missing")), qPrintable(failed));

    errors_.clear();
    ClickOk(*dialog);
    QVERIFY(errors_.isEmpty());
    TTorvelSettings saved;
    saved.Connection = kvitor::TTorvelConnection::Serial;
    saved.Port = "/dev/kvitor-missing";
    saved.Baud = 57600;
    QCOMPARE(kvitor::LoadTorvelSettings(), saved);
    dialog->SetSettings(saved);
    QVERIFY(Child<QRadioButton>(*dialog, "rbSerial")->isChecked());
    QCOMPARE(Child<QComboBox>(*dialog, "cbBaud")->currentText(), QStringLiteral("57600"));
  }

  void aBrokenSettingsFileIsReportedThenMended() {
    {
      const std::string path = kvitor::TorvelSettingsPath();
      QVERIFY(QDir().mkpath(QFileInfo(QFile::decodeName(path.c_str())).path()));
      QFile file(QFile::decodeName(path.c_str()));
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write("{ not json");
    }
    QString reported;
    TModalAnswer<QMessageBox> error([&reported](QMessageBox& box) {
      reported = box.text();
      box.button(QMessageBox::Ok)->click();
    });
    TModalAnswer<TTorvelSettingsDialog> answer([](TTorvelSettingsDialog& dialog) {
      QCOMPARE(dialog.Settings(), TTorvelSettings{});
      ClickOk(dialog);
    });
    QCOMPARE(kvitor::ShowTorvelSettingsDialog(), 0);
    QVERIFY(error.Done());
    QVERIFY(answer.Done());
    QVERIFY2(reported.contains(QStringLiteral("settings.json")), qPrintable(reported));
    QCOMPARE(kvitor::LoadTorvelSettings(), TTorvelSettings{});
  }
};

QTEST_MAIN(TTorvelSettingsDialogTest)
#include "TorvelSettingsDialogTest.moc"
