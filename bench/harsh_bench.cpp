// Harsh degradations of real recordings, converted by the command-line
// converter at its default settings: dropouts to silence, all-pass phase
// chains, a worn tape path (band-pass, low level, wow, hiss) and harsher
// forms of the everyday faults. For each path and tape it prints the
// blocks that came back exactly, those lost, and phantoms: blocks that
// verify but are no block of the tape. A block that verifies and holds two
// to four blocks of the tape in a row is counted apart, as joined: a loader
// that runs one block's bits straight on into the next plays them as one.
//
// usage: harsh-bench CLI WORK [TAPE...] [--only=NAME[,NAME...]] [--drop=MS,EVERY,FIRST] [--seed=N] [--keep]
//   CLI is the built tapedecoder-cli; WORK the folder make_tapes.sh filled
//   (NAME.tap and its tape2wav recording NAME.wav). The tapes default to
//   "code" and "many"; bench/make_game_tape.sh adds "game" (a loader, a
//   screen and a code block of 20 KB). Each path's recordings are made in
//   WORK/harsh (kept with --keep); --drop adds a dropout path of one's own,
//   "custom".
//   --seed=N (0, the default, is the bench's own take) makes another take of
//   each path: other hiss, another wow and flutter phase, the recording
//   starting N*37 samples later (other codec frames) and the dropouts at
//   other places.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr double PI = 3.14159265358979323846;

// One harsh tape path, applied in this order: wow and flutter (a varying
// speed), filters, all-pass sections, level (with a ramp), hiss, dropouts
// to silence, DC, clipping, 8-bit samples; then `sox` (options and effects
// between sox's output file name and its effects, "{out}" for the file)
// for codecs and rates.
struct Path {
  const char* name;
  double highpassHz = 0.0;  // second-order Butterworth
  double lowpassHz = 0.0;   // second-order Butterworth, twice (12 dB a octave each)
  std::vector<double> allpassHz;  // sections at Q 1
  double gain = 0.5;        // the wave's amplitude, full scale 1
  double rampTo = 0.0;      // the gain at the end, falling or rising linearly (0: none)
  double wowDepth = 0.0, wowHz = 0.0;
  double flutterDepth = 0.0, flutterHz = 0.0;
  double noise = 0.0;       // white noise rms relative to the wave's amplitude
  double dropMs = 0.0;      // dropouts to silence this long ...
  double dropEvery = 1.7;   // ... every so many seconds ...
  double dropFirst = 0.0;   // ... the first at this time
  double dc = 0.0;
  double clip = 0.0;        // at ± this, full scale 1
  bool eightBit = false;
  const char* sox = "";     // e.g. "-t mp3 -C 64 {out}"; empty: a 16-bit WAV
};

