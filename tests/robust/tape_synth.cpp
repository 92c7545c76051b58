#include "robust/tape_synth.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "test_support.h"

namespace testing_support {

namespace {

constexpr double TSTATE = 1.0 / 3500000.0;
constexpr double PI = 3.14159265358979323846;

// xorshift64* with Box-Muller: fixed-seed and the same on every machine.
class Random {
 public:
  explicit Random(std::uint64_t seed) : m_state(seed * 2685821657736338717ULL + 1) {}
  std::uint64_t Next() {
    m_state ^= m_state >> 12;
    m_state ^= m_state << 25;
    m_state ^= m_state >> 27;
    return m_state * 2685821657736338717ULL;
  }
  double Uniform() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
  double Gauss() {
    double u = std::max(Uniform(), 1e-300);
    double v = Uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * PI * v);
  }

 private:
  std::uint64_t m_state;
};

struct Segment {
  double length;  // T-states at nominal speed
  int level;      // +1, -1, 0 (silence)
};

void AddBlock(std::vector<Segment>& out, const TapeBytes& bytes, int& level) {
  int pilots = !bytes.empty() && bytes[0] < 128 ? 8063 : 3223;
  auto pulse = [&](double t) {
    out.push_back({t, level});
    level = -level;
  };
  for (int i = 0; i < pilots; ++i) pulse(2168);
  pulse(667);
  pulse(735);
  for (std::uint8_t b : bytes) {
    for (int bit = 7; bit >= 0; --bit) {
      double t = (b >> bit) & 1 ? 1710 : 855;
      pulse(t);
      pulse(t);
    }
  }
}

bool SoxRoundTrip(std::vector<float>& samples, double rate, const std::string& codec, const std::string& options) {
  ScratchDir dir;
  std::string raw = (dir.Path() / "in.f32").string();
  std::string coded = (dir.Path() / ("coded." + codec)).string();
  std::string back = (dir.Path() / "back.f32").string();
  {
    std::ofstream out(raw, std::ios::binary);
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * sizeof(float)));
  }
  std::string r = std::to_string(static_cast<int>(rate));
  std::string fmt = " -t raw -e floating-point -b 32 -c 1 -r " + r + " ";
  std::string encode = "sox -q" + fmt + "'" + raw + "' " + options + " '" + coded + "' 2>/dev/null";
  std::string decode = "sox -q '" + coded + "'" + fmt + "'" + back + "' rate " + r + " 2>/dev/null";
  if (std::system(encode.c_str()) != 0 || std::system(decode.c_str()) != 0) return false;
  std::ifstream in(back, std::ios::binary);
  std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < sizeof(float)) return false;
  samples.assign(data.size() / sizeof(float), 0.0f);
  std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(samples.size() * sizeof(float)),
            reinterpret_cast<char*>(samples.data()));
  return true;
}

}  // namespace

TapeBytes RomHeader(const std::string& name, int length) {
  TapeBytes h = {0x00, 0x03};
  for (int i = 0; i < 10; ++i) h.push_back(i < static_cast<int>(name.size()) ? name[i] : ' ');
  h.push_back(static_cast<std::uint8_t>(length & 0xFF));
  h.push_back(static_cast<std::uint8_t>(length >> 8));
  h.push_back(0x00);
  h.push_back(0x80);
  h.push_back(0x00);
  h.push_back(0x80);
  std::uint8_t x = 0;
  for (std::uint8_t b : h) x ^= b;
  h.push_back(x);
  return h;
}

TapeBytes DataBlock(int length, std::uint32_t seed) {
  Random random(seed);
  TapeBytes d = {0xFF};
  for (int i = 0; i < length; ++i) d.push_back(static_cast<std::uint8_t>(random.Next() >> 56));
  std::uint8_t x = 0;
  for (std::uint8_t b : d) x ^= b;
  d.push_back(x);
  return d;
}

namespace {
std::vector<float> RenderSegments(const std::vector<Segment>& segments, const TapePath& path,
                                  std::uint32_t seed);
}  // namespace

std::vector<float> RenderTape(const std::vector<TapeBytes>& blocks, const TapePath& path,
                              std::uint32_t seed, const std::vector<double>& trailer) {
  std::vector<Segment> segments;
  int level = 1;
  segments.push_back({0.3 * 3500000.0, 0});
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    AddBlock(segments, blocks[i], level);
    bool last = i + 1 == blocks.size();
    if (last && !trailer.empty()) {
      for (double t : trailer) {
        segments.push_back({t, level});
        level = -level;
      }
    }
    if (path.pauseSeconds > 0.0 || last) {
      segments.push_back({std::max(path.pauseSeconds, 0.5) * 3500000.0, 0});
    }
  }
  return RenderSegments(segments, path, seed);
}

