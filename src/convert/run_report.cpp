#include "convert/run_report.h"

#include <cmath>
#include <cstdio>
#include <optional>

namespace tapedecoder {

namespace {

// Length of the UTF-8 sequence starting at text[i], 0 when invalid there.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2, code = lead & 0x1Fu;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3, code = lead & 0x0Fu;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4, code = lead & 0x07u;
  else return 0;
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(i + k) & 0x3Fu);
  }
  // Overlong forms, surrogates and code points past U+10FFFF.
  if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  return length;
}

// A number as JSON: fixed decimals, a point whatever the locale, null when
// not finite.
std::string Number(double value, int decimals) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  std::string out = text;
  for (char& c : out)
    if (c == ',') c = '.';
  // No negative zero.
  if (out[0] == '-' && out.find_first_not_of("-0.") == std::string::npos) out.erase(0, 1);
  return out;
}

std::string Seconds(double value) { return Number(value, 3); }
std::string Optional(const std::optional<double>& value, int decimals) {
  return value ? Number(*value, decimals) : "null";
}

const char* StreamName(ChannelChoice choice) {
  switch (choice) {
    case ChannelChoice::LEFT: return "left";
    case ChannelChoice::RIGHT: return "right";
    case ChannelChoice::MIX: return "mix";
  }
  return "left";
}

const char* OriginName(BlockOrigin origin) {
  switch (origin) {
    case BlockOrigin::DECODED: return "decoded";
    case BlockOrigin::RETRIED: return "retried";
    case BlockOrigin::SYNC_REPAIRED: return "sync-repaired";
    case BlockOrigin::VOTED: return "voted";
    case BlockOrigin::MENDED: return "mended";
  }
  return "decoded";
}

const char* CutName(BlockCut cut) {
  switch (cut) {
    case BlockCut::NONE: return "null";
    case BlockCut::RECORDING_END: return "\"recording-end\"";
    case BlockCut::READ_STOPPED: return "\"read-stopped\"";
  }
  return "null";
}

// A block: ROM-timed, turbo (own pilot, sync and bit lengths) or pure data
// (bits with no pilot before them).
const char* KindName(const BlockSummary& block) {
  if (block.romTiming) return "rom";
  return block.timing.pilotPulses == 0 ? "pure-data" : "turbo";
}

std::string HeaderJson(const std::optional<RomHeader>& header) {
  if (!header) return "null";
  // The name's bytes as Latin-1 code points, so that any byte is valid JSON.
  std::string name;
  for (char c : header->name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      name += c;
    } else {
      name += static_cast<char>(0xC0 | (byte >> 6));
      name += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return "{\"type\": " + std::to_string(header->type) + ", \"name\": " + JsonString(name) +
         ", \"length\": " + std::to_string(header->length) + ", \"param1\": " +
         std::to_string(header->param1) + ", \"param2\": " + std::to_string(header->param2) + "}";
}

std::string BlockJson(const BlockSummary& block, const std::vector<ChannelChoice>& streams,
                      const std::string& take) {
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(block.crc32));
  const BlockTiming& t = block.timing;
  const bool knownStream = block.stream >= 0 && static_cast<std::size_t>(block.stream) < streams.size();
  std::string text = "{\"number\": " + std::to_string(block.number);
  text += ", \"start\": " + Seconds(block.startSeconds) + ", \"end\": " + Seconds(block.endSeconds);
  text += std::string(", \"kind\": \"") + KindName(block) + "\"";
  text += ", \"flag\": " + std::to_string(block.flag);
  text += ", \"header\": " + HeaderJson(block.header);
  text += ", \"length\": " + std::to_string(block.length);
  text += ", \"announced\": " + (block.announced ? std::to_string(*block.announced) : "null");
  text += std::string(", \"verdict\": \"") + (block.good ? "ok" : "bad") + "\"";
  text += std::string(", \"crc32\": \"") + crc + "\"";
  text += ", \"timing\": {\"pilot\": " + Number(t.pilot, 1) + ", \"pilotPulses\": " +
          std::to_string(t.pilotPulses) + ", \"sync1\": " + Number(t.sync1, 1) + ", \"sync2\": " +
          Number(t.sync2, 1) + ", \"zero\": " + Number(t.zero, 1) + ", \"one\": " + Number(t.one, 1) +
          "}";
  text += ", \"speed\": " + (block.speed > 0.0 ? Number(block.speed, 4) : std::string("null"));
  text += std::string(", \"reader\": \"") + OriginName(block.origin) + "\"";
  if (block.origin == BlockOrigin::MENDED) {
    text += ", \"mended\": {\"bits\": " + std::to_string(block.mendedBits) + ", \"dropouts\": " +
            std::to_string(block.mendedGaps) + ", \"fromByte\": " + std::to_string(block.mendedAt / 8) +
            (block.mendedFromCopy ? ", \"fromCopy\": true" : "") + (block.mendGuessed ? ", \"guessed\": true}" : "}");
  }
  text += ", \"channel\": " +
          (knownStream ? std::string("\"") + StreamName(streams[static_cast<std::size_t>(block.stream)]) + "\""
                       : std::string("null"));
  text += ", \"weakest\": " + (block.weakest >= 0.0f ? Number(block.weakest, 3) : std::string("null"));
  text += ", \"broke\": " + Optional(block.brokeSeconds, 3);
  text += std::string(", \"cut\": ") + CutName(block.cut);
  text += std::string(", \"tap\": ") + (block.inTap ? "true" : "false");
  text += ", \"take\": " + take + "}";
  return text;
}

