// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <QLocale>

class QApplication;

namespace kvitor {

// The application's name, and Qt's own texts (message box buttons, the file
// dialog, its overwrite question) in the language of locale. No display name
// is set: X11 window managers would get it appended to every window title
// ("О программе — Квитор"). Returns whether Qt's catalogue for the language
// was found.
bool SetUpApplication(QApplication& app, const QLocale& locale = QLocale::system());

}  // namespace kvitor
