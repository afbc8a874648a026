// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// The documentation's pictures: the desktop program's window driven through a
// read job, saved as PNG files. Built for `make screenshots`, never installed.
#include <QApplication>
#include <clocale>
#include <cstdio>

#include "app/AppIdentity.h"
#include "app/BaseForm.h"
#include "app/Screenshots.h"
#include "app/TorvelSettingsDialog.h"
#include "app/fmuMain.h"
#include "drivers/Torvel.h"
#include "job/Catalogues.h"
#include "job/FileUtils.h"
#include "tlv/LangUtils.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: kvitor-screenshots FOLDER\n");
    return 2;
  }
  std::setlocale(LC_ALL, "");
  kvitor::InitMessageCatalogues(kvitor::CatalogueParentFolder(kvitor::GetProgramFolder()));
  kvitor::SetUpApplication(app);
  QApplication::setApplicationDisplayName(QString::fromUtf8(kvitor::kApplicationTitle));

  const kvitor::TDriverThreadScope driverScope;
  kvitor::InstallTorvelSettingsHook();
  int result = 0;
  {
    kvitor::TfmMain form;
    form.show();
    kvitor::StartScreenshotRun(form, QString::fromLocal8Bit(argv[1]));
    result = QApplication::exec();
  }
  kvitor::SetSettingsDialogHook({});
  return result;
}