std::string RecordingJson(const std::string& file, const RobustReport& report,
                          const std::vector<std::string>& warnings) {
  const InputInfo& info = report.info;
  std::string format = info.kind == InputKind::CSW ? "CSW" : info.container;
  std::string text = "{\"file\": " + JsonString(file);
  text += ", \"format\": " + JsonString(format);
  text += ", \"encoding\": " + JsonString(info.kind == InputKind::CSW ? "" : info.encoding);
  text += ", \"rate\": " + std::to_string(info.rate);
  text += ", \"channels\": " + std::to_string(info.channels);
  text += ", \"duration\": " + (info.seconds >= 0.0 ? Seconds(info.seconds) : std::string("null"));
  text += ", \"decoded\": " + Seconds(report.seconds);
  text += ", \"readStopped\": " + (report.readStop ? Seconds(report.seconds) : std::string("null"));
  const SignalShares& s = report.shares;
  text += ", \"shares\": " + (s.measured ? "{\"blocks\": " + Number(s.blocks, 4) + ", \"tones\": " +
                                               Number(s.tones, 4) + ", \"pauses\": " +
                                               Number(s.pauses, 4) + "}"
                                         : std::string("null"));
  text += ", \"warnings\": [";
  for (std::size_t i = 0; i < warnings.size(); ++i) text += (i ? ", " : "") + JsonString(warnings[i]);
  return text + "]}";
}

std::string Summary(std::size_t blocks, int good, int bad, int voted) {
  return "{\"blocks\": " + std::to_string(blocks) + ", \"good\": " + std::to_string(good) +
         ", \"bad\": " + std::to_string(bad) + ", \"voted\": " + std::to_string(voted) + "}";
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8Length(text, i);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out + "\"";
}

std::string RobustReportJson(const std::string& title, const std::string& recording,
                             const RobustReport& report, const std::vector<std::string>& warnings) {
  std::string text = "{\n  \"tool\": " + JsonString(ToolName()) + ",\n  \"title\": " +
                     JsonString(title) + ",\n  \"method\": \"robust\",\n  \"recordings\": [\n    " +
                     RecordingJson(recording, report, warnings) + "\n  ],\n  \"blocks\": [";
  for (std::size_t i = 0; i < report.blocks.size(); ++i)
    text += (i ? ",\n    " : "\n    ") + BlockJson(report.blocks[i], report.streams, "null");
  text += report.blocks.empty() ? "],\n" : "\n  ],\n";
  return text + "  \"summary\": " +
         Summary(report.blocks.size(), report.goodBlocks, report.badBlocks, 0) + "\n}\n";
}

std::string MergeReportJson(const std::string& title, const std::vector<std::string>& takes,
                            const MergeReport& report,
                            const std::vector<std::vector<std::string>>& warnings) {
  std::string text = "{\n  \"tool\": " + JsonString(ToolName()) + ",\n  \"title\": " +
                     JsonString(title) + ",\n  \"method\": \"merge\",\n  \"recordings\": [";
  for (std::size_t t = 0; t < report.takes.size() && t < takes.size(); ++t)
    text += (t ? ",\n    " : "\n    ") +
            RecordingJson(takes[t], report.takes[t], t < warnings.size() ? warnings[t] : std::vector<std::string>());
  text += "\n  ],\n  \"blocks\": [";
  for (std::size_t i = 0; i < report.blocks.size(); ++i) {
    const MergedBlockSummary& block = report.blocks[i];
    const std::string take = block.take >= 0 ? std::to_string(block.take + 1) : "null";
    const std::vector<ChannelChoice> none;
    const std::vector<ChannelChoice>& streams =
        block.take >= 0 && static_cast<std::size_t>(block.take) < report.takes.size()
            ? report.takes[static_cast<std::size_t>(block.take)].streams
            : none;
    text += (i ? ",\n    " : "\n    ") + BlockJson(block.detail, streams, take);
  }
  text += report.blocks.empty() ? "],\n" : "\n  ],\n";
  return text + "  \"summary\": " +
         Summary(report.blocks.size(), report.goodBlocks, report.badBlocks, report.votedBlocks) +
         "\n}\n";
}

}  // namespace tapedecoder
