// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// The window during a save of a large report: reads a storage through the
// main window, then saves both files through its Save button and reports the
// longest time the window's event loop went without turning (a 10 ms timer
// on the window's thread; a gap above 100 ms is a window that does not
// answer). For comparison, the same saves made on the window's thread.
//
//   kvitor_bench_window IMAGE.json FOLDER
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <cstdio>
#include <optional>

#include "app/fmuMain.h"
#include "drivers/Torvel.h"
#include "job/MainController.h"

namespace {

// Runs the event loop, as the program does, until done() holds; returns the
// longest gap between two turns of a 10 ms timer meanwhile, in milliseconds.
template <class Done>
qint64 LongestGap(Done done) {
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0;
  qint64 longest = 0;
  QEventLoop loop;
  QTimer probe;
  probe.setInterval(10);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    longest = std::max(longest, now - last);
    last = now;
    if (done()) loop.quit();
  });
  probe.start();
  loop.exec();
  return longest;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kvitor_bench_window IMAGE.json FOLDER\n");
    return 2;
  }
  qputenv("TORVEL_IMAGE", argv[1]);
  QApplication app(argc, argv);
  const kvitor::TDriverThreadScope scope;
  const QString folder = QFile::decodeName(argv[2]);

  kvitor::TfmMain form;
  std::optional<kvitor::TSaveChoice> choice;
  form.chooseSaveFile = [&choice](const QString&, const QString&) { return choice; };
  form.showError = [](const QString& text) {
    std::fprintf(stderr, "error: %s\n", qPrintable(text));
  };
  form.show();

  auto* last = form.findChild<QSpinBox*>(QStringLiteral("seDocNumber2"));
  auto* start = form.findChild<QPushButton*>(QStringLiteral("btnStart"));
  auto* save = form.findChild<QPushButton*>(QStringLiteral("btnSave"));
  LongestGap([&] { return last->value() > 0; });  // the start-up status read
  const int documents = last->value();
  QElapsedTimer job;
  job.start();
  start->click();
  const qint64 jobGap = LongestGap([&] { return save->isEnabled(); });
  std::printf("documents %d: read in %.1f s, longest gap %lld ms\n", documents,
              static_cast<double>(job.elapsed()) / 1000, static_cast<long long>(jobGap));

  for (const auto type : {kvitor::TReportFileType::Binary, kvitor::TReportFileType::Text}) {
    const char* kind = type == kvitor::TReportFileType::Binary ? "bin" : "txt";
    choice =
        kvitor::TSaveChoice{folder + QStringLiteral("/window.") + QString::fromLatin1(kind), type};

    // On the window's own thread first (the window waits for all of it),
    // then through the Save button.
    QElapsedTimer direct;
    direct.start();
    form.Controller().SaveReport(
        QFile::encodeName(folder + QStringLiteral("/direct.") + QString::fromLatin1(kind))
            .toStdString(),
        type);
    const qint64 directTook = direct.elapsed();

    QElapsedTimer saving;
    saving.start();
    save->click();
    const qint64 gap = LongestGap([&] { return !form.Saving(); });
    const qint64 took = saving.elapsed();

    std::printf(
        "save %s: %.2f s on its own thread, longest gap %lld ms; "
        "on the window's thread %.2f s\n",
        kind, static_cast<double>(took) / 1000, static_cast<long long>(gap),
        static_cast<double>(directTook) / 1000);
  }
  return 0;
}