std::vector<Path> Paths() {
  std::vector<Path> p;
  auto add = [&](const char* name) -> Path& {
    p.push_back(Path{});
    p.back().name = name;
    return p.back();
  };
  add("dropout-0.5ms").dropMs = 0.5;
  add("dropout-1ms").dropMs = 1.0;
  add("dropout-2ms").dropMs = 2.0;
  add("dropout-5ms").dropMs = 5.0;
  add("allpass-800-2000-4000").allpassHz = {800.0, 2000.0, 4000.0};
  {
    Path& h = add("allpass-quiet");
    h.allpassHz = {800.0, 2000.0, 4000.0};
    h.gain = 0.2;
  }
  {
    Path& h = add("allpass-noisy");
    h.allpassHz = {800.0, 2000.0, 4000.0};
    h.noise = 0.15;
  }
  for (double noise : {0.3, 0.5}) {
    Path& h = add(noise < 0.4 ? "tape-heavy" : "tape-heavy-noise-0.5");
    h.highpassHz = 200.0;
    h.lowpassHz = 5000.0;
    h.gain = 0.125;
    h.wowDepth = 0.03;
    h.wowHz = 0.5;
    h.noise = noise;
  }
  {
    Path& h = add("worn");
    h.highpassHz = 600.0;
    h.lowpassHz = 5000.0;
    h.gain = 0.5 * 0.398;
    h.noise = 0.08;
  }
  add("lowpass-2500").lowpassHz = 2500.0;
  add("lowpass-1000").lowpassHz = 1000.0;
  add("highpass-1500").highpassHz = 1500.0;
  {
    Path& h = add("hiss-0.6");
    h.noise = 0.6;
  }
  {
    Path& h = add("wow-flutter");
    h.wowDepth = 0.04, h.wowHz = 0.7, h.flutterDepth = 0.01, h.flutterHz = 12.0;
  }
  {
    Path& h = add("mp3-32k");
    h.highpassHz = 300.0;
    h.sox = "-t mp3 -C 32 {out}";
  }
  for (const char* rate : {"48", "64"}) {
    Path& h = add(rate[0] == '4' ? "mp3-48k" : "mp3-64k");
    h.highpassHz = 300.0;
    h.sox = rate[0] == '4' ? "-t mp3 -C 48 {out}" : "-t mp3 -C 64 {out}";
  }
  {
    Path& h = add("ogg-q0");
    h.sox = "-t ogg -C 0 {out}";
  }
  {
    Path& h = add("ogg-q-1");
    h.highpassHz = 300.0;
    h.sox = "-t ogg -C -1 {out}";
  }
  {
    Path& h = add("8-bit-quiet");
    h.gain = 0.03;
    h.eightBit = true;
  }
  {
    Path& h = add("rate-11025");
    h.lowpassHz = 4500.0;
    h.sox = "{out} rate 11025";
  }
  {
    Path& h = add("rate-22050-hiss");
    h.noise = 0.3;
    h.sox = "{out} rate 22050";
  }
  {
    Path& h = add("clipped-hard");
    h.highpassHz = 800.0;
    h.gain = 4.0;
    h.clip = 0.5;
  }
  {
    Path& h = add("dc-0.4");
    h.dc = 0.4;
    h.noise = 0.1;
  }
  {
    Path& h = add("level-ramp");
    h.gain = 0.5;
    h.rampTo = 0.02;
    h.noise = 0.02;
  }
  return p;
}

class Random {
 public:
  explicit Random(unsigned seed) {
    if (seed) m_state ^= 0x9E3779B97F4A7C15ULL * seed;
  }
  double Gauss() {
    double u = (static_cast<double>(Next() >> 11) + 1.0) / 9007199254740993.0;
    double v = static_cast<double>(Next() >> 11) / 9007199254740992.0;
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * PI * v);
  }

 private:
  std::uint64_t Next() {
    m_state ^= m_state >> 12;
    m_state ^= m_state << 25;
    m_state ^= m_state >> 27;
    return m_state * 2685821657736338717ULL;
  }
  std::uint64_t m_state = 88172645463325252ULL;
};

// An RBJ biquad run over the samples in place.
void Biquad(std::vector<double>& x, double b0, double b1, double b2, double a0, double a1, double a2) {
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  for (double& v : x) {
    double y = (b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2) / a0;
    x2 = x1, x1 = v, y2 = y1, y1 = y, v = y;
  }
}

std::vector<double> Apply(const std::vector<double>& in, double rate, const Path& p, unsigned seed) {
  // Varying speed: output sample k plays tape time tau(k), read by linear
  // interpolation between the input's samples.
  std::vector<double> x(seed * 37, 0.0);
  x.reserve(in.size() + in.size() / 10);
  const double phase = 1.3 * seed, dropFirst = p.dropFirst + std::fmod(0.613 * seed, p.dropEvery);
  double tau = 0.0;
  for (std::size_t k = 0; tau < static_cast<double>(in.size() - 1); ++k) {
    const double t = static_cast<double>(k) / rate;
    const std::size_t i = static_cast<std::size_t>(tau);
    const double f = tau - static_cast<double>(i);
    x.push_back(in[i] * (1.0 - f) + in[i + 1] * f);
    tau += 1.0 + p.wowDepth * std::sin(2.0 * PI * p.wowHz * t + phase) +
           p.flutterDepth * std::sin(2.0 * PI * p.flutterHz * t + 2.0 * phase);
  }
  if (p.highpassHz > 0.0) {
    const double w = 2.0 * PI * p.highpassHz / rate, alpha = std::sin(w) / std::sqrt(2.0), c = std::cos(w);
    Biquad(x, (1.0 + c) / 2.0, -(1.0 + c), (1.0 + c) / 2.0, 1.0 + alpha, -2.0 * c, 1.0 - alpha);
  }
  if (p.lowpassHz > 0.0) {
    const double w = 2.0 * PI * p.lowpassHz / rate, alpha = std::sin(w) / std::sqrt(2.0), c = std::cos(w);
    for (int twice = 0; twice < 2; ++twice)
      Biquad(x, (1.0 - c) / 2.0, 1.0 - c, (1.0 - c) / 2.0, 1.0 + alpha, -2.0 * c, 1.0 - alpha);
  }
  for (double hz : p.allpassHz) {
    const double w = 2.0 * PI * hz / rate, alpha = std::sin(w) / 2.0, c = std::cos(w);
    Biquad(x, 1.0 - alpha, -2.0 * c, 1.0 + alpha, 1.0 + alpha, -2.0 * c, 1.0 - alpha);
  }
  Random random(seed);
  const double n = static_cast<double>(x.size());
  for (std::size_t k = 0; k < x.size(); ++k) {
    const double along = static_cast<double>(k) / n;
    const double gain = p.rampTo > 0.0 ? p.gain + (p.rampTo - p.gain) * along : p.gain;
    double v = (x[k] + p.noise * random.Gauss()) * gain;
    if (p.dropMs > 0.0 && static_cast<double>(k) / rate >= dropFirst &&
        std::fmod(static_cast<double>(k) / rate - dropFirst, p.dropEvery) < p.dropMs / 1000.0)
      v = 0.0;
    v += p.dc;
    if (p.clip > 0.0) v = std::clamp(v, -p.clip, p.clip);
    if (p.eightBit) v = std::round(v * 127.0) / 127.0;
    x[k] = std::clamp(v, -1.0, 1.0);
  }
  return x;
}

