// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "app/BaseForm.h"

#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>

namespace kvitor {

void CenterOnScreen(QWidget& window) {
  const QScreen* screen = window.screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect frame = window.frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window.move(frame.topLeft());
}

void FitOnScreen(QWidget& window) {
  const QScreen* screen = window.screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  // The frame's own height is not known before the window is shown: room
  // is left for a title bar.
  const QSize room = screen->availableGeometry().size() - QSize(16, 40);
  const QSize size = window.size();
  if (size.width() > room.width() || size.height() > room.height())
    window.resize(size.boundedTo(room).expandedTo(window.minimumSizeHint()));
}

TBaseForm::TBaseForm(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {}

void TBaseForm::showEvent(QShowEvent* event) {
  // Once: a dialog that the user has moved stays where it was put.
  if (!centred_ && !event->spontaneous()) {
    centred_ = true;
    FitOnScreen(*this);
    CenterOnScreen(*this);
  }
  QDialog::showEvent(event);
}

}  // namespace kvitor
