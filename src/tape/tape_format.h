// The formats of the two output files and the timing numbers of the tape
// decoder, kept in one place.
//
// Tape image (.tap): a plain sequence of records, one or more per block, in
// the order the blocks end. No header, no trailer. One record:
//   2 bytes  n, unsigned 16-bit little-endian (low byte first)
//   n bytes  the block's bytes in the order received
// A block longer than TAP_RECORD_MAX_BYTES is written as consecutive
// records of at most that many bytes each.
//
// Listing (.txt): Windows-1251 text with CR LF line ends, made only of the
// pieces below. Every block starts with LISTING_BLOCK_START; each byte is
// two lowercase hexadecimal digits and a space, 30 to a line; a block that
// ends with at least one byte gets the block end line with its byte count
// and one verdict.
#ifndef TAPEDECODER_TAPE_TAPE_FORMAT_H_
#define TAPEDECODER_TAPE_TAPE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tapedecoder {

// --- Edge timer ---

// A run that stays on one side for this many frames (100 samples, about
// 2.27 ms) is a pause: the measurement gives up. Divided by the read step
// it gives the step limit, 500 at a step of 0.2.
constexpr double MEASURE_LIMIT_FRAMES = 100.0;

// --- Block decoder ---

// A sync pulse is accepted only after more than this many counted pilot
// pulses (the pulse that opens the pilot tone is not counted).
constexpr std::int32_t PILOT_COUNT_BEFORE_SYNC = 100;

// The block buffer grows by this many bytes at a time.
constexpr std::size_t BLOCK_BUFFER_STEP = 16384;

// --- Tape image ---

// The largest byte count one record's 16-bit length can hold.
constexpr std::size_t TAP_RECORD_MAX_BYTES = 65535;

// --- Listing ---

constexpr std::size_t LISTING_BYTES_PER_LINE = 30;

// The listing's texts as UTF-8 source text; ToWindows1251 gives the bytes
// that the listing holds.
constexpr std::string_view LISTING_LINE_BREAK = "\r\n";
constexpr std::string_view LISTING_BLOCK_START =
    "\r\n-----Начало файла (синхросигнал)-----\r\n";
// The block end line is LISTING_BLOCK_END_HEAD, the byte count in decimal,
// then LISTING_BLOCK_END_TAIL.
constexpr std::string_view LISTING_BLOCK_END_HEAD = "\r\nКонец файла. Считано:";
constexpr std::string_view LISTING_BLOCK_END_TAIL = " байт(а).\r\n";
constexpr std::string_view LISTING_VERDICT_GOOD = "\r\nОшибок нет.\r\n";
constexpr std::string_view LISTING_VERDICT_BAD = "\r\nОшибка чтения!\r\n";
// A block whose bits lost in a dropout were restored from its checksum:
// LISTING_MENDED_HEAD, the bits restored, LISTING_MENDED_MIDDLE, the byte
// they start in, LISTING_MENDED_TAIL.
constexpr std::string_view LISTING_MENDED_HEAD = "\r\nИсправлено по контрольной сумме: ";
// The head instead where the bits came from the block's copy on the tape.
constexpr std::string_view LISTING_MENDED_COPY_HEAD = "\r\nИсправлено по копии блока: ";
constexpr std::string_view LISTING_MENDED_MIDDLE = " бит(а) с байта ";
constexpr std::string_view LISTING_MENDED_TAIL = ".\r\n";
// Bits lost in several dropouts: LISTING_MENDED_HEAD, the bits restored,
// LISTING_MENDED_IN, the dropouts, LISTING_MENDED_FROM, the first one's
// byte, LISTING_MENDED_TAIL.
constexpr std::string_view LISTING_MENDED_IN = " бит(а) в ";
constexpr std::string_view LISTING_MENDED_FROM = " провалах, начиная с байта ";
// The head instead where the checksum allowed more than one fill and the
// likeliest was kept: the block is not proven.
constexpr std::string_view LISTING_GUESSED_HEAD = "\r\nНе проверено, восстановлено наиболее вероятно: ";
// Slips undone by a guess (no dropout): LISTING_GUESSED_HEAD, the slips,
// LISTING_SLIPS_FROM, the first one's byte, LISTING_MENDED_TAIL.
constexpr std::string_view LISTING_SLIPS_FROM = " сдвиг(а) бит с байта ";
// A block in other timings than the ROM's (a turbo loader's) has one more
// line after its start: LISTING_TIMING_HEAD, then the measured pilot pulse,
// pilot count, sync pulses and bit pulses in T-states, each after its
// word (a bit in several pulses: each pulse, joined by '+'), then a line
// break. Blocks in the ROM's timing never have it.
constexpr std::string_view LISTING_TIMING_HEAD = "Нестандартная скорость, такты:";
constexpr std::string_view LISTING_TIMING_PILOT = " пилот-тон ";
constexpr std::string_view LISTING_TIMING_COUNT = " x ";
constexpr std::string_view LISTING_TIMING_SYNC = ", синхросигнал ";
constexpr std::string_view LISTING_TIMING_ZERO = ", ноль ";
constexpr std::string_view LISTING_TIMING_ONE = ", единица ";
// Data with no pilot and no sync says so in their place.
constexpr std::string_view LISTING_TIMING_NO_PILOT = " без пилот-тона и синхросигнала";

// Converts UTF-8 text made of ASCII and the Cyrillic letters А–я, Ё and ё
// into Windows-1251. Any other character becomes '?'.
std::string ToWindows1251(std::string_view utf8);

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPE_TAPE_FORMAT_H_
