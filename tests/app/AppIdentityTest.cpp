// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "app/AppIdentity.h"

class TAppIdentityTest : public QObject {
  Q_OBJECT

 private slots:
  void qtsOwnTextsFollowTheLanguage() {
    QVERIFY(kvitor::SetUpApplication(*qApp, QLocale(QLocale::Russian, QLocale::Russia)));
    // The stop confirmation's buttons, the save dialog and its overwrite
    // question.
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Квитор"), QStringLiteral("?"),
                    QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box.button(QMessageBox::Yes)->text(), QStringLiteral("&Да"));
    QCOMPARE(box.button(QMessageBox::No)->text(), QStringLiteral("&Нет"));
    for (const char* text :
         {"Save As", "Look in:", "%1 already exists.\nDo you want to replace it?"}) {
      QVERIFY2(QFileDialog::tr(text) != QString::fromLatin1(text), text);
    }
  }

  void noDisplayNameForTheWindowManagerToAppend() {
    static_cast<void>(kvitor::SetUpApplication(*qApp, QLocale(QLocale::English)));
    // X11 appends a display name of its own to every caption ("О программе —
    // Квитор"): none is set, so Qt's falls back to the application name.
    QCOMPARE(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("kvitor"));
  }
};

QTEST_MAIN(TAppIdentityTest)
#include "AppIdentityTest.moc"
