// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "app/fmuAbout.h"

#include <QDesktopServices>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

#include "KvitorMakerInfo.h"
#include "app/WindowRules.h"
#include "tlv/LangUtils.h"

namespace kvitor {

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setTextFormat(Qt::PlainText);
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, QColor(0, 0, 255));
  setPalette(pal);
  setCursor(Qt::PointingHandCursor);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
      OnClick) {
    OnClick();
  }
}

namespace {

QLabel* NewLabel(const QString& text, const char* name, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

TfmAbout::TfmAbout(QWidget* owner)
    : TBaseForm(owner), openUrl([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
  setObjectName(QStringLiteral("fmAbout"));
  setWindowTitle(Qs(Tr("О программе")));

  // The decorative band on the left with the program's image.
  auto* shape = new QFrame(this);
  shape->setObjectName(QStringLiteral("shpDecor"));
  shape->setFixedWidth(40);
  shape->setAutoFillBackground(true);
  QPalette bandPalette = shape->palette();
  bandPalette.setColor(QPalette::Window, QColor(0, 0, 128));
  shape->setPalette(bandPalette);
  auto* image = new QLabel(shape);
  image->setObjectName(QStringLiteral("imgLogo"));
  image->setPixmap(QIcon::fromTheme(QStringLiteral("kvitor"),
                                    style()->standardIcon(QStyle::SP_FileDialogContentsView))
                       .pixmap(32, 32));
  auto* bandLayout = new QVBoxLayout(shape);
  bandLayout->setContentsMargins(4, 8, 4, 8);
  bandLayout->addWidget(image, 0, Qt::AlignHCenter | Qt::AlignTop);
  bandLayout->addStretch();

  NameLabel = NewLabel(Qs(Tr("Название программы")), "NameLabel", this);
  QFont nameFont = NameLabel->font();
  nameFont.setBold(true);
  nameFont.setPointSizeF(nameFont.pointSizeF() * 1.3);
  NameLabel->setFont(nameFont);

  auto* makerBox = new QFrame(this);
  makerBox->setObjectName(QStringLiteral("MakerBox"));
  makerBox->setFrameShape(QFrame::StyledPanel);
  makerBox->setFrameShadow(QFrame::Sunken);
  auto* makerLayout = new QVBoxLayout(makerBox);
  makerLayout->setContentsMargins(6, 4, 6, 4);
  makerLayout->setSpacing(1);
  auto* makerName = NewLabel(QString::fromUtf8(kMakerName), "lblMakerName", makerBox);
  QFont makerFont = makerName->font();
  makerFont.setBold(true);
  makerName->setFont(makerFont);
  makerLayout->addWidget(makerName);
  const QStringList address = QString::fromUtf8(kMakerAddress).split(QLatin1Char('|'));
  if (!address.join(QString()).trimmed().isEmpty()) {
    makerLayout->addWidget(NewLabel(address.join(QLatin1Char('\n')), "lblMakerAddress", makerBox));
  }

  lbVersion = new QListWidget(this);
  lbVersion->setObjectName(QStringLiteral("lbVersion"));
  lbVersion->setFocusPolicy(Qt::NoFocus);
  QPalette listPalette = lbVersion->palette();
  listPalette.setColor(QPalette::Base, Qt::white);
  listPalette.setColor(QPalette::Text, Qt::black);
  lbVersion->setPalette(listPalette);
  lbVersion->setMinimumHeight(30);

  lblURL = new TLinkLabel(QString(), this);
  lblURL->setObjectName(QStringLiteral("lblURL"));
  lblURL->OnClick = [this] { lblURLClick(); };
  lblSupportMail = new TLinkLabel(QString(), this);
  lblSupportMail->setObjectName(QStringLiteral("lblSupportMail"));
  lblSupportMail->OnClick = [this] { lblSupportMailClick(); };
  lblURLCaption = NewLabel(Qs(Tr("Наш Web-сайт:")), "lblURLCaption", this);
  lblSupportMailCaption = NewLabel(Qs(Tr("Тех. поддержка:")), "lblSupportMailCaption", this);

  btnOK = new QPushButton(QStringLiteral("OK"), this);
  btnOK->setObjectName(QStringLiteral("btnOK"));
  btnOK->setDefault(true);
  btnOK->setAutoDefault(true);
  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);

  auto* links = new QGridLayout;
  links->setHorizontalSpacing(4);
  links->setVerticalSpacing(2);
  links->addWidget(lblURLCaption, 0, 0);
  links->addWidget(lblURL, 0, 1);
  links->addWidget(lblSupportMailCaption, 1, 0);
  links->addWidget(lblSupportMail, 1, 1);
  links->setColumnStretch(1, 1);

  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(btnOK);

  auto* content = new QVBoxLayout;
  content->setContentsMargins(6, 6, 6, 6);
  content->setSpacing(6);
  content->addWidget(NameLabel);
  content->addWidget(makerBox);
  content->addWidget(lbVersion, 1);
  content->addLayout(links);
  content->addLayout(bottom);

  auto* root = new QHBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);
  root->addWidget(shape);
  root->addLayout(content, 1);

  SetLinks(QString::fromUtf8(kMakerUrl), QString::fromUtf8(kSupportMail));
  setMinimumSize(335, 232);
  resize(335, 232);
}

void TfmAbout::SetLinks(const QString& url, const QString& mail) {
  url_ = url;
  mail_ = mail;
  lblURL->setText(url);
  lblURL->setToolTip(url);
  lblSupportMail->setText(mail);
  lblSupportMail->setToolTip(mail);
  for (QWidget* part : {static_cast<QWidget*>(lblURL), static_cast<QWidget*>(lblURLCaption)}) {
    part->setVisible(!IsPlaceholderAddress(url));
  }
  for (QWidget* part :
       {static_cast<QWidget*>(lblSupportMail), static_cast<QWidget*>(lblSupportMailCaption)}) {
    part->setVisible(!IsPlaceholderAddress(mail));
  }
}

void TfmAbout::SetTitle(const QString& title) { NameLabel->setText(title); }

void TfmAbout::AddLines(const QStringList& lines) { lbVersion->addItems(lines); }

void TfmAbout::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    btnOK->click();
    return;
  }
  TBaseForm::keyPressEvent(event);
}

void TfmAbout::lblURLClick() const {
  if (openUrl) openUrl(QUrl(url_));
}

void TfmAbout::lblSupportMailClick() const {
  if (openUrl) openUrl(QUrl(QStringLiteral("mailto:") + mail_));
}

void ShowAbout(QWidget* owner, const QString& title, const QStringList& lines) {
  TfmAbout form(owner);
  form.SetTitle(title);
  form.AddLines(lines);
  form.exec();
}

}  // namespace kvitor
