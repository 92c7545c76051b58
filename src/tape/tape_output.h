// The two output files of a conversion: the tape image and the listing.
#ifndef TAPEDECODER_TAPE_TAPE_OUTPUT_H_
#define TAPEDECODER_TAPE_TAPE_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace tapedecoder {

// Writes TITLE.tap and TITLE.txt (formats in tape/tape_format.h).
//
// Both files are first written to temporaries in the folder of TITLE and
// only renamed over TITLE.tap and TITLE.txt by a Close that finds every
// write and close successful. Until then, and whenever anything fails, an
// existing pair of that name stays as it was and no temporary is left.
//
// One conversion calls Open once; when it succeeds, for each recognised
// sync BeginBlock, any number of ListByte and at most one EndBlock; then
// Close (or Discard to give up). A failed write is remembered (Failed()),
// later writes are skipped, and Close then reports false.
class CTapeOutput {
 public:
  CTapeOutput();
  // Discards the temporaries unless Close has committed them.
  ~CTapeOutput();
  CTapeOutput(const CTapeOutput&) = delete;
  CTapeOutput& operator=(const CTapeOutput&) = delete;

  // Creates both temporaries in the folder of `title` (which may name a
  // folder, e.g. "out/game"; without one, the current directory). Both are
  // attempted; if either cannot be created, the other is removed and the
  // result is false. Nothing named TITLE.tap or TITLE.txt is touched.
  // Fails at once, creating nothing, when TITLE.tap or TITLE.txt exists
  // and is read-only for everyone, or is a folder or a special file.
  bool Open(const std::string& title);

  // Writes the block start text and starts a new listing line count.
  void BeginBlock();

  // Lists one completed byte as two lowercase hex digits and a space,
  // after a line break when the current line already holds 30 entries.
  void ListByte(std::uint8_t value);

  // Ends a block of `count` bytes: the block end line with the count, the
  // tape record(s) and the checksum verdict. The checksum is good when the
  // exclusive OR of every byte but the last equals the last byte (so a
  // one-byte block holding 0 is good). A block longer than 65535 bytes is
  // written as consecutive records of at most 65535 bytes each. Does not
  // touch the listing line count. REQUIRES: count > 0 (0 writes nothing).
  void EndBlock(const std::uint8_t* bytes, std::size_t count);

  // Closes the listing, then the tape image, and when every write and close
  // succeeded renames the tape image over TITLE.tap and then the listing
  // over TITLE.txt. Returns true when both are in place. On failure the
  // temporaries are removed and the earlier pair stays, except when only
  // the second rename fails: TITLE.tap is then already the new one.
  bool Close();

  // Closes and removes the temporaries; TITLE.tap and TITLE.txt stay as
  // they were. Does nothing when nothing is open.
  void Discard();

  // True once a write or close has failed.
  bool Failed() const { return m_failed; }
  // Why Open, a write or Close failed, in English; empty otherwise.
  const std::string& ErrorDetail() const { return m_errorDetail; }

  // Blocks ended so far, and how many of them with a good or bad checksum.
  int Blocks() const { return m_goodBlocks + m_badBlocks; }
  int GoodBlocks() const { return m_goodBlocks; }
  int BadBlocks() const { return m_badBlocks; }

 private:
  // One output file: its stream, the temporary it is written to and the
  // name it gets when committed.
  struct File {
    std::FILE* stream = nullptr;
    std::string tempPath;
    std::string finalPath;
  };

  void WriteTape(const void* bytes, std::size_t count);
  void WriteListing(std::string_view text);
  void Write(File& file, const void* bytes, std::size_t count);
  void Fail(const std::string& what, int error);

  File m_tape;
  File m_listing;
  int m_column = 0;  // byte entries on the current listing line, 0..30
  bool m_failed = false;
  std::string m_errorDetail;
  int m_goodBlocks = 0;
  int m_badBlocks = 0;
  // The listing texts in Windows-1251.
  std::string m_blockStart;
  std::string m_blockEndHead;
  std::string m_blockEndTail;
  std::string m_verdictGood;
  std::string m_verdictBad;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPE_TAPE_OUTPUT_H_
