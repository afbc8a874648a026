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

TBaseForm::TBaseForm(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {}

void TBaseForm::showEvent(QShowEvent* event) {
  // Once: a dialog that the user has moved stays where it was put.
  if (!centred_ && !event->spontaneous()) {
    centred_ = true;
    CenterOnScreen(*this);
  }
  QDialog::showEvent(event);
}

}  // namespace kvitor
