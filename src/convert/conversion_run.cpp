#include "convert/conversion_run.h"

#include <filesystem>
#include <new>

#include "tape/tape_output.h"

namespace tapedecoder {

namespace {

// The conversion's read step: a fifth of a frame.
constexpr double kReadStep = 0.2;

}  // namespace

std::string OutputPath(const std::string& title, const char* extension) {
  return title + "." + extension;
}

std::string OutputTitle(const std::string& recording, const std::string& outputDir) {
  const std::filesystem::path path(recording);
  const std::filesystem::path folder = outputDir.empty() ? path.parent_path()
                                                         : std::filesystem::path(outputDir);
  const std::filesystem::path stem = path.stem();
  return folder.empty() ? stem.string() : (folder / stem).string();
}

ConversionReport DecodeToFiles(const std::string& title, CWaveSource& source,
                               const DecodeSettings& settings, PulseMeasure measure) {
  ConversionReport report;
  report.tapPath = OutputPath(title, "tap");
  report.txtPath = OutputPath(title, "txt");
  COutputSet outputs;
  const int tap = outputs.Add(report.tapPath);
  const int txt = tap < 0 ? -1 : outputs.Add(report.txtPath);
  auto fail = [&report, &outputs]() {
    report.status = ConversionStatus::CANNOT_WRITE;
    report.output = outputs.Failure();
    return report;
  };
  if (txt < 0) return fail();

  CTapImageWriter image(outputs, tap);
  CListingWriter listing(outputs, txt);
  CBlockTally tally;
  CSinkFan sinks{&listing, &image, &tally};
  try {
    CClassicPulses pulses(source, settings, measure);
    report.largestBuffer = DecodeClassicBlocks(pulses, settings, sinks);
  } catch (const std::bad_alloc&) {
    outputs.Discard();
    report.status = ConversionStatus::NO_MEMORY;
    return report;
  }
  report.blocks = tally.Blocks();
  report.goodBlocks = tally.GoodBlocks();
  report.badBlocks = tally.BadBlocks();
  if (!outputs.Commit()) return fail();
  report.status = ConversionStatus::COMPLETE;
  return report;
}

ConversionReport RunConversion(const DecodeSettings& settings, const std::string& fileName,
                               const std::string& fileTitle) {
  ConversionReport report;
  report.tapPath = OutputPath(fileTitle, "tap");
  report.txtPath = OutputPath(fileTitle, "txt");
  try {
    // The channels are chosen before the recording is loaded; the source
    // and its samples are released before the run returns.
    CWaveSource source;
    source.SetChannels(settings.useLeft ? 1 : 0, settings.useRight ? 1 : 0);
    if (!source.Open(fileName)) {
      report.waveError = source.LastError();
      report.status = report.waveError == WAVE_NO_MEMORY ? ConversionStatus::NO_MEMORY
                                                         : ConversionStatus::CANNOT_OPEN;
      return report;
    }
    // A recording named like one of its outputs (game.tap chosen as a
    // recording) would be replaced by that output and lost.
    for (const std::string& output : {report.tapPath, report.txtPath}) {
      std::error_code error;
      if (std::filesystem::equivalent(fileName, output, error)) {
        report.status = ConversionStatus::CANNOT_WRITE;
        report.output = OutputFailure{OutputFailure::IS_INPUT, output, 0};
        return report;
      }
    }
    source.Rewind();
    source.SetStep(kReadStep);
    return DecodeToFiles(fileTitle, source, settings);
  } catch (const std::bad_alloc&) {
    report.status = ConversionStatus::NO_MEMORY;
    return report;
  }
}

}  // namespace tapedecoder
