// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <QLabel>
#include <QStringList>
#include <functional>

#include "app/BaseForm.h"

class QKeyEvent;
class QListWidget;
class QMouseEvent;
class QPushButton;
class QUrl;

namespace kvitor {

// A label that acts as a link: blue, underlined, a hand cursor, and a click
// anywhere on it runs OnClick.
class TLinkLabel : public QLabel {
  Q_OBJECT

 public:
  explicit TLinkLabel(const QString& text, QWidget* parent);

  std::function<void()> OnClick;

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// The about window: the program's title, information lines and the maker's
// contact data with a web link and a support mail link.
class TfmAbout : public TBaseForm {
  Q_OBJECT

 public:
  explicit TfmAbout(QWidget* owner = nullptr);

  void SetTitle(const QString& title);
  void AddLines(const QStringList& lines);
  // The maker's site and support mail; a row whose address only holds a
  // place (an example domain, or none) is not shown.
  void SetLinks(const QString& url, const QString& mail);

  // Opens a link; replaceable for tests. The default asks the desktop, and
  // a failure to open is ignored.
  std::function<void(const QUrl& url)> openUrl;

 protected:
  // Escape answers like the OK button, which is also the cancel button.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void lblURLClick() const;
  void lblSupportMailClick() const;

  QLabel* NameLabel;
  QListWidget* lbVersion;
  TLinkLabel* lblURL;
  TLinkLabel* lblSupportMail;
  QLabel* lblURLCaption;
  QLabel* lblSupportMailCaption;
  QPushButton* btnOK;
  QString url_;
  QString mail_;
};

// Opens the about window modally over owner with the title and the lines.
void ShowAbout(QWidget* owner, const QString& title, const QStringList& lines);

}  // namespace kvitor
