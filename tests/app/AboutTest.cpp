// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QUrl>

#include "AppTestUtil.h"
#include "KvitorMakerInfo.h"
#include "app/fmuAbout.h"

using kvitor::TfmAbout;
using kvitor::test::Child;
using kvitor::test::TModalAnswer;

class TAboutTest : public QObject {
  Q_OBJECT

 private slots:
  void layoutAndTexts() {
    TfmAbout about;
    QCOMPARE(about.windowTitle(), QStringLiteral("О программе"));
    QCOMPARE(about.size(), QSize(335, 232));
    QCOMPARE(about.minimumSize(), QSize(335, 232));
    QVERIFY(!(about.windowFlags() & Qt::WindowContextHelpButtonHint));
    QVERIFY(!(about.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(Child<QLabel>(about, "lblURLCaption")->text(), QStringLiteral("Наш Web-сайт:"));
    QCOMPARE(Child<QLabel>(about, "lblSupportMailCaption")->text(),
             QStringLiteral("Тех. поддержка:"));
    QCOMPARE(Child<QLabel>(about, "lblMakerName")->text(), QString::fromUtf8(kvitor::kMakerName));
    // An example domain only holds a place: no row for it.
    about.SetLinks(QStringLiteral("https://example.org/kvitor"), QStringLiteral("help@kvitor.ru"));
    QVERIFY(Child<QLabel>(about, "lblURL")->isHidden());
    QVERIFY(Child<QLabel>(about, "lblURLCaption")->isHidden());
    QVERIFY(!Child<QLabel>(about, "lblSupportMail")->isHidden());
    QCOMPARE(Child<QLabel>(about, "lblSupportMail")->text(), QStringLiteral("help@kvitor.ru"));
    for (const char* link : {"lblURL", "lblSupportMail"}) {
      QCOMPARE(Child<QLabel>(about, link)->cursor().shape(), Qt::PointingHandCursor);
    }

    auto* list = Child<QListWidget>(about, "lbVersion");
    QCOMPARE(list->focusPolicy(), Qt::NoFocus);
    QCOMPARE(list->palette().color(QPalette::Base), QColor(Qt::white));
    QPushButton* ok = Child<QPushButton>(about, "btnOK");
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QVERIFY(ok->isDefault());

    about.SetTitle(QStringLiteral("Квитор"));
    QCOMPARE(Child<QLabel>(about, "NameLabel")->text(), QStringLiteral("Квитор"));
    about.AddLines({QStringLiteral("первая"), QStringLiteral("вторая")});
    about.AddLines({QStringLiteral("третья")});
    QCOMPARE(list->count(), 3);
    QCOMPARE(list->item(0)->text(), QStringLiteral("первая"));
    QCOMPARE(list->item(2)->text(), QStringLiteral("третья"));
  }

  void opensCentredAndFollowsResizing() {
    TfmAbout about;
    about.SetLinks(QStringLiteral("https://kvitor.ru"), QStringLiteral("help@kvitor.ru"));
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    const QPoint screenCentre = about.screen()->availableGeometry().center();
    QVERIFY((about.frameGeometry().center() - screenCentre).manhattanLength() <= 4);

    auto* list = Child<QListWidget>(about, "lbVersion");
    QWidget* url = Child<QLabel>(about, "lblURL");
    QWidget* ok = Child<QPushButton>(about, "btnOK");
    const QRect list0 = list->geometry();
    const QRect url0 = url->geometry();
    const QRect ok0 = ok->geometry();
    about.resize(about.width() + 100, about.height() + 80);
    QTRY_COMPARE(list->width(), list0.width() + 100);
    QCOMPARE(list->height(), list0.height() + 80);
    QCOMPARE(url->y(), url0.y() + 80);
    QCOMPARE(ok->geometry().topLeft(), ok0.topLeft() + QPoint(100, 80));
  }

  void okAndEscapeCloseWithOk() {
    for (const bool escape : {false, true}) {
      TfmAbout about;
      about.show();
      QVERIFY(QTest::qWaitForWindowExposed(&about));
      if (escape) {
        QTest::keyClick(&about, Qt::Key_Escape);
      } else {
        Child<QPushButton>(about, "btnOK")->click();
      }
      QVERIFY(!about.isVisible());
      QCOMPARE(about.result(), int{QDialog::Accepted});
    }
  }

  void linksOpenTheSiteAndAMail() {
    TfmAbout about;
    QList<QUrl> opened;
    about.openUrl = [&opened](const QUrl& url) { opened << url; };
    about.SetLinks(QStringLiteral("https://kvitor.ru"), QStringLiteral("help@kvitor.ru"));
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QTest::mouseClick(Child<QLabel>(about, "lblURL"), Qt::LeftButton);
    QTest::mouseClick(Child<QLabel>(about, "lblSupportMail"), Qt::LeftButton);
    // A click on a caption opens nothing.
    QTest::mouseClick(Child<QLabel>(about, "lblURLCaption"), Qt::LeftButton);
    QCOMPARE(opened, (QList<QUrl>{QUrl(QStringLiteral("https://kvitor.ru")),
                                  QUrl(QStringLiteral("mailto:help@kvitor.ru"))}));
  }

  void showAboutIsModalOverItsOwner() {
    QWidget owner;
    owner.show();
    TModalAnswer<TfmAbout> answer([&owner](TfmAbout& about) {
      QCOMPARE(about.parentWidget(), &owner);
      QVERIFY(about.isModal());
      QCOMPARE(Child<QLabel>(about, "NameLabel")->text(), QStringLiteral("Название"));
      const auto* list = Child<QListWidget>(about, "lbVersion");
      QCOMPARE(list->count(), 2);
      QCOMPARE(list->item(1)->text(), QStringLiteral("строка 2"));
      Child<QPushButton>(about, "btnOK")->click();
    });
    kvitor::ShowAbout(&owner, QStringLiteral("Название"),
                      {QStringLiteral("строка 1"), QStringLiteral("строка 2")});
    QVERIFY(answer.Done());
  }
};

QTEST_MAIN(TAboutTest)
#include "AboutTest.moc"
