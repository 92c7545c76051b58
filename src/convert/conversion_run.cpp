#include "convert/conversion_run.h"

#include <filesystem>
#include <new>

#include "audio/wave_source.h"
#include "tape/block_decoder.h"

namespace tapedecoder {

const char* const MESSAGE_CANNOT_OPEN =
    "Не могу открыть этот файл.\n"
    "Проверьте, не заблокирован ли он сторонней программой\n"
    "или его параметры не соответствуют 'не сжатый/44100/8/моно(стерео)'";
const char* const MESSAGE_CANNOT_CREATE = "Не могу создать tap-файл/txt-файл данных!";
const char* const MESSAGE_NO_MEMORY = "Недостаточно памяти для обработки этого файла!";
const char* const MESSAGE_COMPLETE = "Создание tap-файла и txt-файла данных завершено.";

namespace {

// The conversion's read step: a fifth of a frame.
constexpr double kReadStep = 0.2;

UserMessage Error(const char* text) { return UserMessage{text, CAPTION_ERROR}; }

UserMessage Convert(const DecodeSettings& settings, const std::string& fileName,
                    const std::string& fileTitle, ConversionReport& report) {
  // The channels are chosen before the recording is loaded.
  CWaveSource source;
  source.SetChannels(settings.useLeft ? 1 : 0, settings.useRight ? 1 : 0);
  if (!source.Open(fileName)) {
    report.detail = DescribeWaveError(source.LastError());
    return Error(source.LastError() == WAVE_NO_MEMORY ? MESSAGE_NO_MEMORY
                                                      : MESSAGE_CANNOT_OPEN);
  }
  report.opened = true;
  // A recording named like one of its outputs (game.tap chosen as a
  // recording) would be replaced by that output and lost.
  for (const std::string& output : {report.tapPath, report.txtPath}) {
    std::error_code error;
    if (std::filesystem::equivalent(fileName, output, error)) {
      report.detail = output + " is the recording itself";
      return Error(MESSAGE_CANNOT_CREATE);
    }
  }
  source.Rewind();
  source.SetStep(kReadStep);

  DecodeReport decoded;
  const bool ok = DecodeToFiles(fileTitle, source, settings, &decoded);
  report.detail = decoded.detail;
  if (!ok) {
    return Error(decoded.failure == DECODE_NO_MEMORY ? MESSAGE_NO_MEMORY
                                                     : MESSAGE_CANNOT_CREATE);
  }
  report.written = true;
  report.blocks = decoded.blocks;
  report.goodBlocks = decoded.goodBlocks;
  report.badBlocks = decoded.badBlocks;
  return UserMessage{MESSAGE_COMPLETE, CAPTION_MESSAGE};
}

}  // namespace

UserMessage RunConversion(const DecodeSettings& settings, const std::string& fileName,
                          const std::string& fileTitle, ConversionReport* report) {
  ConversionReport local;
  ConversionReport& result = report != nullptr ? *report : local;
  result = ConversionReport();
  try {
    result.tapPath = fileTitle + ".tap";
    result.txtPath = fileTitle + ".txt";
    // The source and its samples are released before the message returns.
    return Convert(settings, fileName, fileTitle, result);
  } catch (const std::bad_alloc&) {
    result.written = false;
    result.detail = "out of memory";
    return Error(MESSAGE_NO_MEMORY);
  }
}

}  // namespace tapedecoder
