// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <QFile>
#include <QLineEdit>
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

    // The filter keeps the documents that hold the text.
    const std::string wanted = lines.back().Text;
    std::size_t holding = 0;
    for (std::size_t i = 0; i < view->Count(); ++i) {
      const auto shown = view->Lines(i);
      holding +=
          std::any_of(shown.begin(), shown.end(),
                      [&](const auto& l) { return l.Text.find(wanted) != std::string::npos; }) ||
          view->Document(i).Line.find(wanted) != std::string::npos;
    }
    auto* filter = viewer.findChild<QLineEdit*>(QStringLiteral("edFilter"));
    filter->setText(QString::fromStdString(wanted));
    QTest::keyClick(filter, Qt::Key_Return);
    QTRY_COMPARE(tree->model()->rowCount({}), static_cast<int>(holding));
    QVERIFY(holding < view->Count());

    // The export writes what `show --csv` writes.
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("r.csv"));
    viewer.chooseExportFile = [&] { return std::make_optional(std::make_pair(csv, 2)); };
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
    kvitor::TfmMain main;
    main.chooseReportFile = [] { return kReport; };
    main.show();
    auto* open = main.findChild<QPushButton*>(QStringLiteral("btnOpenReport"));
    auto* driver = main.findChild<QPushButton*>(QStringLiteral("btnDriver"));
    auto* about = main.findChild<QPushButton*>(QStringLiteral("btnAbout"));
    QVERIFY(open != nullptr);
    QCOMPARE(main.size(), QSize(528, 303));
    QVERIFY(open->geometry().top() > driver->geometry().bottom());
    QVERIFY(open->geometry().bottom() < about->geometry().top());
    open->click();
    auto* viewer = main.findChild<TfmReportViewer*>();
    QVERIFY(viewer != nullptr);
    QVERIFY(viewer->isWindow());
    QTRY_VERIFY(!viewer->Loading());
  }

  void refusesWhatShowRefuses() {
    QTemporaryDir dir;
    const QString junk = dir.filePath(QStringLiteral("junk.bin"));
    QFile file(junk);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(400, 'x'));
    file.close();
    TfmReportViewer viewer;
    QStringList errors;
    viewer.showError = [&](const QString& text) { errors << text; };
    viewer.Open(junk);
    QTRY_COMPARE(errors.size(), 1);
    QVERIFY(errors[0].contains(junk));
    auto* tree = viewer.findChild<QTreeView*>(QStringLiteral("tvDocuments"));
    QCOMPARE(tree->model()->rowCount({}), 0);
  }
};

QTEST_MAIN(ReportViewerTest)
#include "ReportViewerTest.moc"
