#include "workbench/texts.h"

#include <algorithm>
#include <cmath>

namespace tapedecoder {

QString BlockKindText(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return Texts::tr("empty");
  if (const auto header = ParseRomHeader(bytes)) return Texts::tr("header %1").arg(HeaderTypeText(header->type));
  return Texts::tr("data, flag %1").arg(bytes[0], 2, 16, QLatin1Char('0'));
}

QString HeaderTypeText(std::uint8_t type) {
  switch (type) {
    case 0: return Texts::tr("program");
    case 1: return Texts::tr("number array");
    case 2: return Texts::tr("character array");
    case 3: return Texts::tr("bytes");
    default: return Texts::tr("type %1").arg(type);
  }
}

QString OriginText(BlockOrigin origin, bool fromCopy, bool slipped) {
  switch (origin) {
    case BlockOrigin::DECODED: return Texts::tr("first reading");
    case BlockOrigin::RETRIED: return Texts::tr("read again another way");
    case BlockOrigin::SYNC_REPAIRED: return Texts::tr("sync assumed");
    case BlockOrigin::VOTED: return Texts::tr("voted across the takes");
    case BlockOrigin::MENDED:
      if (fromCopy && slipped) return Texts::tr("slipped reading mended from the block's copy");
      return fromCopy ? Texts::tr("dropout mended from the block's copy")
                      : Texts::tr("dropout mended from the checksum");
  }
  return QString();
}

QString TimeText(double seconds) {
  const long long ms = std::llround(std::max(0.0, seconds) * 1000.0);
  return QStringLiteral("%1:%2.%3")
      .arg(ms / 60000)
      .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
      .arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

}  // namespace tapedecoder
