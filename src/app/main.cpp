// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <QApplication>
#include <clocale>

#include "app/AppIdentity.h"
#include "app/BaseForm.h"
#include "app/TorvelSettingsDialog.h"
#include "app/fmuMain.h"
#include "drivers/Torvel.h"
#include "job/Catalogues.h"
#include "job/FileUtils.h"
#include "tlv/LangUtils.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // Dates, times and catalogues follow the user's locale in the core too.
  std::setlocale(LC_ALL, "");
  kvitor::InitMessageCatalogues(kvitor::CatalogueParentFolder(kvitor::GetProgramFolder()));
  kvitor::SetUpApplication(app);
  QApplication::setDesktopFileName(QStringLiteral(KVITOR_APP_ID));

  const kvitor::TDriverThreadScope driverScope;
  kvitor::InstallTorvelSettingsHook();
  int result = 0;
  {
    kvitor::TfmMain form;
    form.show();
    result = QApplication::exec();
  }
  kvitor::SetSettingsDialogHook({});
  return result;
}