bool ReadWave(const std::string& file, std::vector<double>& samples, double& rate) {
  SF_INFO info{};
  SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
  if (!f) return false;
  std::vector<double> frames(static_cast<std::size_t>(info.frames) * info.channels);
  sf_readf_double(f, frames.data(), info.frames);
  sf_close(f);
  samples.resize(static_cast<std::size_t>(info.frames));
  // tape2wav writes two levels; centred and scaled to ±1.
  double lo = 1e9, hi = -1e9;
  for (std::size_t k = 0; k < samples.size(); ++k) {
    samples[k] = frames[k * info.channels];
    lo = std::min(lo, samples[k]), hi = std::max(hi, samples[k]);
  }
  const double mid = (lo + hi) / 2.0, half = std::max((hi - lo) / 2.0, 1e-9);
  for (double& v : samples) v = (v - mid) / half;
  rate = info.samplerate;
  return true;
}

bool WriteWave(const std::string& file, const std::vector<double>& samples, double rate) {
  SF_INFO info{};
  info.samplerate = static_cast<int>(rate);
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(file.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  sf_writef_double(f, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(f);
  return true;
}

Bytes ReadBytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Bytes> Blocks(const Bytes& tap) {
  std::vector<Bytes> blocks;
  for (std::size_t at = 0; at + 2 <= tap.size();) {
    const std::size_t length = tap[at] | (tap[at + 1] << 8);
    at += 2;
    if (tap.size() - at < length) break;
    blocks.emplace_back(tap.begin() + static_cast<long>(at), tap.begin() + static_cast<long>(at + length));
    at += length;
  }
  return blocks;
}

bool Verifies(const Bytes& block) {
  std::uint8_t x = 0;
  for (std::uint8_t b : block) x ^= b;
  return block.size() >= 2 && x == 0;
}

int Count(const std::string& text, const std::string& piece) {
  int n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: harsh-bench CLI WORK [TAPE...] [--only=NAME[,NAME...]] [--drop=MS,EVERY,FIRST] [--seed=N] [--keep]\n");
    return 2;
  }
  // The converter runs in the recordings' folder.
  const std::string cli = std::filesystem::absolute(argv[1]).string(), work = argv[2];
  std::vector<std::string> tapes;
  std::string only;
  bool keep = false;
  unsigned seed = 0;
  std::vector<Path> custom;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--only=", 0) == 0) only = a.substr(7);
    else if (a == "--keep") keep = true;
    else if (a.rfind("--seed=", 0) == 0) seed = static_cast<unsigned>(std::strtoul(a.c_str() + 7, nullptr, 10));
    else if (a.rfind("--drop=", 0) == 0) {
      // --drop=MS,EVERY,FIRST: one dropout path of one's own, "custom".
      Path c;
      c.name = "custom";
      std::sscanf(a.c_str() + 7, "%lf,%lf,%lf", &c.dropMs, &c.dropEvery, &c.dropFirst);
      custom.push_back(c);
      only = "custom";
    }
    else tapes.push_back(a);
  }
  if (tapes.empty()) tapes = {"code", "many"};
  const std::string dir = work + "/harsh";
  std::system(("mkdir -p '" + dir + "'").c_str());
  std::printf("%-22s %-6s %5s %5s %5s %6s %6s  %s\n", "path", "tape", "exact", "lost", "phant", "joined", "mended",
              "tape image");
  int exactTapes = 0, runs = 0, phantoms = 0, joins = 0;
  for (const Path& p : custom.empty() ? Paths() : custom) {
    if (!only.empty() && ("," + only + ",").find("," + std::string(p.name) + ",") == std::string::npos) continue;
    for (const std::string& tape : tapes) {
      std::vector<double> in;
      double rate = 0.0;
      if (!ReadWave(work + "/" + tape + ".wav", in, rate)) {
        std::fprintf(stderr, "cannot read %s/%s.wav\n", work.c_str(), tape.c_str());
        return 1;
      }
      const std::string base = dir + "/" + p.name + "-" + tape + (seed ? "-s" + std::to_string(seed) : "");
      const std::string raw = base + (*p.sox ? "-raw.wav" : ".wav");
      WriteWave(raw, Apply(in, rate, p, seed), rate);
      std::string recording = base + ".wav";
      if (*p.sox) {
        std::string soxArgs = p.sox;
        const bool ext = soxArgs.find("-t mp3") != std::string::npos || soxArgs.find("-t ogg") != std::string::npos;
        if (ext) recording = base + (soxArgs.find("mp3") != std::string::npos ? ".mp3" : ".ogg");
        soxArgs.replace(soxArgs.find("{out}"), 5, "'" + recording + "'");
        if (std::system(("sox -D -R -V1 '" + raw + "' " + soxArgs).c_str()) != 0) {
          std::fprintf(stderr, "sox failed: %s\n", soxArgs.c_str());
          continue;
        }
        std::remove(raw.c_str());
      }
      const std::string stem = recording.substr(0, recording.rfind('.'));
      std::remove((stem + ".tap").c_str());
      const std::string out = stem + ".out";
      std::system(("cd '" + dir + "' && '" + cli + "' '" + recording + "' >'" + out + "' 2>&1").c_str());
      const std::vector<Bytes> want = Blocks(ReadBytes(work + "/" + tape + ".tap"));
      const Bytes gotTap = ReadBytes(stem + ".tap");
      const std::vector<Bytes> got = Blocks(gotTap);
      std::vector<bool> used(got.size(), false);
      int exact = 0;
      for (const Bytes& w : want) {
        for (std::size_t g = 0; g < got.size(); ++g) {
          if (!used[g] && got[g] == w) {
            used[g] = true, ++exact;
            break;
          }
        }
      }
      // Two to four of the tape's blocks in a row, as one.
      const auto joined = [&want](const Bytes& b) {
        for (std::size_t i = 0; i < want.size(); ++i) {
          Bytes run = want[i];
          for (std::size_t j = i + 1; j < want.size() && j < i + 4 && run.size() < b.size(); ++j) {
            run.insert(run.end(), want[j].begin(), want[j].end());
            if (run == b) return true;
          }
        }
        return false;
      };
      int phantom = 0, join = 0;
      for (std::size_t g = 0; g < got.size(); ++g)
        if (!used[g] && Verifies(got[g])) ++(joined(got[g]) ? join : phantom);
      Bytes printed = ReadBytes(out);
      const std::string text(printed.begin(), printed.end());
      const bool whole = gotTap == ReadBytes(work + "/" + tape + ".tap");
      exactTapes += whole;
      ++runs;
      phantoms += phantom;
      joins += join;
      std::printf("%-22s %-6s %5d %5d %5d %6d %6d  %s\n", p.name, tape.c_str(), exact,
                  static_cast<int>(want.size()) - exact, phantom, join, Count(text, "mended:"),
                  whole ? "exact" : "NOT exact");
      std::fflush(stdout);
      if (!keep) std::remove(recording.c_str());
    }
  }
  std::printf("%d of %d tapes exact, %d phantom blocks, %d joined\n", exactTapes, runs, phantoms, joins);
  return 0;
}
