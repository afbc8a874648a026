// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "app/WindowRules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>
#include <cmath>

#include "tlv/LangUtils.h"

namespace kvitor {
namespace {

QSettings Store() {
  return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("kvitor"),
                   QStringLiteral("kvitor"));
}

QString PathText(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

}  // namespace

const char* SuffixOf(TReportFileType type) { return type == TReportFileType::Text ? "txt" : "bin"; }

TSaveChoice ResolveSaveName(const QString& typed, TReportFileType filterType) {
  const QString suffix = QFileInfo(typed).suffix().toLower();
  if (suffix == QLatin1String("txt")) return {typed, TReportFileType::Text};
  if (suffix == QLatin1String("bin")) return {typed, TReportFileType::Binary};
  if (!suffix.isEmpty()) return {typed, filterType};
  QString name = typed;
  if (!name.endsWith(QLatin1Char('.'))) name += QLatin1Char('.');
  return {name + QLatin1String(SuffixOf(filterType)), filterType};
}

QString CompanionName(const QString& fileName, TReportFileType type) {
  const TReportFileType other =
      type == TReportFileType::Text ? TReportFileType::Binary : TReportFileType::Text;
  const QFileInfo info(fileName);
  const QString base = info.suffix().isEmpty()
                           ? fileName
                           : fileName.left(fileName.size() - info.suffix().size() - 1);
  return base + QLatin1Char('.') + QLatin1String(SuffixOf(other));
}

QStringList WithRecent(const QStringList& list, const QString& path, int max) {
  QStringList result{path};
  for (const QString& item : list) {
    if (result.size() >= max) break;
    if (item != path) result << item;
  }
  return result;
}

QString RangeProblem(int32_t first, int32_t last, std::optional<int64_t> storageLast) {
  if (first < 1) return Qs(Tr("Номер первого документа должен быть не меньше 1"));
  if (last < 1) return Qs(Tr("Номер последнего документа должен быть не меньше 1"));
  if (first > last) {
    return Qs(Tr("Номер первого документа должен быть не больше номера последнего документа"));
  }
  if (storageLast && last > *storageLast) {
    return Qs(Tr("Номер последнего документа должен быть не больше %1: столько документов в ФН"))
        .arg(*storageLast);
  }
  return {};
}

QString StorageSourceText(const TTorvelChoice& choice) {
  if (choice.Connection == TTorvelConnection::Serial) {
    return Qs(Tr("порт %1")).arg(PathText(choice.Port));
  }
  if (choice.Image.empty()) return Qs(Tr("демонстрационный ФН"));
  return Qs(Tr("файл данных %1")).arg(PathText(choice.Image));
}

bool IsPlaceholderAddress(const QString& address) {
  QString host = address.trimmed();
  if (host.isEmpty()) return true;
  host = host.contains(QLatin1Char('@')) ? host.section(QLatin1Char('@'), -1)
                                         : QUrl::fromUserInput(host).host();
  host = host.toLower();
  for (const char* reserved : {"example.org", "example.com", "example.net", "example"}) {
    const QString name = QLatin1String(reserved);
    if (host == name || host.endsWith(QLatin1Char('.') + name)) return true;
  }
  return false;
}

QString TWindowSettings::SaveFolder() {
  return Store().value(QStringLiteral("save/folder")).toString();
}

TReportFileType TWindowSettings::SaveType() {
  return Store().value(QStringLiteral("save/type")).toString() == QLatin1String("txt")
             ? TReportFileType::Text
             : TReportFileType::Binary;
}

bool TWindowSettings::SaveBoth() { return Store().value(QStringLiteral("save/both")).toBool(); }

void TWindowSettings::SetSave(const QString& folder, TReportFileType type, bool both) {
  QSettings store = Store();
  store.setValue(QStringLiteral("save/folder"), folder);
  store.setValue(QStringLiteral("save/type"), QLatin1String(SuffixOf(type)));
  store.setValue(QStringLiteral("save/both"), both);
}

QStringList TWindowSettings::RecentReports() {
  return Store().value(QStringLiteral("recent/reports")).toStringList();
}

void TWindowSettings::AddRecentReport(const QString& path) {
  Store().setValue(QStringLiteral("recent/reports"),
                   WithRecent(RecentReports(), QFileInfo(path).absoluteFilePath()));
}

QByteArray TWindowSettings::Geometry() {
  return Store().value(QStringLiteral("window/geometry")).toByteArray();
}

void TWindowSettings::SetGeometry(const QByteArray& geometry) {
  Store().setValue(QStringLiteral("window/geometry"), geometry);
}

}  // namespace kvitor
