// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "app/fmuReportViewer.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/BaseForm.h"
#include "app/WindowRules.h"
#include "base/Error.h"
#include "base/SafeFile.h"
#include "base/Stream.h"
#include "report/FNReportTextWriter.h"
#include "report/ReportExport.h"
#include "tlv/LangUtils.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

constexpr std::size_t kCachedDocuments = 512;

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

quintptr IdOf(int document, int line) {
  return (static_cast<quintptr>(document + 1) << 32) | static_cast<quintptr>(line + 1);
}
int DocumentOf(quintptr id) { return static_cast<int>(id >> 32) - 1; }
int LineOf(quintptr id) { return static_cast<int>(id & 0xFFFFFFFFu) - 1; }
// The slot of a line's children in TLines::Children: 0 for the document's.
std::size_t ChildSlot(int line) { return static_cast<std::size_t>(line) + 1; }

// The document whose summary or a line holds text, in any case.
bool DocumentHolds(const TReportView& view, std::size_t index, const QString& text) {
  const auto holds = [&text](const std::string& line) {
    return QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()))
        .contains(text, Qt::CaseInsensitive);
  };
  if (holds(view.Document(index).Line)) return true;
  for (const auto& line : view.Lines(index)) {
    if (holds(line.Text)) return true;
  }
  return false;
}

// The export form's extension, for a name typed without one.
QString WithExportSuffix(const QString& name, int form) {
  if (!QFileInfo(name).suffix().isEmpty()) return name;
  static const char* const kSuffixes[] = {".txt", ".json", ".csv"};
  return name + QLatin1String(kSuffixes[std::clamp(form, 0, 2)]);
}

}  // namespace

void TReportModel::Reset(std::shared_ptr<const TReportView> view, std::vector<int> rows) {
  beginResetModel();
  view_ = std::move(view);
  rows_ = std::move(rows);
  cache_.clear();
  rowOfDoc_.assign(view_ ? view_->Count() : 0, -1);
  for (std::size_t i = 0; i < rows_.size(); ++i) rowOfDoc_[rows_[i]] = static_cast<int>(i);
  endResetModel();
}

const TReportModel::TLines& TReportModel::LinesOf(int document) const {
  const auto found = cache_.find(document);
  if (found != cache_.end()) return found->second;
  if (cache_.size() >= kCachedDocuments) cache_.clear();
  TLines& lines = cache_[document];
  lines.Lines = view_->Lines(static_cast<std::size_t>(document));
  lines.Row.resize(lines.Lines.size());
  lines.Children.resize(lines.Lines.size() + 1);
  for (std::size_t i = 0; i < lines.Lines.size(); ++i) {
    auto& siblings = lines.Children[ChildSlot(lines.Lines[i].Parent)];
    lines.Row[i] = static_cast<int>(siblings.size());
    siblings.push_back(static_cast<int>(i));
  }
  return lines;
}

QModelIndex TReportModel::index(int row, int column, const QModelIndex& parent) const {
  if (!view_ || column != 0 || row < 0) return {};
  if (!parent.isValid()) {
    if (row >= static_cast<int>(rows_.size())) return {};
    return createIndex(row, 0, IdOf(rows_[static_cast<std::size_t>(row)], -1));
  }
  const int document = DocumentOf(parent.internalId());
  const auto& children = LinesOf(document).Children[ChildSlot(LineOf(parent.internalId()))];
  if (row >= static_cast<int>(children.size())) return {};
  return createIndex(row, 0, IdOf(document, children[static_cast<std::size_t>(row)]));
}

QModelIndex TReportModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  const int document = DocumentOf(child.internalId());
  const int line = LineOf(child.internalId());
  if (line < 0) return {};
  const TLines& lines = LinesOf(document);
  const int up = lines.Lines[static_cast<std::size_t>(line)].Parent;
  if (up < 0)
    return createIndex(rowOfDoc_[static_cast<std::size_t>(document)], 0, IdOf(document, -1));
  return createIndex(lines.Row[static_cast<std::size_t>(up)], 0, IdOf(document, up));
}

