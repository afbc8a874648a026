// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <QDialog>

class QShowEvent;

namespace kvitor {

// The application title: the main window's caption and the caption of its
// message boxes.
inline constexpr const char* kApplicationTitle = "Квитор";

// Moves a top-level window to the middle of the screen it is on (the primary
// screen for a window not shown yet).
void CenterOnScreen(QWidget& window);
// Shrinks a top-level window that is larger than its screen's free area (a
// large scale on a small screen) to fit it, as far as its minimum allows.
void FitOnScreen(QWidget& window);

// The base of the program's dialogs: a dialog border with a system menu and a
// close box only, opened centred on the screen rather than over its owner.
class TBaseForm : public QDialog {
  Q_OBJECT

 public:
  explicit TBaseForm(QWidget* owner = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  bool centred_ = false;
};

}  // namespace kvitor
