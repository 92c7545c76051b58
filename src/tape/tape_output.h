// The sinks that write the classic outputs: the tape image and the listing
// (formats in tape/tape_format.h), each into one file of an output set.
#ifndef TAPEDECODER_TAPE_TAPE_OUTPUT_H_
#define TAPEDECODER_TAPE_TAPE_OUTPUT_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/output_set.h"
#include "tape/block_decoder.h"

namespace tapedecoder {

// Writes each block with bytes as one or more .tap records into output
// `index` of `set`: a block longer than TAP_RECORD_MAX_BYTES goes out as
// consecutive records of at most that many bytes, so no byte is lost and
// the records after it stay readable. Blocks without bytes are skipped.
// `set` must outlive the writer.
class CTapImageWriter : public BlockSink {
 public:
  CTapImageWriter(COutputSet& set, int index) : m_set(set), m_index(index) {}
  void Take(const TapeBlock& block) override;

 private:
  COutputSet& m_set;
  int m_index;
};

// Writes the listing into output `index` of `set`: for every block the
// block start text, for a block in other timings its timing line, its
// bytes as two lowercase hex digits and a space, 30 to a line, then, when
// it has bytes, the block end line with the count and the checksum
// verdict. `set` must outlive the writer.
class CListingWriter : public BlockSink {
 public:
  CListingWriter(COutputSet& set, int index);
  void Take(const TapeBlock& block) override;

 private:
  void Write(std::string_view text);

  COutputSet& m_set;
  int m_index;
  // The listing texts in Windows-1251.
  std::string m_blockStart;
  std::string m_blockEndHead;
  std::string m_blockEndTail;
  std::string m_verdictGood;
  std::string m_verdictBad;
  // head, middle, tail; in several dropouts: in, from; the head from a copy;
  // the head of a guess; after a guess at slips, from
  std::string m_mended[8];
  std::string m_timing[7];  // LISTING_TIMING_HEAD ... LISTING_TIMING_ONE, LISTING_TIMING_NO_PILOT
};

// Keeps every block it is given.
class CBlockCollector : public BlockSink {
 public:
  void Take(const TapeBlock& block) override { m_blocks.push_back(block); }
  const std::vector<TapeBlock>& Blocks() const { return m_blocks; }

 private:
  std::vector<TapeBlock> m_blocks;
};

// Counts the blocks with bytes, and how many of them verify.
class CBlockTally : public BlockSink {
 public:
  void Take(const TapeBlock& block) override;
  int Blocks() const { return m_good + m_bad; }
  int GoodBlocks() const { return m_good; }
  int BadBlocks() const { return m_bad; }

 private:
  int m_good = 0;
  int m_bad = 0;
};

// Hands every block to each of several sinks, in order.
class CSinkFan : public BlockSink {
 public:
  explicit CSinkFan(std::vector<BlockSink*> sinks) : m_sinks(std::move(sinks)) {}
  void Take(const TapeBlock& block) override {
    for (BlockSink* sink : m_sinks) sink->Take(block);
  }

 private:
  std::vector<BlockSink*> m_sinks;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPE_TAPE_OUTPUT_H_
