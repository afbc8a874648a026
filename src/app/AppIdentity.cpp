// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "app/AppIdentity.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace kvitor {

bool SetUpApplication(QApplication& app, const QLocale& locale) {
  QApplication::setApplicationName(QStringLiteral("kvitor"));
  // English is Qt's own language; any other needs its catalogue.
  auto* translator = new QTranslator(&app);
  if (translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QApplication::installTranslator(translator);
    return true;
  }
  delete translator;
  return false;
}

}  // namespace kvitor
