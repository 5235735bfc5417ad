#pragma once
// Conversions between the engines' UTF-16 texts and paths and Qt's QString. Paths go through
// the lossless form, so a name that is not UTF-8 survives a round trip through a widget.
#include <QString>
#include <QVariant>
#include <filesystem>
#include <string>

#include "core/Translation.h"
#include "platform/NoFollow.h"
#include "platform/PathText.h"

namespace brenvik {

inline QString ToQString(std::u16string_view text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}
inline std::u16string ToText(const QString& text) { return text.toStdU16String(); }
// A text for people in the user's language (the source text where no catalogue applies).
inline QString Tr(const QString& text) { return ToQString(Translate(ToText(text))); }
inline QString Tr(std::u16string_view text) { return ToQString(Translate(text)); }

inline QString PathToQString(const std::filesystem::path& path) { return ToQString(PathToText(path)); }
inline std::filesystem::path QStringToPath(const QString& text) { return TextToPath(text.toStdU16String()); }

// A listed file's identity kept in a list row's data, for the action that acts on the row (a page
// may append more of its own after it).
inline QVariant IdentityData(FileIdentity identity) {
  return QVariantList{QVariant::fromValue<qulonglong>(identity.device),
                      QVariant::fromValue<qulonglong>(identity.inode)};
}
inline FileIdentity IdentityFromData(const QVariant& data) {
  const QVariantList parts = data.toList();
  if (parts.size() < 2) return {};
  return {parts[0].toULongLong(), parts[1].toULongLong()};
}

}  // namespace brenvik
