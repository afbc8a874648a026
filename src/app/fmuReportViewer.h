// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "report/ReportView.h"

class QCloseEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeView;

namespace kvitor {

// The documents of a report as a tree: one row per document (its summary),
// below it every tag line, rendered when the row is first expanded. Only the
// documents that the filter keeps are rows.
class TReportModel final : public QAbstractItemModel {
  Q_OBJECT

 public:
  explicit TReportModel(QObject* parent = nullptr) : QAbstractItemModel(parent) {}

  // The view to show (owned), with the documents to keep (all when empty
  // and none filtered).
  void Reset(std::shared_ptr<const TReportView> view, std::vector<int> rows);

  [[nodiscard]] QModelIndex index(int row, int column, const QModelIndex& parent) const override;
  [[nodiscard]] QModelIndex parent(const QModelIndex& child) const override;
  [[nodiscard]] int rowCount(const QModelIndex& parent) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent) const override;
  [[nodiscard]] bool hasChildren(const QModelIndex& parent) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;

 private:
  struct TLines {
    std::vector<TReportView::TLine> Lines;
    std::vector<int> Row;                    // of each line under its parent
    std::vector<std::vector<int>> Children;  // [0] the document's, [i + 1] line i's
  };
  const TLines& LinesOf(int document) const;

  std::shared_ptr<const TReportView> view_;
  std::vector<int> rows_;      // the documents shown, in order
  std::vector<int> rowOfDoc_;  // -1 for a document filtered out
  // The rendered documents; dropped wholesale when many, rendered again on need.
  mutable std::map<int, TLines> cache_;
};

// The report viewer: a binary report file opened on a worker thread, its
// header on top, its documents in a lazy tree with a filter, and an export
// to the text, JSON or CSV form.
class TfmReportViewer final : public QWidget {
  Q_OBJECT

 public:
  explicit TfmReportViewer(QWidget* parent = nullptr);
  ~TfmReportViewer() override;

  // Starts loading fileName; the window shows progress, then the report or
  // the refusal.
  void Open(const QString& fileName);
  [[nodiscard]] bool Loading() const { return worker_.joinable(); }

  // The export dialog, replaceable so that tests can answer it: the file name
  // and the chosen form (0 text, 1 JSON, 2 CSV); nothing when cancelled.
  std::function<std::optional<std::pair<QString, int>>()> chooseExportFile;
  // The standard error message box.
  std::function<void(const QString& text)> showError;

  // What the context menu copies of a row: its value (the text after the
  // tag's name), the line, or its whole document with every line indented.
  [[nodiscard]] static QString ValueOf(const QString& line);
  [[nodiscard]] QString DocumentText(const QModelIndex& index) const;

 private:
  // filtering keeps the filter field usable (and so its focus).
  void StartWork(std::function<void()> work, bool filtering = false);
  void TimerTimer();
  void ApplyFilter();
  void ShowFirstMatch();
  void btnExportClick();
  void ShowContextMenu(const QPoint& at);

  QLabel* lblHeader = nullptr;
  QLineEdit* edFilter = nullptr;
  QPushButton* btnExport = nullptr;
  QTreeView* tvDocuments = nullptr;
  QProgressBar* ProgressBar = nullptr;
  QLabel* lblStatus = nullptr;
  QTimer* Timer = nullptr;
  TReportModel* model_ = nullptr;

  std::shared_ptr<const TReportView> view_;
  QString matched_;  // the filter's text of the rows shown
  // Shared with the worker thread.
  std::thread worker_;
  std::atomic<int> percent_{0};
  std::atomic<bool> cancel_{false};
  std::atomic<bool> done_{false};
  std::mutex lock_;  // guards the four results below
  std::shared_ptr<const TReportView> loaded_;
  std::optional<std::vector<int>> filtered_;
  QString error_;
  QString message_;
};

}  // namespace kvitor
