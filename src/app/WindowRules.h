// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "base/DateTime.h"
#include "drivers/TorvelSettings.h"
#include "report/ReportSave.h"

namespace kvitor {

// A catalogue text as a QString: written Qs(Tr("...")), so that the texts
// are found where Tr stands.
[[nodiscard]] inline QString Qs(const char* utf8) { return QString::fromUtf8(utf8); }

// What the user chose in the save dialog: the file name and the file type,
// and whether the other type is written beside it.
struct TSaveChoice {
  QString FileName;
  TReportFileType FileType = TReportFileType::Binary;
  bool Both = false;
};

// The file a typed name means: its extension .bin or .txt decides the type;
// any other name keeps the type of the chosen filter, and one without an
// extension gets that type's.
[[nodiscard]] TSaveChoice ResolveSaveName(const QString& typed, TReportFileType filterType);
// The name of the same report in the other type: the extension swapped.
[[nodiscard]] QString CompanionName(const QString& fileName, TReportFileType type);
[[nodiscard]] const char* SuffixOf(TReportFileType type);

// The recent list with path in front, once, at most max long.
[[nodiscard]] QStringList WithRecent(const QStringList& list, const QString& path, int max = 8);

// What the window's range check finds wrong with first..last, against the
// storage's last number when known; empty when nothing.
[[nodiscard]] QString RangeProblem(int32_t first, int32_t last, std::optional<int64_t> storageLast);

// Where the driver reads: "порт …", "файл данных …" or "демонстрационный ФН".
[[nodiscard]] QString StorageSourceText(const TTorvelChoice& choice);

// An address that only holds a place (the reserved example domains), or none.
[[nodiscard]] bool IsPlaceholderAddress(const QString& address);

// The window's state kept between sessions, in the user's configuration
// folder (kvitor/kvitor.ini).
class TWindowSettings {
 public:
  [[nodiscard]] static QString SaveFolder();
  [[nodiscard]] static TReportFileType SaveType();
  [[nodiscard]] static bool SaveBoth();
  static void SetSave(const QString& folder, TReportFileType type, bool both);
  [[nodiscard]] static QStringList RecentReports();
  static void AddRecentReport(const QString& path);
  [[nodiscard]] static QByteArray Geometry();
  static void SetGeometry(const QByteArray& geometry);
};

}  // namespace kvitor
