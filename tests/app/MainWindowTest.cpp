// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <deque>
#include <memory>
#include <optional>
#include <thread>

#include "AppTestUtil.h"
#include "app/fmuAbout.h"
#include "app/fmuMain.h"
#include "drivers/Torvel.h"
#include "drivers/TorvelSettings.h"
#include "job/FileUtils.h"
#include "job/MainController.h"
#include "job/VersionInfo.h"
#include "tlv/DateText.h"
#include "tlv/StringUtils.h"

using kvitor::TfmMain;
using kvitor::test::Child;
using kvitor::test::TModalAnswer;

namespace {

constexpr int kJobTimeoutMs = 60'000;

QString DataFile(const char* name) {
  return QStringLiteral(KVITOR_APP_TEST_DATA "/") + QString::fromLatin1(name);
}

QByteArray Cp1251(const char* utf8) {
  return QByteArray::fromStdString(kvitor::Utf8ToCp1251(utf8));
}

// Types a name into the file dialog's name field, as the user does.
void Type(QFileDialog& dialog, const QString& name) {
  auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  QVERIFY(edit != nullptr);
  edit->setText(name);
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class TMainWindowTest : public QObject {
  Q_OBJECT

 private:
  std::optional<kvitor::TDriverThreadScope> scope_;
  std::unique_ptr<TfmMain> form_;
  // What the window asked and showed, and the answers the test gives.
  QStringList asked_;
  std::deque<bool> answers_;
  QStringList errors_;
  std::optional<kvitor::TSaveChoice> saveChoice_;
  QString saveFolder_, saveProposed_;
  // The questions with buttons, and the test's answers (else the second
  // button: Нет, Начать заново).
  QStringList choices_;
  std::deque<int> choiceAnswers_;

  // A shown window on the storage image; its dialogs answered by the test.
  TfmMain& Open(const QString& image, bool replaceDialogs = true) {
    qputenv("TORVEL_IMAGE", QFile::encodeName(image));
    form_ = std::make_unique<TfmMain>();
    if (replaceDialogs) {
      form_->askYesNo = [this](const QString& text) {
        asked_ << text;
        if (answers_.empty()) return false;
        const bool answer = answers_.front();
        answers_.pop_front();
        return answer;
      };
      form_->showError = [this](const QString& text) { errors_ << text; };
      form_->askChoice = [this](const QString& text, const QStringList& buttons) {
        choices_ << text + " | " + buttons.join(QStringLiteral(" | "));
        if (choiceAnswers_.empty()) return 1;
        const int answer = choiceAnswers_.front();
        choiceAnswers_.pop_front();
        return answer;
      };
      form_->chooseSaveFile = [this](const QString& folder, const QString& proposed) {
        saveFolder_ = folder;
        saveProposed_ = proposed;
        return saveChoice_;
      };
    }
    form_->show();
    return *form_;
  }

  template <class T>
  T& Get(const char* name) {
    T* child = Child<T>(*form_, name);
    if (child == nullptr) qFatal("no control %s", name);
    return *child;
  }

  // Starts a job once the start-up status read has come back with
  // storageLast: that read holds the device while it runs, and a job that
  // started meanwhile would find the device busy.
  void StartJob(int first, int last, int storageLast) {
    QVERIFY(QTest::qWaitFor(
        [this, storageLast] { return Get<QSpinBox>("seDocNumber2").value() == storageLast; },
        kJobTimeoutMs));
    Get<QSpinBox>("seDocNumber1").setValue(first);
    Get<QSpinBox>("seDocNumber2").setValue(last);
    Get<QPushButton>("btnStart").click();
  }

 private slots:
  void initTestCase() { scope_.emplace(); }

  void init() {
    // No test goes on from another's journal.
    QVERIFY(qEnvironmentVariable("XDG_STATE_HOME").startsWith(QStringLiteral("/")));
    QDir(qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/kvitor")).removeRecursively();
    QDir(qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/kvitor")).removeRecursively();
    choices_.clear();
    choiceAnswers_.clear();
    asked_.clear();
    answers_.clear();
    errors_.clear();
    saveChoice_.reset();
    saveProposed_.clear();
  }

  void cleanup() {
    if (form_) form_->Controller().Stop();
    form_.reset();
  }

  void cleanupTestCase() { scope_.reset(); }

  void controlsAndInitialState() {
    // A storage that cannot be read: the start-up read says so in the
    // storage line and the status, and asks nothing.
    TfmMain& form = Open(DataFile("missing.json"));
    QCOMPARE(form.windowTitle(), QStringLiteral("Квитор"));
    QCOMPARE(form.width(), 528);
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);

    const struct {
      const char* name;
      const char* caption;
      const char* hint;
    } buttons[] = {
        {"btnStart", "&Начать", "Начать чтение документов"},
        {"btnStop", "П&рервать", "Прервать чтение документов"},
        {"btnSave", "&Сохранить...", "Сохранение отчета в файле"},
        {"btnDriver", "&Драйвер...", "Настройка параметров драйвера"},
        {"btnAbout", "О про&грамме...", "Информация о программе"},
        {"btnClose", "&Закрыть", ""},
        {"btnOpenReport", "&Открыть отчет...", "Просмотр и экспорт сохраненного отчета"},
        {"btnReadFNStatus", "", "Прочитать максимальный номер документа"},
    };
    for (const auto& b : buttons) {
      const QPushButton& button = Get<QPushButton>(b.name);
      QCOMPARE(button.text(), QString::fromUtf8(b.caption));
      QCOMPARE(button.toolTip(), QString::fromUtf8(b.hint));
    }
    // Every caption with a letter of its own.
    QStringList mnemonics;
    for (const QAbstractButton* button : form.findChildren<QAbstractButton*>()) {
      if (!button->text().isEmpty()) mnemonics << QKeySequence::mnemonic(button->text()).toString();
    }
    for (const char* label : {"lblDocNumber1", "lblDocNumber2"}) {
      mnemonics << QKeySequence::mnemonic(Get<QLabel>(label).text()).toString();
    }
    QCOMPARE(mnemonics.size(), 12);
    QVERIFY2(!mnemonics.contains(QString()), qPrintable(mnemonics.join(QLatin1Char(' '))));
    mnemonics.removeDuplicates();
    QCOMPARE(mnemonics.size(), 12);
    for (const char* glyph : {"btnStart", "btnStop", "btnSave", "btnDriver", "btnReadFNStatus"}) {
      QVERIFY2(!Get<QPushButton>(glyph).icon().isNull(), glyph);
    }
    QCOMPARE(Get<QLabel>("lblTitle").text(), QStringLiteral("Отчет о считывании ФД"));
    QVERIFY(Get<QLabel>("lblTitle").font().bold());
    QCOMPARE(Get<QLabel>("lblTitle").palette().color(QPalette::WindowText), QColor(0, 0, 128));
    QCOMPARE(Get<QLabel>("lblDocNumber1").text(), QStringLiteral("Номер &первого документа:"));
    QCOMPARE(Get<QLabel>("lblDocNumber2").text(), QStringLiteral("Номер последн&его документа:"));
    QCOMPARE(Get<QCheckBox>("chbOnlyIfTag1162Exist").text(),
             QStringLiteral("&Включать только чеки с тегом 1162"));
    QVERIFY(!Get<QCheckBox>("chbOnlyIfTag1162Exist").isChecked());
    QVERIFY(Get<QGroupBox>("gbMain").isAncestorOf(&Get<QProgressBar>("ProgressBar")));
    for (const char* label :
         {"lblStorage", "lblProgress", "lblStatusText", "lblTimeLeft", "lblStartTime"}) {
      QVERIFY2(Get<QGroupBox>("gbMain").isAncestorOf(&Get<QLabel>(label)), label);
    }

    for (const char* name : {"seDocNumber1", "seDocNumber2"}) {
      QCOMPARE(Get<QSpinBox>(name).minimum(), INT_MIN);
      QCOMPARE(Get<QSpinBox>(name).maximum(), INT_MAX);
    }
    QCOMPARE(Get<QSpinBox>("seDocNumber1").value(), 1);
    QCOMPARE(Get<QProgressBar>("ProgressBar").minimum(), 0);
    QCOMPARE(Get<QProgressBar>("ProgressBar").maximum(), 100);
    QCOMPARE(Get<QTimer>("Timer").interval(), 100);
    QVERIFY(!Get<QTimer>("Timer").isActive());

    // Idle: no percent of nothing; the focus on Начать.
    QVERIFY(!Get<QPushButton>("btnStop").isEnabled());
    QVERIFY(!Get<QPushButton>("btnSave").isEnabled());
    QVERIFY(Get<QLabel>("lblProgress").text().isEmpty());
    QCOMPARE(form.focusWidget(), &Get<QPushButton>("btnStart"));

    // Tab order as the controls stand: the range, then the buttons; a spin
    // edit's inner line edit stands for the spin edit.
    const QStringList order = {
        "seDocNumber1", "seDocNumber2",  "btnReadFNStatus", "chbOnlyIfTag1162Exist",
        "chbFfd12",     "btnStart",      "btnStop",         "btnSave",
        "btnDriver",    "btnOpenReport", "btnRecent",       "btnAbout",
        "btnClose"};
    QStringList chain;
    QWidget* w = &Get<QSpinBox>("seDocNumber1");
    for (int step = 0; step < 200 && chain.size() < order.size(); ++step) {
      QWidget* control = qobject_cast<QSpinBox*>(w->parentWidget()) ? w->parentWidget() : w;
      if (order.contains(control->objectName()) &&
          (chain.isEmpty() || chain.last() != control->objectName())) {
        chain << control->objectName();
      }
      w = w->nextInFocusChain();
    }
    QCOMPARE(chain, order);

    QTRY_VERIFY_WITH_TIMEOUT(!form.ReadingStatus(), kJobTimeoutMs);
    const QLabel& line = Get<QLabel>("lblStorage");
    const QString storage = line.toolTip().isEmpty() ? line.text() : line.toolTip();
    QVERIFY2(storage.startsWith(QStringLiteral("ФН недоступен (файл данных ")) &&
                 storage.contains(QStringLiteral("missing.json")),
             qPrintable(storage));
    QVERIFY(Get<QLabel>("lblStatusText").text().startsWith(QStringLiteral("ФН недоступен: ")));
    QCOMPARE(Get<QSpinBox>("seDocNumber2").value(), 0);
    QVERIFY(Get<QPushButton>("btnStart").isEnabled());
    QVERIFY(Get<QPushButton>("btnDriver").isEnabled());
    QVERIFY(errors_.isEmpty());
    // Начать then names the cause, not a wrong number.
    Get<QPushButton>("btnStart").click();
    QCOMPARE(errors_.size(), 1);
    QVERIFY2(errors_.first().startsWith(QStringLiteral("ФН недоступен: ")), qPrintable(errors_[0]));
  }

  void statusReadSetsLastNumber() {
    TfmMain& form = Open(DataFile("slow.json"));
    // The start-up read, handed over to the window's thread.
    QTRY_COMPARE_WITH_TIMEOUT(Get<QSpinBox>("seDocNumber2").value(), 10, kJobTimeoutMs);
    QCOMPARE(form.Controller().FNStatus().LastDocNumber, 10);
    const auto storageText = [this] {
      const QLabel& storage = Get<QLabel>("lblStorage");
      return storage.toolTip().isEmpty() ? storage.text() : storage.toolTip();
    };
    QTRY_VERIFY(storageText().startsWith(
        QStringLiteral("ФН № 9999078900012345 · последний документ 10 · файл данных ")));
    QVERIFY2(storageText().endsWith(QStringLiteral("slow.json")), qPrintable(storageText()));
    // However long the path, the line shows the storage's last number.
    QVERIFY2(Get<QLabel>("lblStorage").text().contains(QStringLiteral("последний документ 10")),
             qPrintable(Get<QLabel>("lblStorage").text()));

    Open(DataFile("long.json"));
    QTRY_COMPARE_WITH_TIMEOUT(Get<QSpinBox>("seDocNumber2").value(), 120, kJobTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!form_->ReadingStatus(), kJobTimeoutMs);

    // The button reads it again off the window's thread, the window
    // answering meanwhile, and resets the first number.
    Get<QSpinBox>("seDocNumber1").setValue(7);
    Get<QSpinBox>("seDocNumber2").setValue(3);
    Get<QPushButton>("btnReadFNStatus").click();
    QVERIFY(form_->ReadingStatus());
    QVERIFY(!Get<QPushButton>("btnReadFNStatus").isEnabled());
    QVERIFY(!Get<QPushButton>("btnDriver").isEnabled());
    // Начать meanwhile waits for the number, then reads the new range.
    Get<QPushButton>("btnStart").click();
    QVERIFY(!form_->Controller().Running());
    QTRY_VERIFY_WITH_TIMEOUT(!form_->ReadingStatus(), kJobTimeoutMs);
    QCOMPARE(Get<QSpinBox>("seDocNumber1").value(), 1);
    QCOMPARE(Get<QSpinBox>("seDocNumber2").value(), 120);
    QVERIFY(form_->Controller().Running());
    QCOMPARE(form_->Controller().DocumentsToRead(), 120);
    form_->Controller().Stop();
    QTRY_VERIFY_WITH_TIMEOUT(form_->Controller().JobFinished(), kJobTimeoutMs);
    QTRY_VERIFY(Get<QPushButton>("btnReadFNStatus").isEnabled());
    QVERIFY(errors_.isEmpty());

    // A failing read keeps the fields and says why in the storage line.
    Open(DataFile("missing.json"));
    QTRY_VERIFY_WITH_TIMEOUT(!form_->ReadingStatus(), kJobTimeoutMs);
    Get<QSpinBox>("seDocNumber1").setValue(4);
    Get<QSpinBox>("seDocNumber2").setValue(9);
    Get<QPushButton>("btnReadFNStatus").click();
    QTRY_VERIFY_WITH_TIMEOUT(!form_->ReadingStatus(), kJobTimeoutMs);
    QVERIFY(storageText().contains(QStringLiteral("missing.json")));
    QCOMPARE(Get<QSpinBox>("seDocNumber1").value(), 4);
    QCOMPARE(Get<QSpinBox>("seDocNumber2").value(), 9);
    QVERIFY(errors_.isEmpty());
  }

  void badRangeShowsMessage_data() {
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("last");
    QTest::addColumn<QString>("message");
    const QString first = QStringLiteral("Номер первого документа должен быть не меньше 1");
    const QString last = QStringLiteral("Номер последнего документа должен быть не меньше 1");
    const QString order =
        QStringLiteral("Номер первого документа должен быть не больше номера последнего документа");
    QTest::newRow("first 0") << "0"
                             << "5" << first;
    QTest::newRow("first negative") << "-3"
                                    << "5" << first;
    QTest::newRow("first not a number") << "abc"
                                        << "5" << first;
    QTest::newRow("first empty") << ""
                                 << "5" << first;
    QTest::newRow("last 0") << "1"
                            << "0" << last;
    QTest::newRow("last negative") << "1"
                                   << "-4" << last;
    QTest::newRow("last not a number") << "1"
                                       << "x1" << last;
    QTest::newRow("last before first") << "5"
                                       << "3" << order;
    QTest::newRow("past the storage")
        << "1"
        << "5000"
        << QStringLiteral(
               "Номер последнего документа должен быть не больше 10: столько "
               "документов в ФН");
  }

  void keyboardReachesEveryAction() {
    TfmMain& form = Open(DataFile("slow.json"));
    QTRY_VERIFY_WITH_TIMEOUT(!form.ReadingStatus(), kJobTimeoutMs);
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    // Enter in a number field starts the read with the numbers typed.
    auto& last = Get<QSpinBox>("seDocNumber2");
    last.setFocus();
    last.findChild<QLineEdit*>()->setText(QStringLiteral("11"));
    QTest::keyClick(&last, Qt::Key_Return);
    QCOMPARE(errors_.size(), 1);
    QVERIFY2(errors_[0].contains(QStringLiteral("не больше 10")), qPrintable(errors_[0]));

    int opened = 0;
    form.chooseReportFile = [&opened] {
      ++opened;
      return QString();
    };
    QTest::keyClick(&form, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(opened, 1);
    // No report yet: Ctrl+S does nothing.
    QTest::keyClick(&form, Qt::Key_S, Qt::ControlModifier);
    QVERIFY(saveProposed_.isEmpty());
    TModalAnswer<kvitor::TfmAbout> about(
        [](kvitor::TfmAbout& window) { Child<QPushButton>(window, "btnOK")->click(); });
    QTest::keyClick(&form, Qt::Key_F1);
    QVERIFY(about.Done());
  }

  void badRangeShowsMessage() {
    QFETCH(QString, first);
    QFETCH(QString, last);
    QFETCH(QString, message);
    Open(DataFile("slow.json"));
    QTRY_COMPARE_WITH_TIMEOUT(Get<QSpinBox>("seDocNumber2").value(), 10, kJobTimeoutMs);
    // Typed texts, as a user would leave them in the fields.
    Get<QSpinBox>("seDocNumber1").findChild<QLineEdit*>()->setText(first);
    Get<QSpinBox>("seDocNumber2").findChild<QLineEdit*>()->setText(last);
    Get<QPushButton>("btnStart").click();
    QCOMPARE(errors_, QStringList{message});
    QVERIFY(!Get<QTimer>("Timer").isActive());
    QVERIFY(!form_->Controller().Running());
    QVERIFY(Get<QPushButton>("btnStart").isEnabled());
    QVERIFY(!Get<QPushButton>("btnStop").isEnabled());
  }

  void jobShowsProgressThenFinalState() {
    TfmMain& form = Open(DataFile("slow.json"));
    StartJob(1, 10, 10);
    QVERIFY(errors_.isEmpty());
    QVERIFY(Get<QTimer>("Timer").isActive());
    QVERIFY(!Get<QPushButton>("btnStart").isEnabled());
    QVERIFY(Get<QPushButton>("btnStop").isEnabled());
    QVERIFY(!Get<QPushButton>("btnDriver").isEnabled());
    QVERIFY(!Get<QPushButton>("btnSave").isEnabled());
    // Nothing that cannot work while the job reads.
    for (const char* name :
         {"btnReadFNStatus", "seDocNumber1", "seDocNumber2", "chbOnlyIfTag1162Exist", "chbFfd12"}) {
      QVERIFY2(!Get<QWidget>(name).isEnabled(), name);
    }
    QCOMPARE(form.focusWidget(), &Get<QPushButton>("btnStop"));
    // Before the first document (150 ms) there is no estimate: no remaining
    // time and no end. Spans of time are hours:minutes:seconds, clock times
    // as the locale writes them.
    const QString time = QStringLiteral("\\d\\d:\\d\\d:\\d\\d");
    const QString span = QStringLiteral("\\d+:\\d\\d:\\d\\d");
    QVERIFY2(QRegularExpression(QStringLiteral("^Прошло: %1$").arg(span))
                 .match(Get<QLabel>("lblTimeLeft").text())
                 .hasMatch(),
             qPrintable(Get<QLabel>("lblTimeLeft").text()));
    QVERIFY2(QRegularExpression(QStringLiteral("^Начало: %1$").arg(time))
                 .match(Get<QLabel>("lblStartTime").text())
                 .hasMatch(),
             qPrintable(Get<QLabel>("lblStartTime").text()));

    // Some moment in the middle of the job.
    const QRegularExpression progress(QStringLiteral("^Прочитано документов: (\\d+) из 10$"));
    QTRY_VERIFY_WITH_TIMEOUT(progress.match(Get<QLabel>("lblStatusText").text()).hasMatch() &&
                                 Get<QProgressBar>("ProgressBar").value() < 100,
                             kJobTimeoutMs);
    const int percent = Get<QProgressBar>("ProgressBar").value();
    QVERIFY(percent >= 10);
    QCOMPARE(Get<QLabel>("lblProgress").text(), QStringLiteral("%1 %").arg(percent));
    QVERIFY2(QRegularExpression(QStringLiteral("^Прошло: %1, осталось: %1$").arg(span))
                 .match(Get<QLabel>("lblTimeLeft").text())
                 .hasMatch(),
             qPrintable(Get<QLabel>("lblTimeLeft").text()));
    const QString started =
        QString::fromStdString(kvitor::FormatLongTime(form.Controller().GetStatus().StartTime));
    QVERIFY2(QRegularExpression(QStringLiteral("^Начало: %1, завершение: %2$").arg(started, time))
                 .match(Get<QLabel>("lblStartTime").text())
                 .hasMatch(),
             qPrintable(Get<QLabel>("lblStartTime").text()));

    QTRY_VERIFY_WITH_TIMEOUT(Get<QPushButton>("btnSave").isEnabled(), kJobTimeoutMs);
    QCOMPARE(Get<QLabel>("lblStatusText").text(), QStringLiteral("Успешно завершено"));
    QCOMPARE(Get<QProgressBar>("ProgressBar").value(), 100);
    QCOMPARE(Get<QLabel>("lblProgress").text(), QStringLiteral("100 %"));
    QVERIFY(Get<QPushButton>("btnStart").isEnabled());
    QVERIFY(!Get<QPushButton>("btnStop").isEnabled());
    QVERIFY(Get<QPushButton>("btnDriver").isEnabled());
    QVERIFY(Get<QSpinBox>("seDocNumber1").isEnabled());
    // The estimate goes with the job; the focus to saving its report.
    QTRY_COMPARE(form.focusWidget(), &Get<QPushButton>("btnSave"));
    QVERIFY2(QRegularExpression(QStringLiteral("^Прошло: %1$").arg(span))
                 .match(Get<QLabel>("lblTimeLeft").text())
                 .hasMatch(),
             qPrintable(Get<QLabel>("lblTimeLeft").text()));
    QVERIFY2(QRegularExpression(QStringLiteral("^Начало: %1, окончание: %2$").arg(started, time))
                 .match(Get<QLabel>("lblStartTime").text())
                 .hasMatch(),
             qPrintable(Get<QLabel>("lblStartTime").text()));
    QVERIFY(Get<QTimer>("Timer").isActive());
    QCOMPARE(form.Controller().Report().Documents().Count(), 10);
    QVERIFY(asked_.isEmpty());
  }

  void ffd12OptionNamesTheNewerTagsAndAReadWithoutItHints() {
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("ffd12.json"));
    QFile file(image);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"synthetic": {"count": 20, "seed": 5, "ffd12": true}})");
    file.close();
    TfmMain& form = Open(image);
    auto& only = Get<QCheckBox>("chbOnlyIfTag1162Exist");
    auto& ffd12 = Get<QCheckBox>("chbFfd12");
    QVERIFY(!ffd12.isChecked());
    const QString hint = QStringLiteral("Прочитаны документы ФФД 1.2");
    const auto shown = [this] {
      const QLabel& status = Get<QLabel>("lblStatusText");
      return status.text() + status.toolTip();
    };
    StartJob(1, 20, 20);
    QTRY_VERIFY_WITH_TIMEOUT(Get<QPushButton>("btnSave").isEnabled(), kJobTimeoutMs);
    QVERIFY2(shown().contains(hint), qPrintable(shown()));
    QVERIFY(!form.Controller().Report().Ffd12());

    ffd12.setChecked(true);
    QCOMPARE(only.text(), QStringLiteral("&Включать только чеки с кодом товара (1162/1163)"));
    Get<QPushButton>("btnStart").click();
    QTRY_VERIFY_WITH_TIMEOUT(
        !form.Controller().Running() && Get<QPushButton>("btnSave").isEnabled(), kJobTimeoutMs);
    QVERIFY(form.Controller().Report().Ffd12());
    QVERIFY2(!shown().contains(hint), qPrintable(shown()));
    ffd12.setChecked(false);
    QCOMPARE(only.text(), QStringLiteral("&Включать только чеки с тегом 1162"));
    QVERIFY(errors_.isEmpty());
  }

  void jobErrorShownAsStatusText() {
    // The storage says it holds 11 documents, but has no 11th: the job
    // fails after ten.
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("gap.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(ReadFile(DataFile("slow.json"))
                   .replace("\"last_document_number\": 10", "\"last_document_number\": 11"));
    file.close();
    Open(file.fileName());
    StartJob(9, 11, 11);
    QTRY_VERIFY_WITH_TIMEOUT(Get<QPushButton>("btnStart").isEnabled(), kJobTimeoutMs);
    QTRY_VERIFY(Get<QLabel>("lblStatusText").text().startsWith(QStringLiteral("Ошибка: ")));
    QCOMPARE(Get<QProgressBar>("ProgressBar").value(), 67);
    // What was read stays saveable, marked as a part.
    QVERIFY(Get<QPushButton>("btnSave").isEnabled());
    QVERIFY(Get<QLabel>("lblStatusText").text().contains(QStringLiteral("Отчет неполный")));
    QVERIFY(errors_.isEmpty());
  }

  void stopAsksThenPartialReportIsSavable() {
    TfmMain& form = Open(DataFile("long.json"));
    StartJob(1, 120, 120);
    QTRY_VERIFY_WITH_TIMEOUT(Get<QProgressBar>("ProgressBar").value() > 0, kJobTimeoutMs);

    answers_ = {false};
    Get<QPushButton>("btnStop").click();
    QCOMPARE(asked_, QStringList{QStringLiteral("Прервать чтение?")});
    QVERIFY(form.Controller().Running());
    QVERIFY(Get<QTimer>("Timer").isActive());
    QVERIFY(Get<QPushButton>("btnStop").isEnabled());

    answers_ = {true};
    Get<QPushButton>("btnStop").click();
    QCOMPARE(asked_.size(), 2);
    QVERIFY(!form.Controller().Running());
    QVERIFY(Get<QPushButton>("btnStart").isEnabled());
    QVERIFY(!Get<QPushButton>("btnStop").isEnabled());

    // The stopped job builds its report from what it read; the window says
    // that it was stopped, with the real percent, and offers saving.
    QTRY_VERIFY_WITH_TIMEOUT(Get<QPushButton>("btnSave").isEnabled(), kJobTimeoutMs);
    const int read = form.Controller().Report().Documents().Count();
    QVERIFY2(read > 0 && read < 120, qPrintable(QString::number(read)));
    const QString stopped = QStringLiteral("Прервано: прочитано %1 из 120").arg(read);
    QCOMPARE(Get<QLabel>("lblStatusText").text(), stopped);
    const int percent = static_cast<int>(std::nearbyint(read * 100.0 / 120));  // halves to even
    QCOMPARE(Get<QProgressBar>("ProgressBar").value(), percent);
    QCOMPARE(Get<QLabel>("lblProgress").text(), QStringLiteral("%1 %").arg(percent));

    // The save runs on its own thread (held here until the test lets it
    // go): the window answers, counts, shows a busy cursor and keeps the
    // controls from starting anything meanwhile.
    std::atomic<bool> release{false};
    form.Controller().SetOnSaveThreadStart([&release] {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    QTemporaryDir dir(QStringLiteral(KVITOR_APP_TEST_SCRATCH "/stop-XXXXXX"));
    saveChoice_ = kvitor::TSaveChoice{dir.filePath(QStringLiteral("partial")),
                                      kvitor::TReportFileType::Binary};
    Get<QPushButton>("btnSave").click();
    QVERIFY(form.Saving());
    QTest::qWait(250);
    QVERIFY(form.Saving());
    QCOMPARE(Get<QLabel>("lblStatusText").text(),
             QStringLiteral("Сохранение отчета: записано документов 0 из %1").arg(read));
    QVERIFY(QApplication::overrideCursor() != nullptr);
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::BusyCursor);
    for (const char* name : {"btnStart", "btnSave", "btnDriver", "btnReadFNStatus"}) {
      QVERIFY2(!Get<QPushButton>(name).isEnabled(), name);
    }
    QVERIFY(!Get<QSpinBox>("seDocNumber1").isEnabled());
    QVERIFY(!Get<QCheckBox>("chbOnlyIfTag1162Exist").isEnabled());
    release = true;
    QTRY_VERIFY_WITH_TIMEOUT(!form.Saving(), kJobTimeoutMs);
    form.Controller().SetOnSaveThreadStart({});
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QTRY_COMPARE(Get<QLabel>("lblStatusText").text(),
                 QStringLiteral("Сохранено: ") + dir.filePath(QStringLiteral("partial.bin")));
    for (const char* name : {"btnStart", "btnSave", "btnDriver", "btnReadFNStatus"}) {
      QTRY_VERIFY2(Get<QPushButton>(name).isEnabled(), name);
    }
    QVERIFY(Get<QSpinBox>("seDocNumber1").isEnabled());
    QVERIFY(errors_.isEmpty());
    QVERIFY(ReadFile(dir.filePath(QStringLiteral("partial.bin")))
                .startsWith(Cp1251("Отчет о считывании ФД")));
    QCOMPARE(saveProposed_, QStringLiteral("ОтчетОСчитывании_9999078900054321"));
  }

  void defaultConfirmationIsAWarningWithYesAndNo() {
    TfmMain& form = Open(DataFile("long.json"), false);
    StartJob(1, 120, 120);
    QTRY_VERIFY_WITH_TIMEOUT(form.Controller().Running(), kJobTimeoutMs);
    TModalAnswer<QMessageBox> answer([](QMessageBox& box) {
      QCOMPARE(box.text(), QStringLiteral("Прервать чтение?"));
      QCOMPARE(box.windowTitle(), QStringLiteral("Квитор"));
      QCOMPARE(box.icon(), QMessageBox::Warning);
      QCOMPARE(box.standardButtons(), QMessageBox::Yes | QMessageBox::No);
      box.button(QMessageBox::No)->click();
    });
    Get<QPushButton>("btnStop").click();
    QVERIFY(answer.Done());
    QVERIFY(form.Controller().Running());
  }

  void closingWhileRunningAsksFirst() {
    TfmMain& form = Open(DataFile("long.json"));
    StartJob(1, 120, 120);
    QTRY_VERIFY_WITH_TIMEOUT(Get<QProgressBar>("ProgressBar").value() > 0, kJobTimeoutMs);

    answers_ = {false};
    QVERIFY(!form.close());
    QCOMPARE(asked_, QStringList{QStringLiteral("Прервать чтение?")});
    QVERIFY(form.isVisible());
    QVERIFY(form.Controller().Running());

    answers_ = {true};
    Get<QPushButton>("btnClose").click();
    QCOMPARE(asked_.size(), 2);
    QVERIFY(!form.isVisible());
    QVERIFY(!form.Controller().Running());
    form_.reset();  // waits for the job to finish its document

    // Without a job the window closes without a question, and opens again
    // where it was left.
    asked_.clear();
    Open(DataFile("slow.json"));
    form_->move(form_->pos() + QPoint(37, 23));
    const QPoint left = form_->pos();
    QVERIFY(form_->close());
    QVERIFY(asked_.isEmpty());
    Open(DataFile("slow.json"));
    QCOMPARE(form_->pos(), left);
  }

  void unsavedReportAndJournalAreAskedAbout() {
    TfmMain& form = Open(DataFile("slow.json"));
    StartJob(1, 10, 10);
    QTRY_VERIFY_WITH_TIMEOUT(Get<QProgressBar>("ProgressBar").value() >= 20, kJobTimeoutMs);
    answers_ = {true};
    Get<QPushButton>("btnStop").click();
    QTRY_VERIFY_WITH_TIMEOUT(Get<QPushButton>("btnSave").isEnabled(), kJobTimeoutMs);
    const int32_t read = form.Controller().DocumentsRead();
    QVERIFY(read >= 2 && read < 10);

    // Closing: Отмена keeps the window, nothing asked about the journal yet.
    const QString unsaved = QStringLiteral("Отчет не сохранен. Сохранить? | Да | Нет | Отмена");
    choiceAnswers_ = {2};
    QVERIFY(!form.close());
    QCOMPARE(choices_, QStringList{unsaved});

    // Начать: Нет, then the journal's offer; going on reads only the rest.
    choices_.clear();
    choiceAnswers_ = {1, 0};
    Get<QPushButton>("btnStart").click();
    QCOMPARE(choices_.size(), 2);
    QCOMPARE(choices_[0], unsaved);
    QVERIFY2(choices_[1].contains(
                 QStringLiteral("Продолжить чтение (прочитано %1 из 10) | Начать заново | Отмена")
                     .arg(read)),
             qPrintable(choices_[1]));
    QTRY_VERIFY_WITH_TIMEOUT(!form.Controller().Running() && form.Controller().JobFinished(),
                             kJobTimeoutMs);
    QCOMPARE(form.Controller().JournalUse()->first, read);
    QCOMPARE(form.Controller().Report().Documents().Count(), 10);

    // Да saves before the window closes; the journal goes with the save.
    QTemporaryDir dir(QStringLiteral(KVITOR_APP_TEST_SCRATCH "/unsaved-XXXXXX"));
    saveChoice_ =
        kvitor::TSaveChoice{dir.filePath(QStringLiteral("r.bin")), kvitor::TReportFileType::Binary};
    choices_.clear();
    choiceAnswers_ = {0};
    QVERIFY(form.close());
    QCOMPARE(choices_, QStringList{unsaved});
    QVERIFY(ReadFile(dir.filePath(QStringLiteral("r.bin"))).size() > 358);
    QVERIFY(QDir(qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/kvitor"))
                .entryList(QDir::Files)
                .isEmpty());
  }

  void saveWritesTheChosenType() {
    TfmMain& form = Open(DataFile("slow.json"));
    StartJob(1, 10, 10);
    QTRY_VERIFY_WITH_TIMEOUT(Get<QPushButton>("btnSave").isEnabled(), kJobTimeoutMs);

    QTemporaryDir dir(QStringLiteral(KVITOR_APP_TEST_SCRATCH "/save-XXXXXX"));
    QVERIFY(dir.isValid());

    // The dialog starts at home, or in the documents folder once there is
    // one; never in the program's folder.
    QTemporaryDir home(QStringLiteral(KVITOR_APP_TEST_SCRATCH "/home-XXXXXX"));
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    Get<QPushButton>("btnSave").click();
    QCOMPARE(saveFolder_, home.path());
    QVERIFY(QDir(home.path()).mkdir(QStringLiteral("Documents")));
    Get<QPushButton>("btnSave").click();
    QCOMPARE(saveFolder_, home.filePath(QStringLiteral("Documents")));
    qputenv("HOME", oldHome);

    const QByteArray binStart = Cp1251("Отчет о считывании ФД") + QByteArray(32, ' ');
    const QByteArray textStart =
        QByteArray(57, '-') + "\r\n" + Cp1251("Наименование файла выгрузки : ");
    constexpr auto kBin = kvitor::TReportFileType::Binary;
    constexpr auto kText = kvitor::TReportFileType::Text;
    const struct {
      const char* typed;
      kvitor::TReportFileType type;
      const char* written;
      bool binary;
    } cases[] = {
        // The typed extension decides over the chosen type.
        {"typed.bin", kBin, "typed.bin", true},     {"text.bin", kText, "text.bin", true},
        {"plain", kBin, "plain.bin", true},         {"plain", kText, "plain.txt", false},
        {"report.txt", kText, "report.txt", false}, {"odd.txt", kBin, "odd.txt", false},
    };
    for (const auto& c : cases) {
      saveChoice_ = kvitor::TSaveChoice{dir.filePath(QString::fromUtf8(c.typed)), c.type};
      Get<QPushButton>("btnSave").click();
      QTRY_VERIFY_WITH_TIMEOUT(!form.Saving(), kJobTimeoutMs);
      QVERIFY(errors_.isEmpty());
      const QByteArray bytes = ReadFile(dir.filePath(QString::fromUtf8(c.written)));
      QVERIFY2(bytes.startsWith(c.binary ? binStart : textStart), c.written);
      if (c.binary) QVERIFY(bytes.size() > 358);
      const QLabel& status = Get<QLabel>("lblStatusText");
      QCOMPARE(status.toolTip().isEmpty() ? status.text() : status.toolTip(),
               QStringLiteral("Сохранено: ") + dir.filePath(QString::fromUtf8(c.written)));
    }
    // Both types at once, the other beside the chosen one; the dialog's
    // folder, type and option are kept for the next session.
    saveChoice_ = kvitor::TSaveChoice{dir.filePath(QStringLiteral("pair")), kText, true};
    Get<QPushButton>("btnSave").click();
    QTRY_VERIFY_WITH_TIMEOUT(!form.Saving(), kJobTimeoutMs);
    QVERIFY(ReadFile(dir.filePath(QStringLiteral("pair.txt"))).startsWith(textStart));
    QVERIFY(ReadFile(dir.filePath(QStringLiteral("pair.bin"))).startsWith(binStart));
    QVERIFY(Get<QLabel>("lblStatusText").text().contains(QStringLiteral("pair.bin")));
    QCOMPARE(kvitor::TWindowSettings::SaveFolder(), dir.path());
    QCOMPARE(kvitor::TWindowSettings::SaveType(), kText);
    QVERIFY(kvitor::TWindowSettings::SaveBoth());
    QCOMPARE(kvitor::TWindowSettings::RecentReports().value(0),
             dir.filePath(QStringLiteral("pair.bin")));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("text.bin.txt"))));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("plain"))));

    QCOMPARE(saveProposed_, QStringLiteral("ОтчетОСчитывании_9999078900012345"));

    // A cancelled dialog writes nothing; a writer's error reaches the box.
    // The next dialog starts in the folder of the last save that worked.
    saveChoice_.reset();
    Get<QPushButton>("btnSave").click();
    QCOMPARE(saveFolder_, dir.path());
    QVERIFY(errors_.isEmpty());
    saveChoice_ = kvitor::TSaveChoice{dir.filePath(QStringLiteral("no/such/folder/r.bin")),
                                      kvitor::TReportFileType::Binary};
    Get<QPushButton>("btnSave").click();
    QTRY_VERIFY_WITH_TIMEOUT(!form.Saving(), kJobTimeoutMs);
    saveChoice_.reset();
    Get<QPushButton>("btnSave").click();
    QCOMPARE(saveFolder_, dir.path());
    QCOMPARE(errors_.size(), 1);
    QVERIFY2(errors_.first().contains(QStringLiteral("no/such/folder")),
             qPrintable(errors_.first()));
    QCOMPARE(form.Controller().Report().Documents().Count(), 10);
  }

  void saveDialogOffersBothTypes() {
    // The real dialog, from the window's own default.
    const auto choose = Open(DataFile("slow.json"), false).chooseSaveFile;
    QTemporaryDir dir(QStringLiteral(KVITOR_APP_TEST_SCRATCH "/dialog-XXXXXX"));
    QVERIFY(dir.isValid());
    const QString bin = QStringLiteral("Отчет о считывании ФД (*.bin)");
    const QString txt = QStringLiteral("Отчет о считывании ФД (*.txt)");

    {
      TModalAnswer<QFileDialog> answer([&](QFileDialog& d) {
        QCOMPARE(d.objectName(), QStringLiteral("SaveDialog"));
        QCOMPARE(d.acceptMode(), QFileDialog::AcceptSave);
        QCOMPARE(d.nameFilters(), (QStringList{bin, txt}));
        QCOMPARE(d.selectedNameFilter(), bin);
        QVERIFY(!d.testOption(QFileDialog::DontConfirmOverwrite));
        QCOMPARE(QDir(d.directory()).canonicalPath(), QDir(dir.path()).canonicalPath());
        QCOMPARE(QFileInfo(d.selectedFiles().value(0)).fileName(), QStringLiteral("Предложено"));
        d.selectNameFilter(txt);
        Type(d, QStringLiteral("typed.bin"));
        static_cast<QDialog&>(d).accept();
      });
      const auto choice = choose(dir.path(), QStringLiteral("Предложено"));
      QVERIFY(answer.Done());
      QVERIFY(choice.has_value());
      QCOMPARE(choice->FileName, dir.filePath(QStringLiteral("typed.bin")));
      QCOMPARE(choice->FileType, kvitor::TReportFileType::Text);
    }
    {
      // The chosen type's extension goes on a bare name.
      TModalAnswer<QFileDialog> answer([&](QFileDialog& d) {
        d.selectNameFilter(txt);
        Type(d, QStringLiteral("bare"));
        static_cast<QDialog&>(d).accept();
      });
      const auto choice = choose(dir.path(), QStringLiteral("x"));
      QVERIFY(answer.Done());
      QVERIFY(choice.has_value());
      QCOMPARE(choice->FileName, dir.filePath(QStringLiteral("bare.txt")));
      QCOMPARE(choice->FileType, kvitor::TReportFileType::Text);
    }
    {
      // Overwriting asks first, about the name with the type's extension.
      QFile existing(dir.filePath(QStringLiteral("old.bin")));
      QVERIFY(existing.open(QIODevice::WriteOnly));
      existing.close();
      QString question;
      TModalAnswer<QMessageBox> overwrite([&](QMessageBox& box) {
        question = box.text();
        box.button(QMessageBox::No)->click();
      });
      TModalAnswer<QFileDialog> answer([&](QFileDialog& d) {
        Type(d, QStringLiteral("old"));
        static_cast<QDialog&>(d).accept();  // asks, gets No and stays open
        QVERIFY(d.isVisible());
        d.reject();
      });
      const auto choice = choose(dir.path(), QStringLiteral("x"));
      QVERIFY(answer.Done());
      QVERIFY(overwrite.Done());
      QVERIFY2(question.contains(QStringLiteral("old.bin")), qPrintable(question));
      QVERIFY(!choice.has_value());
    }
  }

  void aboutShowsTheVersionLine() {
    Open(DataFile("slow.json"));
    TModalAnswer<kvitor::TfmAbout> answer([](kvitor::TfmAbout& about) {
      QCOMPARE(about.windowTitle(), QStringLiteral("О программе"));
      QCOMPARE(Child<QLabel>(about, "NameLabel")->text(), QStringLiteral("Квитор"));
      const auto* list = Child<QListWidget>(about, "lbVersion");
      QCOMPARE(list->count(), 2);
      QCOMPARE(list->item(0)->text(), QStringLiteral("Версия программы: ") +
                                          QString::fromStdString(kvitor::GetFileVersionText()));
      QCOMPARE(list->item(1)->text(), QStringLiteral("Лицензия: MIT"));
      Child<QPushButton>(about, "btnOK")->click();
    });
    Get<QPushButton>("btnAbout").click();
    QVERIFY(answer.Done());
  }

  void driverButtonOpensTheDriversDialog() {
    // Once the start-up read has let go of the driver.
    Open(DataFile("slow.json"));
    QTRY_VERIFY_WITH_TIMEOUT(Get<QPushButton>("btnDriver").isEnabled(), kJobTimeoutMs);
    int shown = 0;
    kvitor::SetSettingsDialogHook([&shown] {
      ++shown;
      return 1;
    });
    Get<QPushButton>("btnDriver").click();
    kvitor::SetSettingsDialogHook({});
    QCOMPARE(shown, 1);
    QVERIFY(errors_.isEmpty());
  }

  void driverSettingsReachTheStatusButton() {
    // The driver's own settings choose the storage, nothing overrides them.
    QTemporaryDir config(QStringLiteral(KVITOR_APP_TEST_SCRATCH "/config-XXXXXX"));
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    kvitor::SaveTorvelSettings({QFile::encodeName(DataFile("slow.json")).toStdString(), {}});
    Open(QString());
    QTRY_COMPARE_WITH_TIMEOUT(Get<QSpinBox>("seDocNumber2").value(), 10, kJobTimeoutMs);

    kvitor::SetSettingsDialogHook([] {
      kvitor::SaveTorvelSettings({QFile::encodeName(DataFile("long.json")).toStdString(), {}});
      return 0;
    });
    // OK re-reads the storage: its number and its line follow the new one.
    Get<QSpinBox>("seDocNumber1").setValue(5);
    Get<QPushButton>("btnDriver").click();
    kvitor::SetSettingsDialogHook({});
    QTRY_COMPARE_WITH_TIMEOUT(Get<QSpinBox>("seDocNumber2").value(), 120, kJobTimeoutMs);
    qputenv("XDG_CONFIG_HOME", oldConfig);
    QVERIFY2(errors_.isEmpty(), qPrintable(errors_.join(QLatin1Char('\n'))));
    QCOMPARE(Get<QSpinBox>("seDocNumber1").value(), 1);
    const QLabel& storage = Get<QLabel>("lblStorage");
    QVERIFY((storage.text() + storage.toolTip()).contains(QStringLiteral("long.json")));
  }

  void longErrorsAreReadableAndNeverMoveTheLayout() {
    TfmMain& form = Open(DataFile("faults.json"));
    QTRY_COMPARE_WITH_TIMEOUT(Get<QSpinBox>("seDocNumber2").value(), 2, kJobTimeoutMs);
    QMap<QString, QRect> layout;
    for (const QWidget* w : form.findChildren<QWidget*>()) {
      if (!w->objectName().isEmpty()) layout[w->objectName()] = w->geometry();
    }
    const QLabel& status = Get<QLabel>("lblStatusText");
    for (const int document : {1, 2}) {
      Get<QSpinBox>("seDocNumber1").setValue(document);
      Get<QSpinBox>("seDocNumber2").setValue(document);
      Get<QPushButton>("btnStart").click();
      QTRY_VERIFY_WITH_TIMEOUT(
          status.text().startsWith(QStringLiteral("Ошибка: ")) && !form.Controller().Running(),
          kJobTimeoutMs);
      const QString whole =
          QString::fromStdString(form.Controller().GetStatus().Text) +
          (form.Controller().ReportIncomplete()
               ? QStringLiteral(" Отчет неполный: сохраняются прочитанные документы.")
               : QString());
      if (document == 1) {
        // About 80 characters: whole, within the lines.
        QCOMPARE(status.text(), whole);
        QVERIFY(status.toolTip().isEmpty());
      } else {
        // Far more than the lines hold: cut, the whole text as the hint.
        QVERIFY2(status.text().endsWith(QChar(0x2026)), qPrintable(status.text()));
        QVERIFY(whole.startsWith(status.text().chopped(1)));
        QCOMPARE(status.toolTip(), whole);
      }
      QVERIFY(status.textInteractionFlags() & Qt::TextSelectableByMouse);
      for (const QWidget* w : form.findChildren<QWidget*>()) {
        if (layout.contains(w->objectName())) {
          QVERIFY2(w->geometry() == layout[w->objectName()], qPrintable(w->objectName()));
        }
      }
      for (const char* name : {"lblDocNumber1", "lblDocNumber2"}) {
        QVERIFY2(Get<QLabel>(name).width() >= Get<QLabel>(name).sizeHint().width(), name);
      }
      QCOMPARE(form.size(), form.minimumSize());
    }
  }
};

QTEST_MAIN(TMainWindowTest)
#include "MainWindowTest.moc"