std::vector<float> RenderLoaderTape(const std::vector<LoaderBlock>& blocks, const TapePath& path,
                                    std::uint32_t seed) {
  std::vector<Segment> segments;
  int level = 1;
  auto pulse = [&](double t) {
    segments.push_back({t, level});
    level = -level;
  };
  segments.push_back({0.3 * 3500000.0, 0});
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const LoaderBlock& b = blocks[i];
    for (int p = 0; p < b.pilotPulses; ++p) {
      pulse(b.pilot);
      if (b.clickEvery > 0 && (p + 1) % b.clickEvery == 0) pulse(b.click);
    }
    if (b.pilotPulses > 0) {
      pulse(b.sync1);
      if (b.sync2 > 0.0) pulse(b.sync2);
    }
    const int bits = static_cast<int>(b.bytes.size() - 1) * 8 + b.usedBits;
    for (int k = 0; k < bits; ++k) {
      const double* halves = (b.bytes[k / 8] >> (7 - k % 8)) & 1 ? b.one : b.zero;
      if (k == b.mergedBit) {
        pulse(halves[0] + halves[1]);
        continue;
      }
      for (int p = 0; p < b.bitPulses; ++p) pulse(halves[p]);
    }
    if (b.pauseSeconds > 0.0 || i + 1 == blocks.size())
      segments.push_back({std::max(b.pauseSeconds, 0.5) * 3500000.0, 0});
  }
  return RenderSegments(segments, path, seed);
}

namespace {

std::vector<float> RenderSegments(const std::vector<Segment>& segments, const TapePath& path,
                                  std::uint32_t seed) {
  Random random(seed);
  // Edge times in the recording: tape time runs at the (varying) speed.
  std::vector<double> times;
  std::vector<int> levels;
  double t = 0.0;
  for (const Segment& s : segments) {
    double speed = path.speed * (1.0 + path.drift * t + path.wowDepth * std::sin(2.0 * PI * path.wowHz * t));
    double length = s.length * TSTATE / speed;
    if (s.level > 0) length += path.asymmetry;
    if (s.level < 0) length -= path.asymmetry;
    if (path.wholeSamples) length = std::round(length * path.rate) / path.rate;
    times.push_back(t);
    levels.push_back(s.level);
    t += length;
  }
  times.push_back(t);
  for (std::size_t i = 1; i + 1 < times.size(); ++i) times[i] += path.jitter * random.Gauss();
  // Area sampling: each sample is the mean level over its interval.
  std::size_t count = static_cast<std::size_t>(std::ceil(t * path.rate)) + 1;
  std::vector<double> x(count, 0.0);
  for (std::size_t i = 0; i + 1 < times.size(); ++i) {
    if (levels[i] == 0) continue;
    double a = std::max(times[i], 0.0) * path.rate;
    double b = std::max(times[i + 1] * path.rate, a);
    std::size_t ia = static_cast<std::size_t>(a);
    std::size_t ib = std::min(static_cast<std::size_t>(b), count - 1);
    if (ia == ib) {
      x[ia] += levels[i] * (b - a);
      continue;
    }
    x[ia] += levels[i] * (ia + 1 - a);
    for (std::size_t k = ia + 1; k < ib; ++k) x[k] += levels[i];
    x[ib] += levels[i] * (b - ib);
  }
  const double dt = 1.0 / path.rate;
  // A second-order Butterworth section: low-pass, or high-pass.
  const auto butterworth = [&x, &path](double hz, bool high) {
    double w = 2.0 * PI * hz / path.rate;
    double alpha = std::sin(w) / std::sqrt(2.0);
    double c = std::cos(w);
    double a0 = 1.0 + alpha;
    double b0 = (high ? 1.0 + c : 1.0 - c) / 2.0 / a0, b1 = (high ? -2.0 : 2.0) * b0, b2 = b0;
    double a1 = -2.0 * c / a0, a2 = (1.0 - alpha) / a0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (double& v : x) {
      double y = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
      x2 = x1;
      x1 = v;
      y2 = y1;
      y1 = y;
      v = y;
    }
  };
  if (path.highpassHz > 0.0 && path.highpassSecondOrder) {
    butterworth(path.highpassHz, true);
  } else if (path.highpassHz > 0.0) {
    double rc = 1.0 / (2.0 * PI * path.highpassHz);
    double a = rc / (rc + dt);
    double prevX = 0.0;
    double prevY = 0.0;
    for (double& v : x) {
      double y = a * (prevY + v - prevX);
      prevX = v;
      prevY = y;
      v = y;
    }
  }
  for (int k = 0; k < path.lowpassSections && path.lowpassHz > 0.0; ++k) butterworth(path.lowpassHz, false);
  for (double hz : path.allpassHz) {
    double w = 2.0 * PI * hz / path.rate;
    double alpha = std::sin(w) / 2.0;
    double c = std::cos(w);
    double a0 = 1.0 + alpha;
    double b0 = (1.0 - alpha) / a0, b1 = -2.0 * c / a0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (double& v : x) {
      double y = b0 * v + b1 * x1 + x2 - b1 * y1 - b0 * y2;
      x2 = x1;
      x1 = v;
      y2 = y1;
      y1 = y;
      v = y;
    }
  }
  std::vector<float> out(count);
  for (std::size_t k = 0; k < count; ++k) {
    double v = x[k];
    const double since = k * dt - path.dropFirst;
    if (path.dropEvery > 0.0 && since >= 0.0 && std::fmod(since, path.dropEvery) < path.dropSeconds) v *= path.dropGain;
    v += path.noise * random.Gauss();
    v = v * path.gain * (path.invert ? -1.0 : 1.0) + path.dc;
    if (path.clip > 0.0) v = std::clamp(v, -path.clip, path.clip);
    out[k] = static_cast<float>(v);
  }
  if (!path.soxCodec.empty() && !SoxRoundTrip(out, path.rate, path.soxCodec, path.soxOptions)) return {};
  return out;
}

}  // namespace

}  // namespace testing_support
