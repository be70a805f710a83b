// MP3 audio: recognised by an ID3v2 tag or an MPEG audio frame header, sized
// from a XING/Info header or by following the frames of its stream up to the
// last one and the ID3v1 or APE tag right after it, named from the ID3 title
// and artist.
#pragma once

#include <cstdint>
#include <string>

#include "raw/RawFileAnalyser.h"

class RawFileBuffer;

// One MPEG-1/2/2.5 audio frame header (layers I-III).
class CMPAHeader {
 public:
  // Whether the four bytes are an acceptable header; the sync bits are the
  // caller's to test.
  bool Init(const uint8_t* header);
  // The frame's length in bytes, header included.
  uint32_t CalcFrameSize() const;

  int m_version = 0;  // 0: 2.5, 2: 2, 3: 1
  bool m_lsf = false;
  int m_layer = 0;  // 1-3
  bool m_crc = false;
  uint32_t m_bitrate = 0;     // bit/s
  uint32_t m_samplerate = 0;  // Hz
  uint32_t m_padding = 0;
  uint32_t m_samplesPerFrame = 0;
  bool m_private = false;
  int m_channelMode = 0;
  int m_modeExtension = 0;
  bool m_copyright = false;
  bool m_original = false;
  int m_emphasis = 0;
  bool m_allowedMode = true;
};

// Sync bits and an acceptable header at `p`.
bool IsMPAFrame(const uint8_t* p, CMPAHeader& header);

// Text of an ID3 text frame (encoding byte first) as UTF-8: ISO-8859-1 and
// UTF-16 with a byte-order mark are converted; at most 1,023 bytes.
std::string GetTagValue(const uint8_t* data, uint64_t size);

// The 28-bit synchsafe integer at `p`, or -1 when a byte has its top bit set.
int64_t SynchsafeSize(const uint8_t* p);

// The end of the APE tag whose header is at `at` (header, items and
// footer), or `at` when no such tag is there.
uint64_t ApeTagEnd(RawFileBuffer& buffer, uint64_t at);

// Whether the stream whose first frame lies at `first` holds to the
// encoder's header in that frame ("Xing" or "Info" with the stream's byte
// count; LAME's with the checksum of its music): its frames, one straight
// after the other, reach exactly the count, and the music's checksum
// matches. True when the frame carries no such header (a stream without one
// cannot tell where it ends). Where the checksum matched, `musicEnd` (when
// given) gets where the music it covers ends. `framesMeetCount`: a walk
// already found the frames one straight after the other up to the count.
bool EncoderCountHolds(RawFileBuffer& buffer, uint64_t first, uint64_t* musicEnd = nullptr,
                       bool framesMeetCount = false);
// Where the byte count of the encoder's header in the frame at `first`
// ends the stream, or 0 where it carries none.
uint64_t EncoderCountEnd(RawFileBuffer& buffer, uint64_t first);

class FileMP3Analyser : public IRawFileAnalyser {
 public:
  FileMP3Analyser();
  uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
  uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
  std::string GetRawFileName() override { return m_name; }
  std::string GetRawFileTime() override { return m_time; }
  uint32_t GetRawFileSizeXING(CRawFileInfo& info, IStorageDevice* device);
  uint32_t GetRawFileSizeFromFrame(CRawFileInfo& info, IStorageDevice* device);

  int GetTag() const { return m_tag; }
  const std::string& GetTagValueText() const { return m_tagValue; }

 private:
  struct AudioEnd {
    uint64_t end;  // bytes from the file's start
    bool limited;  // the walk reached its limit
    // Up to where a frame or tag right behind each frame shows it whole:
    // the start of the last frame, whose length alone says where it ends,
    // unless a tag or the next file's frame follows it.
    uint64_t proven;
  };
  void InitMemValue();
  // The end of the audio that starts at `p` (or after it, unless
  // `firstAtP`): frames of one stream that follow each other without a gap
  // (or, across a gap, that a chain of frames confirms), and an ID3v1 or APE
  // tag right after the last; `p` when there is none. Fills missing names
  // from an ID3v1 tag. `metTarget` (when given) is set where frames one
  // straight after the other from `p` on end exactly at `target`.
  AudioEnd FollowFrames(RawFileBuffer& buffer, uint64_t p, uint64_t limit, bool firstAtP, uint64_t target = 0,
                        bool* metTarget = nullptr);
  // Whether the frame at `at` is followed by a chain of frames of its stream.
  static bool Confirmed(RawFileBuffer& buffer, uint64_t at, const CMPAHeader& first);
  // The end of the ID3v1 tag at `at`, whose fields fill missing names.
  uint64_t ReadId3v1(RawFileBuffer& buffer, uint64_t at);
  // The end of the APE tag (and an ID3v1 tag behind it) at `at`; `at` when
  // its header does not hold.
  uint64_t ApeTail(RawFileBuffer& buffer, uint64_t at);

  std::string m_name, m_time, m_artist;
  int m_tag = RAW_FILE_TAG_NONE;
  std::string m_tagValue;
  int64_t m_lastStart = -1;
  int64_t m_lastCount = 0;
};
