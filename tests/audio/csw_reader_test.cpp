// Reading CSW pulse files from memory: the pulses and levels of valid files
// of both versions and compressions, the rendered square wave, and damaged
// files stopping with the right fault.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "audio/csw_bytes.h"
#include "audio/csw_reader.h"

namespace {

using namespace tapedecoder;
using testing_support::Bytes;
using testing_support::CswRle;
using testing_support::CswV1;
using testing_support::CswV2;
using testing_support::Deflate;

struct Parsed {
  bool opened = false;
  CswHeader header;
  std::vector<std::uint32_t> pulses;
  std::vector<bool> levels;
  FailureKind failure = FailureKind::NONE;
};

Parsed Parse(const Bytes& file) {
  CMemoryByteSource source(file.data(), file.size());
  CCswReader reader(source);
  Parsed out;
  out.opened = reader.Open();
  out.header = reader.Header();
  CswPulse pulse;
  while (out.opened && reader.Next(pulse)) {
    out.pulses.push_back(pulse.samples);
    out.levels.push_back(pulse.high);
  }
  out.failure = reader.Failure();
  return out;
}

Bytes Head(const Bytes& bytes, std::size_t size) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

// Pulses with every encoding: short, the longest one-byte, the shortest
// four-byte one, and a long pause.
const std::vector<std::uint32_t> PULSES = {27, 27, 8, 9, 10, 21, 255, 256, 1, 441000};

TEST(CswReader, ValidFilesYieldTheirPulsesWithAlternatingLevels) {
  const Bytes rle = CswRle(PULSES);
  struct Row {
    const char* name;
    Bytes file;
    std::uint32_t rate;
    bool firstHigh;
  } rows[] = {
      {"v1.01 RLE", CswV1(44100, false, rle), 44100, false},
      {"v1.01 RLE, first high", CswV1(22050, true, rle), 22050, true},
      {"v2 RLE", CswV2(48000, 1, true, rle, 10), 48000, true},
      {"v2 Z-RLE", CswV2(44100, 2, false, Deflate(rle), 10), 44100, false},
      {"v2 Z-RLE with extension", CswV2(3500000, 2, true, Deflate(rle), 0, Bytes(200, 0xAA)), 3500000, true},
      {"v2 Z-RLE, bytes after the stream", CswV2(44100, 2, false, Deflate(rle) + Bytes{1, 2, 3}), 44100, false},
  };
  for (const Row& row : rows) {
    const Parsed p = Parse(row.file);
    ASSERT_TRUE(p.opened) << row.name;
    EXPECT_EQ(p.failure, FailureKind::NONE) << row.name;
    EXPECT_EQ(p.header.rate, row.rate) << row.name;
    EXPECT_EQ(p.pulses, PULSES) << row.name;
    for (std::size_t i = 0; i < p.levels.size(); ++i)
      EXPECT_EQ(p.levels[i], row.firstHigh == (i % 2 == 0)) << row.name << " pulse " << i;
  }
}

TEST(CswReader, LongZrleStreamsInflateAcrossBufferRefills) {
  std::vector<std::uint32_t> pulses;
  for (std::uint32_t i = 0; i < 200000; ++i) pulses.push_back(i % 7 == 0 ? 1000 + i : 1 + i % 250);
  const Parsed p = Parse(CswV2(44100, 2, false, Deflate(CswRle(pulses))));
  EXPECT_EQ(p.failure, FailureKind::NONE);
  EXPECT_EQ(p.pulses, pulses);
}

TEST(CswReader, DamagedFilesStopWithTheirFault) {
  const Bytes rle = CswRle({10, 20, 30});
  Bytes truncatedCount = CswV1(44100, false, rle + Bytes{0, 1, 2});
  Bytes brokenZlib = CswV2(44100, 2, false, Deflate(rle));
  brokenZlib.back() ^= 0xFF;  // the Adler-32 check
  Bytes badHeaderZlib = CswV2(44100, 2, false, Bytes{0x78, 0x00, 1, 2, 3});
  Bytes cutZlib = CswV2(44100, 2, false, Deflate(CswRle(std::vector<std::uint32_t>(5000, 40))));
  cutZlib.resize(cutZlib.size() - 10);
  Bytes badSignature = CswV1(44100, false, rle);
  badSignature[5] = 'x';
  struct Row {
    const char* name;
    Bytes file;
    bool opens;
    FailureKind fault;
    int pulsesBefore;  // -1: any number
  } rows[] = {
      {"empty", {}, false, FailureKind::CSW_NO_SIGNATURE, 0},
      {"short signature", Bytes{'C', 'o', 'm'}, false, FailureKind::CSW_NO_SIGNATURE, 0},
      {"wrong signature", badSignature, false, FailureKind::CSW_NO_SIGNATURE, 0},
      {"no version", Head(CswV1(44100, false, {}), 24), false, FailureKind::CSW_TRUNCATED_HEADER, 0},
      {"v1 header cut", Head(CswV1(44100, false, {}), 30), false, FailureKind::CSW_TRUNCATED_HEADER, 0},
      {"v2 header cut", Head(CswV2(44100, 1, false, {}), 40), false, FailureKind::CSW_TRUNCATED_HEADER, 0},
      {"v2 extension cut", Head(CswV2(44100, 1, false, {}, 0, Bytes(50, 1)), 80), false,
       FailureKind::CSW_TRUNCATED_HEADER, 0},
      {"version 3", CswV2(44100, 1, false, rle) /* patched below */, false, FailureKind::CSW_BAD_VERSION, 0},
      {"zero rate v1", CswV1(0, false, rle), false, FailureKind::CSW_ZERO_RATE, 0},
      {"zero rate v2", CswV2(0, 2, false, Deflate(rle)), false, FailureKind::CSW_ZERO_RATE, 0},
      {"Z-RLE in v1", CswV1(44100, false, rle, 2), false, FailureKind::CSW_BAD_COMPRESSION, 0},
      {"compression 3", CswV2(44100, 3, false, rle), false, FailureKind::CSW_BAD_COMPRESSION, 0},
      {"zero-length pulse", CswV1(44100, false, rle + Bytes{0, 0, 0, 0, 0} + rle), true, FailureKind::CSW_ZERO_PULSE, 3},
      {"count cut", truncatedCount, true, FailureKind::CSW_TRUNCATED_DATA, 3},
      {"pulse over an hour", CswV1(8000, false, rle + CswRle({8000u * 3600u + 1})), true,
       FailureKind::CSW_PULSE_TOO_LONG, 3},
      {"the largest count", CswV2(44100, 1, false, CswRle({0xFFFFFFFFu})), true, FailureKind::CSW_PULSE_TOO_LONG, 0},
      {"bad zlib check", brokenZlib, true, FailureKind::CSW_BAD_ZLIB, 3},
      {"broken zlib header", badHeaderZlib, true, FailureKind::CSW_BAD_ZLIB, 0},
      {"zlib stream cut", cutZlib, true, FailureKind::CSW_TRUNCATED_DATA, -1},
  };
  rows[7].file[23] = 3;
  for (const Row& row : rows) {
    const Parsed p = Parse(row.file);
    EXPECT_EQ(p.opened, row.opens) << row.name;
    EXPECT_EQ(p.failure, row.fault) << row.name;
    if (row.pulsesBefore >= 0) {
      EXPECT_EQ(p.pulses.size(), static_cast<std::size_t>(row.pulsesBefore)) << row.name;
    }
  }
}

TEST(CswSamples, PulsesRenderAsAHeldSquareWaveAtFortyKilohertzOrMore) {
  const std::vector<std::uint32_t> pulses = {3, 1, 2, 5};
  struct Row {
    std::uint32_t rate;
    double outputRate;
    std::vector<float> samples;
  } rows[] = {
      {44100, 44100, {.5f, .5f, .5f, -.5f, .5f, .5f, -.5f, -.5f, -.5f, -.5f, -.5f}},
      {22050, 44100, {.5f, .5f, .5f, .5f, .5f, .5f, -.5f, -.5f, .5f, .5f, .5f, .5f,
                      -.5f, -.5f, -.5f, -.5f, -.5f, -.5f, -.5f, -.5f, -.5f, -.5f}},
      {8000, 40000, {}},  // checked by length below
      // Four input samples per output sample: edges fall between as means.
      {768000, 192000, {.25f, 0.0f, -.5f}},
      // The largest rate: every pulse in one output sample.
      {0xFFFFFFFFu, 0xFFFFFFFFu / 22370.0, {0.5f * static_cast<float>(-1.0 / 11)}},
  };
  for (const Row& row : rows) {
    const Bytes v2 = CswV2(row.rate, 1, true, CswRle(pulses));
    CMemoryByteSource source(v2.data(), v2.size());
    CCswReader reader(source);
    ASSERT_TRUE(reader.Open());
    CCswSamples samples(reader);
    EXPECT_DOUBLE_EQ(samples.OutputRate(), row.outputRate) << row.rate;
    std::vector<float> out;
    float buffer[3];  // small reads, so that pulses span calls
    while (const std::size_t n = samples.Read(buffer, 3)) out.insert(out.end(), buffer, buffer + n);
    if (row.samples.empty()) {
      EXPECT_EQ(out.size(), 11u * 5u) << row.rate;
    } else {
      EXPECT_EQ(out, row.samples) << row.rate;
    }
  }
}

}  // namespace