int TReportModel::rowCount(const QModelIndex& parent) const {
  if (!view_) return 0;
  if (!parent.isValid()) return static_cast<int>(rows_.size());
  if (parent.column() != 0) return 0;
  const auto& children =
      LinesOf(DocumentOf(parent.internalId())).Children[ChildSlot(LineOf(parent.internalId()))];
  return static_cast<int>(children.size());
}

int TReportModel::columnCount(const QModelIndex&) const { return 1; }

bool TReportModel::hasChildren(const QModelIndex& parent) const {
  if (!parent.isValid()) return !rows_.empty();
  // A document's row offers its lines without rendering them.
  if (LineOf(parent.internalId()) < 0)
    return view_->Document(static_cast<std::size_t>(DocumentOf(parent.internalId()))).Size > 4;
  return rowCount(parent) > 0;
}

QVariant TReportModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || role != Qt::DisplayRole) return {};
  const int document = DocumentOf(index.internalId());
  const int line = LineOf(index.internalId());
  if (line < 0) return FromUtf8(view_->Document(static_cast<std::size_t>(document)).Line);
  return FromUtf8(LinesOf(document).Lines[static_cast<std::size_t>(line)].Text);
}

TfmReportViewer::TfmReportViewer(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("fmReportViewer"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(Qs(Tr("Отчет о считывании ФД")));
  showError = [this](const QString& text) {
    QMessageBox::critical(this, QString::fromUtf8(kApplicationTitle), text);
  };
  chooseExportFile = [this]() -> std::optional<std::pair<QString, int>> {
    const QStringList filters = {Qs(Tr("Текстовый отчет (*.txt)")), QStringLiteral("JSON (*.json)"),
                                 QStringLiteral("CSV (*.csv)")};
    QString chosen;
    const QString name = QFileDialog::getSaveFileName(this, Qs(Tr("Экспорт")), QString(),
                                                      filters.join(QStringLiteral(";;")), &chosen);
    if (name.isEmpty()) return std::nullopt;
    return std::make_pair(name, static_cast<int>(std::max<qsizetype>(filters.indexOf(chosen), 0)));
  };

  lblHeader = new QLabel(this);
  lblHeader->setObjectName(QStringLiteral("lblHeader"));
  lblHeader->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // The header's labels are padded to one width: they line up in a fixed font.
  lblHeader->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  edFilter = new QLineEdit(this);
  edFilter->setObjectName(QStringLiteral("edFilter"));
  edFilter->setPlaceholderText(Qs(Tr("Фильтр (Enter — найти)")));
  edFilter->setClearButtonEnabled(true);
  btnExport = new QPushButton(Qs(Tr("&Экспорт...")), this);
  btnExport->setObjectName(QStringLiteral("btnExport"));
  tvDocuments = new QTreeView(this);
  tvDocuments->setObjectName(QStringLiteral("tvDocuments"));
  tvDocuments->setHeaderHidden(true);
  tvDocuments->setUniformRowHeights(true);
  tvDocuments->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(tvDocuments, &QTreeView::customContextMenuRequested, this,
          &TfmReportViewer::ShowContextMenu);
  model_ = new TReportModel(this);
  tvDocuments->setModel(model_);
  ProgressBar = new QProgressBar(this);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setRange(0, 100);
  lblStatus = new QLabel(this);
  lblStatus->setObjectName(QStringLiteral("lblStatus"));
  lblStatus->setWordWrap(true);

  auto* tools = new QHBoxLayout;
  tools->addWidget(edFilter, 1);
  tools->addWidget(btnExport);
  auto* status = new QHBoxLayout;
  status->addWidget(lblStatus, 1);
  status->addWidget(ProgressBar);
  auto* root = new QVBoxLayout(this);
  root->addWidget(lblHeader);
  root->addLayout(tools);
  root->addWidget(tvDocuments, 1);
  root->addLayout(status);

  Timer = new QTimer(this);
  Timer->setInterval(100);
  connect(Timer, &QTimer::timeout, this, &TfmReportViewer::TimerTimer);
  connect(edFilter, &QLineEdit::returnPressed, this, &TfmReportViewer::ApplyFilter);
  connect(btnExport, &QPushButton::clicked, this, &TfmReportViewer::btnExportClick);
  for (const QKeySequence& key :
       {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
    connect(new QShortcut(key, this), &QShortcut::activated, this, &QWidget::close);
  }
  btnExport->setEnabled(false);
  edFilter->setEnabled(false);
  // Within the screen, however large its scale makes the text.
  resize(760, 560);
  FitOnScreen(*this);
}

TfmReportViewer::~TfmReportViewer() {
  cancel_ = true;
  if (worker_.joinable()) worker_.join();
}

void TfmReportViewer::StartWork(std::function<void()> work, bool filtering) {
  if (worker_.joinable()) worker_.join();
  percent_ = 0;
  cancel_ = false;
  done_ = false;
  ProgressBar->setValue(0);
  ProgressBar->show();
  if (!filtering) edFilter->setEnabled(false);
  btnExport->setEnabled(false);
  worker_ = std::thread([this, work = std::move(work)] {
    try {
      work();
    } catch (const std::exception& e) {
      const std::lock_guard<std::mutex> guard(lock_);
      error_ = QString::fromUtf8(e.what());
    }
    done_ = true;
  });
  Timer->start();
}

void TfmReportViewer::Open(const QString& fileName) {
  setWindowTitle(Qs(Tr("Отчет о считывании ФД — %1")).arg(QFileInfo(fileName).fileName()));
  lblStatus->setText(Qs(Tr("Загрузка...")));
  const std::string name = QFile::encodeName(fileName).toStdString();
  StartWork([this, name] {
    std::shared_ptr<const TReportView> view = TReportView::Load(name, &percent_, &cancel_);
    const std::lock_guard<std::mutex> guard(lock_);
    loaded_ = std::move(view);
  });
}

void TfmReportViewer::ApplyFilter() {
  if (!view_ || Loading()) return;
  const QString text = edFilter->text().trimmed();
  const std::shared_ptr<const TReportView> view = view_;
  lblStatus->setText(Qs(Tr("Поиск...")));
  matched_ = text;
  StartWork(
      [this, view, text] {
        std::vector<int> rows;
        const std::size_t count = view->Count();
        for (std::size_t i = 0; i < count && !cancel_; ++i) {
          if (text.isEmpty() || DocumentHolds(*view, i, text)) rows.push_back(static_cast<int>(i));
          if (i % 1024 == 0) percent_ = static_cast<int>(i * 100 / count);
        }
        const std::lock_guard<std::mutex> guard(lock_);
        filtered_ = std::move(rows);
      },
      true);
}

void TfmReportViewer::ShowFirstMatch() {
  if (matched_.isEmpty() || model_->rowCount({}) == 0) return;
  // The first line that holds the text, in the first document kept.
  QModelIndex found = model_->index(0, 0, {});
  std::vector<QModelIndex> pending{found};
  while (!pending.empty()) {
    const QModelIndex at = pending.back();
    pending.pop_back();
    if (at.data().toString().contains(matched_, Qt::CaseInsensitive)) {
      found = at;
      break;
    }
    for (int row = model_->rowCount(at) - 1; row >= 0; --row) {
      pending.push_back(model_->index(row, 0, at));
    }
  }
  for (QModelIndex up = found.parent(); up.isValid(); up = up.parent()) tvDocuments->expand(up);
  tvDocuments->setCurrentIndex(found);
  tvDocuments->scrollTo(found, QAbstractItemView::PositionAtCenter);
}

QString TfmReportViewer::ValueOf(const QString& line) {
  const qsizetype colon = line.indexOf(QLatin1Char(':'));
  return colon < 0 ? line.trimmed() : line.mid(colon + 1).trimmed();
}

QString TfmReportViewer::DocumentText(const QModelIndex& index) const {
  QModelIndex document = index;
  while (document.parent().isValid()) document = document.parent();
  QStringList lines{document.data().toString()};
  // Depth first, each line indented by its depth as in the text report.
  std::vector<std::pair<QModelIndex, int>> pending;
  for (int row = model_->rowCount(document) - 1; row >= 0; --row) {
    pending.emplace_back(model_->index(row, 0, document), 1);
  }
  while (!pending.empty()) {
    const auto [at, depth] = pending.back();
    pending.pop_back();
    lines << QString(qsizetype{2} * depth, QLatin1Char(' ')) + at.data().toString();
    for (int row = model_->rowCount(at) - 1; row >= 0; --row) {
      pending.emplace_back(model_->index(row, 0, at), depth + 1);
    }
  }
  return lines.join(QLatin1Char('\n'));
}

void TfmReportViewer::ShowContextMenu(const QPoint& at) {
  const QModelIndex index = tvDocuments->indexAt(at);
  if (!index.isValid()) return;
  const QString line = index.data().toString();
  QMenu menu(this);
  const auto copy = [](const QString& text) { QGuiApplication::clipboard()->setText(text); };
  connect(menu.addAction(Qs(Tr("Копировать значение"))), &QAction::triggered, this,
          [line, copy] { copy(ValueOf(line)); });
  connect(menu.addAction(Qs(Tr("Копировать строку"))), &QAction::triggered, this,
          [line, copy] { copy(line); });
  connect(menu.addAction(Qs(Tr("Копировать документ"))), &QAction::triggered, this,
          [this, index, copy] { copy(DocumentText(index)); });
  menu.exec(tvDocuments->viewport()->mapToGlobal(at));
}

void TfmReportViewer::TimerTimer() {
  ProgressBar->setValue(percent_);
  if (!done_) return;
  Timer->stop();
  worker_.join();
  ProgressBar->hide();
  ProgressBar->setRange(0, 100);
  std::shared_ptr<const TReportView> loaded;
  std::optional<std::vector<int>> filtered;
  QString error;
  QString message;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    message = std::move(message_);
    message_.clear();
    loaded = std::move(loaded_);
    loaded_.reset();
    filtered = std::move(filtered_);
    filtered_.reset();
    error = std::move(error_);
    error_.clear();
  }
  if (!error.isEmpty()) {
    lblStatus->setText(error);
    if (view_) {
      edFilter->setEnabled(true);
      btnExport->setEnabled(true);
    }
    showError(error);
    // A report that did not open leaves no empty window behind.
    if (!view_) close();
    return;
  }
  if (loaded) {
    view_ = std::move(loaded);
    QStringList header;
    const auto lines = ReportHeaderLines(view_->Header());
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) header << FromUtf8(Cp1251ToUtf8(lines[i]));
    lblHeader->setText(header.join(QLatin1Char('\n')));
    std::vector<int> all(view_->Count());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
    model_->Reset(view_, std::move(all));
  } else if (filtered) {
    model_->Reset(view_, std::move(*filtered));
    ShowFirstMatch();
  }
  if (!message.isEmpty()) {
    lblStatus->setText(message);
    edFilter->setEnabled(true);
    btnExport->setEnabled(true);
    return;
  }
  lblStatus->setText(Qs(Tr("Документов: %1 из %2"))
                         .arg(model_->rowCount({}))
                         .arg(view_ ? static_cast<qulonglong>(view_->Count()) : 0));
  edFilter->setEnabled(true);
  btnExport->setEnabled(true);
}

void TfmReportViewer::btnExportClick() {
  if (!view_) return;
  const auto choice = chooseExportFile();
  if (!choice) return;
  static constexpr TExportForm kForms[] = {TExportForm::Text, TExportForm::Json, TExportForm::Csv};
  const TExportForm form = kForms[std::clamp(choice->second, 0, 2)];
  const std::string source = view_->FileName();
  const QString target = WithExportSuffix(choice->first, choice->second);
  lblStatus->setText(Qs(Tr("Экспорт...")));
  ProgressBar->setRange(0, 0);  // busy: the export does not count its way
  // On the worker: a large report's JSON is a gigabyte.
  StartWork([this, source, target, form] {
    const TReportExport report(source);
    TSafeFileWriter file(QFile::encodeName(target).toStdString());
    report.Write(form, file.Stream());
    file.Commit();
    const std::lock_guard<std::mutex> guard(lock_);
    message_ = Qs(Tr("Сохранено: %1")).arg(QDir::toNativeSeparators(target));
  });
}

}  // namespace kvitor
