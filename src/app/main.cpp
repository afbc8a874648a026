#include <QApplication>
#include <clocale>
#include <cstdlib>

#include "AppSetup.h"
#include "BaseForm.h"
#include "FileUtils.h"
#include "LangUtils.h"
#include "Screenshots.h"
#include "Torvel.h"
#include "TorvelSettingsDialog.h"
#include "fmuMain.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // Dates, times and catalogues follow the user's locale in the core too.
  std::setlocale(LC_ALL, "");
  kvitor::InitMessageCatalogues(kvitor::CatalogueParentFolder(kvitor::GetProgramFolder()));
  QApplication::setApplicationName(QStringLiteral("kvitor"));
  QApplication::setApplicationDisplayName(QString::fromUtf8(kvitor::kApplicationTitle));
  QApplication::setDesktopFileName(QStringLiteral("kvitor"));

  const kvitor::TDriverThreadScope driverScope;
  kvitor::InstallTorvelSettingsHook();
  int result = 0;
  {
    kvitor::TfmMain form;
    form.show();
    if (const char* folder = std::getenv("KVITOR_SCREENSHOT_DIR"); folder && *folder) {
      kvitor::StartScreenshotRun(form, QString::fromLocal8Bit(folder));
    }
    result = QApplication::exec();
  }
  kvitor::SetSettingsDialogHook({});
  return result;
}
