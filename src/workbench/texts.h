// The workbench's words for what the core reports: block kinds, header
// types, verdicts, times. Translated through Qt's translation files.
#ifndef TAPEDECODER_WORKBENCH_TEXTS_H_
#define TAPEDECODER_WORKBENCH_TEXTS_H_

#include <QCoreApplication>
#include <QString>

#include <cstdint>
#include <vector>

#include "tape/tape_block.h"

namespace tapedecoder {

class Texts {
  Q_DECLARE_TR_FUNCTIONS(Texts)
};

// "header", "data, flag ff", ...
QString BlockKindText(const std::vector<std::uint8_t>& bytes);
// "program", "number array", "character array", "bytes"
QString HeaderTypeText(std::uint8_t type);
// `fromCopy`: a mended block's bits came from its copy on the tape;
// `slipped`: where the reading slipped, not in a dropout.
QString OriginText(BlockOrigin origin, bool fromCopy = false, bool slipped = false);
// m:ss.mmm
QString TimeText(double seconds);

}  // namespace tapedecoder

#endif  // TAPEDECODER_WORKBENCH_TEXTS_H_
