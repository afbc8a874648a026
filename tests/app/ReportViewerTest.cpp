// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <algorithm>

#include "app/fmuMain.h"
#include "app/fmuReportViewer.h"
#include "base/Stream.h"
#include "report/ReportExport.h"
#include "report/ReportView.h"

using kvitor::TfmReportViewer;

namespace {

// A report that kvitor-cli wrote (one of the fuzzer's seeds).
const QString kReport = QStringLiteral(KVITOR_APP_TEST_REPORT);

}  // namespace

class ReportViewerTest : public QObject {
  Q_OBJECT

 private slots:
  void opensOnAWorkerAndRendersDocumentsWhenExpanded() {
    const auto view = kvitor::TReportView::Load(kReport.toStdString());
    QVERIFY(view->Count() > 1);
    TfmReportViewer viewer;
    QStringList errors;
    viewer.showError = [&](const QString& text) { errors << text; };
    viewer.Open(kReport);
    QTRY_VERIFY_WITH_TIMEOUT(!viewer.Loading() || errors.size() > 0, 10000);
    auto* tree = viewer.findChild<QTreeView*>(QStringLiteral("tvDocuments"));
    QTRY_COMPARE(tree->model()->rowCount({}), static_cast<int>(view->Count()));
    QVERIFY(errors.isEmpty());

    const QModelIndex first = tree->model()->index(0, 0, {});
    QCOMPARE(first.data().toString().toStdString(), view->Document(0).Line);
    const auto lines = view->Lines(0);
    const int top = static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [](const auto& l) { return l.Parent < 0; }));
    QCOMPARE(tree->model()->rowCount(first), top);
    QCOMPARE(tree->model()->index(0, 0, first).data().toString().toStdString(), lines[0].Text);
    QCOMPARE(tree->model()->parent(tree->model()->index(0, 0, first)), first);

    // The filter keeps the documents that hold the text in any case, shows
    // the first line that holds it, and keeps its focus.
    const QString wanted = QString::fromStdString(lines.back().Text).toLower();
    const auto holds = [&wanted](const std::string& text) {
      return QString::fromStdString(text).contains(wanted, Qt::CaseInsensitive);
    };
    std::size_t holding = 0;
    for (std::size_t i = 0; i < view->Count(); ++i) {
      const auto shown = view->Lines(i);
      holding +=
          std::any_of(shown.begin(), shown.end(), [&](const auto& l) { return holds(l.Text); }) ||
          holds(view->Document(i).Line);
    }
    auto* filter = viewer.findChild<QLineEdit*>(QStringLiteral("edFilter"));
    viewer.show();
    filter->setFocus();
    filter->setText(wanted);
    QTest::keyClick(filter, Qt::Key_Return);
    QTRY_COMPARE(tree->model()->rowCount({}), static_cast<int>(holding));
    QTRY_VERIFY(!viewer.Loading());
    QVERIFY(holding < view->Count());
    QVERIFY(tree->currentIndex().parent().isValid());
    QVERIFY2(tree->currentIndex().data().toString().contains(wanted, Qt::CaseInsensitive),
             qPrintable(tree->currentIndex().data().toString()));
    QCOMPARE(viewer.focusWidget(), filter);

    // What the context menu copies: a line's value, or its whole document.
    QCOMPARE(TfmReportViewer::ValueOf(QStringLiteral("1008,ТЕЛ. ИЛИ ЭЛ. АДР.:a@b.ru ")),
             QStringLiteral("a@b.ru"));
    const QStringList document = viewer.DocumentText(tree->currentIndex()).split(QLatin1Char('\n'));
    QModelIndex root = tree->currentIndex();
    while (root.parent().isValid()) root = root.parent();
    QCOMPARE(document.first(), root.data().toString());
    QVERIFY(document.size() > 1 && document[1].startsWith(QStringLiteral("  ")));

    // The export writes what `show --csv` writes.
    QTemporaryDir dir;
    // A name without an extension gets the form's.
    const QString csv = dir.filePath(QStringLiteral("r.csv"));
    viewer.chooseExportFile = [&] {
      return std::make_optional(std::make_pair(dir.filePath(QStringLiteral("r")), 2));
    };
    auto* exportButton = viewer.findChild<QPushButton*>(QStringLiteral("btnExport"));
    QTRY_VERIFY(exportButton->isEnabled());
    exportButton->click();
    QTRY_VERIFY(!viewer.Loading());
    kvitor::TMemoryStream expected;
    kvitor::TReportExport(kReport.toStdString()).Write(kvitor::TExportForm::Csv, expected);
    QFile written(csv);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll().toStdString(), expected.Data());
    QVERIFY(errors.isEmpty());
  }

  void mainWindowOpensTheViewerBelowItsButtons() {
    QDir(qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/kvitor")).removeRecursively();
    kvitor::TfmMain main;
    main.chooseReportFile = [] { return kReport; };
    main.show();
    auto* open = main.findChild<QPushButton*>(QStringLiteral("btnOpenReport"));
    auto* driver = main.findChild<QPushButton*>(QStringLiteral("btnDriver"));
    auto* about = main.findChild<QPushButton*>(QStringLiteral("btnAbout"));
    QVERIFY(open != nullptr);
    QCOMPARE(main.width(), 528);
    QVERIFY(open->geometry().top() > driver->geometry().bottom());
    QVERIFY(open->geometry().bottom() < about->geometry().top());
    open->click();
    auto* viewer = main.findChild<TfmReportViewer*>();
    QVERIFY(viewer != nullptr);
    QVERIFY(viewer->isWindow());
    QTRY_VERIFY(!viewer->Loading());
    // Esc closes it, and the report joins the recent ones.
    const QPointer<TfmReportViewer> opened(viewer);
    QTest::keyClick(viewer, Qt::Key_Escape);
    QTRY_VERIFY(opened.isNull());
    auto* recent = main.findChild<QPushButton*>(QStringLiteral("btnRecent"));
    QVERIFY(recent->isEnabled());
    QCOMPARE(recent->menu()->actions().size(), 1);
    QCOMPARE(recent->menu()->actions().first()->text(), kReport);

    // A .bin dropped on the window opens in a viewer; anything else is refused.
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/notes.txt"))});
    QDragEnterEvent refused(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&main, &refused);
    QVERIFY(!refused.isAccepted());
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("report.bin"));
    QVERIFY(QFile::copy(kReport, copy));
    data.setUrls({QUrl::fromLocalFile(copy)});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&main, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&main, &drop);
    QVERIFY(main.findChild<TfmReportViewer*>() != nullptr);
  }

  void refusesWhatShowRefuses() {
    QTemporaryDir dir;
    const QString junk = dir.filePath(QStringLiteral("junk.bin"));
    QFile file(junk);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(400, 'x'));
    file.close();
    // Freed on closing, as the main window makes it.
    QPointer<TfmReportViewer> viewer(new TfmReportViewer);
    QStringList errors;
    viewer->showError = [&](const QString& text) { errors << text; };
    viewer->Open(junk);
    viewer->show();
    QTRY_COMPARE(errors.size(), 1);
    QVERIFY(errors[0].contains(junk));
    // Nothing to show: no empty window left behind.
    QTRY_VERIFY(viewer.isNull());
  }
};

QTEST_MAIN(ReportViewerTest)
#include "ReportViewerTest.moc"
