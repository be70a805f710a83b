#include "raw/FileMP3Analyser.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstring>

#include "OnDiskBytes.h"
#include "raw/RawCutCheck.h"
#include "raw/RawFileBuffer.h"

using ondisk::Be32;

namespace {

// kbit/s by [MPEG-1?0:1][layer-1][index].
constexpr uint16_t kBitrates[2][3][16] = {{{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
                                           {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
                                           {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
                                          {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
                                           {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
                                           {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}}};
// Hz by version (0: 2.5, 2: 2, 3: 1) and index.
constexpr uint32_t kRates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

constexpr uint64_t kAudioLimit = 4362076160ull;
constexpr uint64_t kFrameWalkLimit = 2181038079ull;
constexpr uint64_t kMinFrameWalkSize = 10240;
constexpr uint32_t kSearchSpan = 65536;

// Set when an analyser is made: the next frame walk forgets the last file.
std::atomic<bool> g_clearLast{false};

std::string Convert(const char* from, const uint8_t* text, size_t length, bool* ok) {
  *ok = false;
  iconv_t cd = iconv_open("UTF-8", from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string out(length * 4 + 4, '\0');
  char* in = const_cast<char*>(reinterpret_cast<const char*>(text));
  size_t inLeft = length;
  char* dst = out.data();
  size_t outLeft = out.size();
  const size_t r = iconv(cd, &in, &inLeft, &dst, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return {};
  out.resize(out.size() - outLeft);
  *ok = true;
  return out;
}

// Text up to its first NUL.
std::string UpToNul(std::string s) {
  const size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
  return s;
}

bool IsTagHead(const uint8_t* p) { return p[0] == 'T' && p[1] == 'A' && p[2] == 'G'; }
bool IsApeHead(const uint8_t* p) { return std::memcmp(p, "APETAGEX", 8) == 0 && p[8] == 0xD0; }
bool IsId3Head(const uint8_t* p) { return p[0] == 'I' && p[1] == 'D' && p[2] == '3' && (p[3] == 3 || p[3] == 4); }

// Frames further that must follow a frame found across a gap, each where
// the one before ends and of the same stream, before it is believed: in
// foreign bytes a header-like pattern turns up every few kilobytes, four in
// a row practically never.
constexpr int kConfirmingFrames = 3;
// Bytes read at a frame: its header and a VBR header's tag.
constexpr size_t kFrameLook = 48;

// Channel modes that one stream may mix: encoders switch a frame between
// plain and joint stereo, never to dual channel or mono.
int ChannelClass(int mode) { return mode == 3 ? 2 : mode == 2 ? 1 : 0; }

bool SameStream(const CMPAHeader& a, const CMPAHeader& b) {
  return a.m_version == b.m_version && a.m_layer == b.m_layer && a.m_samplerate == b.m_samplerate &&
         ChannelClass(a.m_channelMode) == ChannelClass(b.m_channelMode);
}

// Whether a layer III frame carries a VBR header ("Xing", "Info" after the
// side information, or "VBRI"): encoders write one only into a file's first
// frame.
bool CarriesVbrHeader(const uint8_t* frame, const CMPAHeader& h) {
  if (h.m_layer != 3) return false;
  const bool mono = h.m_channelMode == 3;
  const size_t side = h.m_version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  const uint8_t* tag = frame + 4 + (h.m_crc ? 2 : 0) + side;
  return std::memcmp(tag, "Xing", 4) == 0 || std::memcmp(tag, "Info", 4) == 0 ||
         std::memcmp(frame + 36, "VBRI", 4) == 0;
}

// CRC-16 of polynomial 0x8005, bits taken from the bottom, starting from 0:
// LAME's checksum of a stream's music.
uint16_t MusicCrc(uint16_t crc, const uint8_t* bytes, size_t n) {
  static const auto kTable = [] {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i;
      for (int bit = 0; bit < 8; ++bit) r = (r & 1) != 0 ? (r >> 1) ^ 0xA001u : r >> 1;
      table[i] = static_cast<uint16_t>(r);
    }
    return table;
  }();
  for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ bytes[i]) & 0xFF]);
  return crc;
}

// Whether a file that ends at `end` with an ID3v1 tag has text in its
// fields (no control characters; the byte after a comment's closing zero
// may be a track number): a tag cut short has other bytes in its last
// fields. True when the file does not end with such a tag.
bool ClosingTagHolds(RawFileBuffer& buffer, uint64_t end) {
  const uint8_t* tag = end >= 128 ? buffer.Get(end - 128, 128) : nullptr;
  if (tag == nullptr || !IsTagHead(tag)) return true;
  for (int i = 3; i < 127; ++i) {
    const bool track = i == 126 && tag[125] == 0;
    if (tag[i] != 0 && tag[i] < 0x20 && !track) return false;
  }
  return true;
}

// The encoder's header in the layer III frame at `first`, as far as the
// check of its byte count needs it.
struct EncoderCount {
  bool present = false;  // "Xing" or "Info" with the stream's byte count
  CMPAHeader stream;     // the frame's
  uint64_t bytes = 0;
  bool summed = false;  // LAME's checksum covers the music up to the count
  uint16_t music = 0;
};

EncoderCount ReadEncoderCount(RawFileBuffer& buffer, uint64_t first) {
  EncoderCount out;
  const uint8_t* f = buffer.Get(first, kFrameLook);
  if (f == nullptr || !IsMPAFrame(f, out.stream) || out.stream.m_layer != 3) return out;
  const CMPAHeader& stream = out.stream;
  const bool mono = stream.m_channelMode == 3;
  const uint64_t tag =
      first + 4 + (stream.m_crc ? 2 : 0) + (stream.m_version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17));
  const uint8_t* t = buffer.Get(tag, 8 + 4 + 4 + 100 + 4 + 36);
  if (t == nullptr || (std::memcmp(t, "Xing", 4) != 0 && std::memcmp(t, "Info", 4) != 0)) return out;
  const uint32_t flags = Be32(t + 4);
  if ((flags & 2) == 0) return out;  // no byte count
  const uint64_t fields = 8 + ((flags & 1) != 0 ? 4 : 0);
  out.present = true;
  out.bytes = Be32(t + fields);
  const uint64_t lame = fields + 4 + ((flags & 4) != 0 ? 100 : 0) + ((flags & 8) != 0 ? 4 : 0);
  // LAME's extension: the music's length and checksum, when its length is
  // the byte count (the encoder's name first, in letters).
  bool named = true;
  for (int i = 0; i < 4; ++i) named = named && std::isalpha(t[lame + i]) != 0;
  out.summed = named && Be32(t + lame + 28) == out.bytes;
  out.music = static_cast<uint16_t>(t[lame + 32] << 8 | t[lame + 33]);
  return out;
}

}  // namespace

uint64_t EncoderCountEnd(RawFileBuffer& buffer, uint64_t first) {
  const EncoderCount count = ReadEncoderCount(buffer, first);
  return count.present ? first + count.bytes : 0;
}

bool EncoderCountHolds(RawFileBuffer& buffer, uint64_t first, uint64_t* musicEnd, bool framesMeetCount) {
  const EncoderCount count = ReadEncoderCount(buffer, first);
  if (!count.present) return true;
  // The frames of the stream, one straight after the other, up to the count.
  const uint64_t end = first + count.bytes;
  const uint64_t body = first + count.stream.CalcFrameSize();
  uint64_t p = framesMeetCount ? end : first;
  while (p < end) {
    const uint8_t* b = buffer.Get(p, 4);
    CMPAHeader h;
    if (b == nullptr || !IsMPAFrame(b, h) || !SameStream(count.stream, h)) return false;
    p += h.CalcFrameSize();
  }
  if (p != end) return false;
  static thread_local RawRereadBudget budget;
  if (!count.summed || body > end) return true;
  if (!MayReadForCheck(budget, buffer, end)) return false;
  uint16_t crc = 0;
  if (!buffer.ForEachPiece(body, end - body, [&](const uint8_t* b, size_t n) { crc = MusicCrc(crc, b, n); }) ||
      crc != count.music) {
    return false;
  }
  if (musicEnd != nullptr) *musicEnd = end;
  return true;
}

namespace {

// Holds a stream sized to `info.m_size`, whose first frame lies at `first`,
// to its encoder's count and checksum and to its closing tag: one that does
// not hold is marked end-unknown; one whose music the checksum covers is its
// own up to the count's end (and whole when that is its end and the walk
// met no limit). `framesMeetCount`: the walk that sized it already found
// its frames one straight after the other from `first` to the count.
void HoldToEncoder(CRawFileInfo& info, RawFileBuffer& buffer, uint64_t first, bool limited, bool framesMeetCount) {
  uint64_t summed = 0;
  if (!EncoderCountHolds(buffer, first, &summed, framesMeetCount) || !ClosingTagHolds(buffer, info.m_size)) {
    MarkEndUnknown(info);
    return;
  }
  info.m_provenTo = std::max(info.m_provenTo, summed);
  if (!limited && info.m_provenTo >= info.m_size) info.m_whole = true;
}

}  // namespace

bool CMPAHeader::Init(const uint8_t* h) {
  m_version = (h[1] >> 3) & 3;
  const int layerBits = (h[1] >> 1) & 3;
  const int bitrateIndex = h[2] >> 4;
  const int rateIndex = (h[2] >> 2) & 3;
  m_emphasis = h[3] & 3;
  if (m_version == 1 || layerBits == 0 || bitrateIndex == 15 || bitrateIndex == 0 || rateIndex == 3 || m_emphasis == 2)
    return false;
  m_lsf = m_version != 3;
  m_layer = 4 - layerBits;
  m_crc = (h[1] & 1) == 0;
  m_bitrate = uint32_t{kBitrates[m_lsf ? 1 : 0][m_layer - 1][bitrateIndex]} * 1000;
  m_samplerate = kRates[m_version][rateIndex];
  m_padding = (h[2] >> 1) & 1;
  m_private = (h[2] & 1) != 0;
  m_channelMode = h[3] >> 6;
  m_modeExtension = (h[3] >> 4) & 3;
  m_copyright = (h[3] & 8) != 0;
  m_original = (h[3] & 4) != 0;
  m_samplesPerFrame = m_layer == 1 ? 384 : (m_layer == 3 && m_lsf ? 576 : 1152);
  m_allowedMode = true;
  if (!m_lsf && m_layer == 2) {
    const uint32_t kbit = m_bitrate / 1000;
    if (m_channelMode == 3)
      m_allowedMode = kbit <= 192;
    else
      m_allowedMode = kbit == 64 || kbit >= 96;
    if (!m_allowedMode) return false;
  }
  return true;
}

uint32_t CMPAHeader::CalcFrameSize() const {
  if (m_layer == 1) return (12 * m_bitrate / m_samplerate + m_padding) * 4;
  const uint32_t coefficient = m_layer == 3 && m_lsf ? 72 : 144;
  return coefficient * m_bitrate / m_samplerate + m_padding;
}

bool IsMPAFrame(const uint8_t* p, CMPAHeader& header) {
  return p[0] == 0xFF && p[1] >= 0xE0 && p[2] < 0xF0 && header.Init(p);
}

int64_t SynchsafeSize(const uint8_t* p) {
  if (((p[0] | p[1] | p[2] | p[3]) & 0x80) != 0) return -1;
  return (int64_t{p[0]} << 21) | (int64_t{p[1]} << 14) | (int64_t{p[2]} << 7) | int64_t{p[3]};
}

std::string GetTagValue(const uint8_t* data, uint64_t size) {
  constexpr uint64_t kMax = 1023;
  if (size < 2) return {};
  const uint8_t* text = data + 1;
  const size_t length = static_cast<size_t>(std::min<uint64_t>(size - 1, kMax));
  bool ok = false;
  switch (data[0]) {
    case 3:
      return UpToNul(std::string(reinterpret_cast<const char*>(text), length));
    case 0: {
      std::string raw = UpToNul(std::string(reinterpret_cast<const char*>(text), length));
      std::string out = Convert("LATIN1", reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), &ok);
      if (ok) return out.substr(0, kMax);
      for (char& c : raw) {
        if ((static_cast<unsigned char>(c) & 0x80) != 0) c = '_';
      }
      return raw;
    }
    case 1: {
      if (size < 4 || text[0] != 0xFF || text[1] != 0xFE) return {};
      size_t units = (length - 2) / 2;
      for (size_t i = 0; i < units; ++i) {
        if (text[2 + 2 * i] == 0 && text[3 + 2 * i] == 0) {
          units = i;
          break;
        }
      }
      std::string out = Convert("UTF-16LE", text + 2, units * 2, &ok);
      if (!ok) return {};
      // Cut at a character boundary.
      size_t cut = std::min<size_t>(out.size(), kMax);
      while (cut > 0 && cut < out.size() && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
      return out.substr(0, cut);
    }
    default:
      return {};
  }
}

FileMP3Analyser::FileMP3Analyser() : IRawFileAnalyser(RAW_TYPE_MP3) { g_clearLast = true; }

void FileMP3Analyser::InitMemValue() {
  m_name.clear();
  m_time.clear();
  m_artist.clear();
  m_tag = RAW_FILE_TAG_NONE;
  m_tagValue.clear();
}

uint32_t FileMP3Analyser::AnalyseBuffer(unsigned char* s, CRawFileInfo& info) {
  CMPAHeader header;
  if (!IsId3Head(s) && !IsMPAFrame(s, header)) return 0;
  info.m_type = RAW_TYPE_MP3;
  return 1;
}

uint32_t FileMP3Analyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
  InitMemValue();
  info.m_whole = false;
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* h = buffer.Get(0, 64);
  if (h == nullptr) return 0;
  if (!IsId3Head(h)) {
    CMPAHeader header;
    if (h[0] == 0xFF && h[1] == 0xFB) {
      // The VBR header sizes the file only when it carries its byte count
      // (flag bit 1) and a plausible frame count; otherwise the frames do.
      if ((h[2] == 0xE0 || h[2] == 0xB0) &&
          (std::memcmp(h + 36, "Xing", 4) == 0 || std::memcmp(h + 36, "Info", 4) == 0) && (h[43] & 2) != 0 &&
          Be32(h + 48) > 64)
        return GetRawFileSizeXING(info, device);
      return GetRawFileSizeFromFrame(info, device);
    }
    if (IsMPAFrame(h, header)) return GetRawFileSizeFromFrame(info, device);
  }
  if (h[0] != 'I' || h[1] != 'D' || h[2] != '3') return 0;
  const int64_t tagSize = SynchsafeSize(h + 6);
  if (tagSize < 0) return 0;
  const bool v4 = h[3] == 4;
  // Frames up to the tag's end; a frame that passes it ends the list.
  for (uint64_t at = 10; at + 10 <= static_cast<uint64_t>(tagSize) + 10;) {
    const uint8_t* frame = buffer.Get(at, 10);
    if (frame == nullptr) break;
    const int64_t size = v4 ? SynchsafeSize(frame + 4) : int64_t{Be32(frame + 4)};
    if (size <= 0 || at + 10 + static_cast<uint64_t>(size) > static_cast<uint64_t>(tagSize) + 10) break;
    // Version 2.4 tags keep the year in TDRC (recording time) instead of TYER.
    std::string* field = std::memcmp(frame, "TIT2", 4) == 0                                         ? &m_name
                         : std::memcmp(frame, "TPE1", 4) == 0                                       ? &m_artist
                         : std::memcmp(frame, "TYER", 4) == 0 || std::memcmp(frame, "TDRC", 4) == 0 ? &m_time
                                                                                                    : nullptr;
    if (field != nullptr && field->empty()) {
      const uint64_t take = std::min<uint64_t>(static_cast<uint64_t>(size), 1024);
      const uint8_t* data = buffer.Get(at + 10, static_cast<size_t>(take));
      if (data != nullptr) *field = GetTagValue(data, take);
    }
    at += 10 + static_cast<uint64_t>(size);
  }
  const uint64_t start = static_cast<uint64_t>(tagSize) + 10;
  bool met = false;
  const AudioEnd audio = FollowFrames(buffer, start, kAudioLimit, false, EncoderCountEnd(buffer, start), &met);
  const uint64_t end = audio.end;
  if (end <= start) return 0;
  if (m_time.size() > 4) m_time.resize(4);
  m_tagValue = FilterRawFileName(m_artist);
  // Without title and artist the file keeps the plain "FILE" name, not "_".
  if (!m_name.empty() || !m_tagValue.empty()) info.SetRawFileName(m_name + "_" + m_tagValue);
  info.m_timeText = m_time;
  if (!m_tagValue.empty()) m_tag = RAW_FILE_TAG_ARTIST;
  // Frames inside this file are no new files either.
  if (g_clearLast.exchange(false)) m_lastStart = -1;
  m_lastStart = static_cast<int64_t>(info.m_startSector);
  m_lastCount = static_cast<int64_t>((end + buffer.SectorSize() - 1) / buffer.SectorSize());
  info.m_type = RAW_TYPE_MP3;
  info.m_size = end;
  info.m_whole = !audio.limited && audio.proven == end;
  info.m_provenTo = audio.proven;
  HoldToEncoder(info, buffer, start, audio.limited, met);
  return 1;
}

bool FileMP3Analyser::Confirmed(RawFileBuffer& buffer, uint64_t at, const CMPAHeader& first) {
  CMPAHeader next;
  at += first.CalcFrameSize();
  for (int i = 0; i < kConfirmingFrames; ++i) {
    const uint8_t* b = buffer.Get(at, 4);
    if (b == nullptr || !IsMPAFrame(b, next) || !SameStream(first, next)) return false;
    at += next.CalcFrameSize();
  }
  return true;
}

FileMP3Analyser::AudioEnd FileMP3Analyser::FollowFrames(RawFileBuffer& buffer, uint64_t p, uint64_t limit,
                                                        bool firstAtP, uint64_t target, bool* metTarget) {
  const uint32_t sector = buffer.SectorSize();
  CMPAHeader stream, h;
  bool started = false;
  // Whether every frame so far followed the one before, from `p` on.
  bool straight = true;
  uint64_t end = p, last = p;
  // Whether a frame (of another stream) begins right where the last one
  // ends: that shows the last one whole.
  bool adjoined = false;
  while (true) {
    // Frames one straight after the other.
    while (true) {
      if (end > limit) return {end, true, last};
      const uint8_t* b = buffer.Get(end, kFrameLook);
      if (b == nullptr || !IsMPAFrame(b, h)) break;
      // A VBR header opens a file: the next one begins here.
      if (started && CarriesVbrHeader(b, h)) return {end, false, end};
      adjoined = started;
      if (started ? !SameStream(stream, h) : !Confirmed(buffer, end, h)) break;
      adjoined = false;
      if (!started) stream = h;
      started = true;
      last = end;
      end += h.CalcFrameSize();  // at least 4 bytes further: the walk always moves on
      if (straight && end == target && metTarget != nullptr) *metTarget = true;
    }
    straight = false;
    if (!started && firstAtP) return {p, false, p};
    if (started) {
      // Tags belong to the file only straight after its last frame.
      const uint8_t* b = buffer.Get(end, 32);
      if (b != nullptr && IsTagHead(b)) {
        const uint64_t tagged = ReadId3v1(buffer, end);
        return {tagged, false, tagged};
      }
      if (b != nullptr && IsApeHead(b)) {
        const uint64_t tagged = ApeTail(buffer, end);
        return {tagged, false, tagged == end ? last : tagged};
      }
    }
    // Across a gap, only a frame that a chain of frames confirms; a chain
    // that begins a sector of its own, or a frame with a VBR header, is the
    // next file.
    bool found = false;
    const uint64_t shown = adjoined ? end : last;
    for (uint32_t k = 1; k < kSearchSpan && !found; ++k) {
      const uint64_t at = end + k;
      if (at > limit) return {end, false, shown};
      const uint8_t* b = buffer.Get(at, kFrameLook);
      if (b == nullptr) return {end, false, shown};
      if (IsId3Head(b) && at % sector == 0 && SynchsafeSize(b + 6) >= 0) return {end, false, shown};
      if (!IsMPAFrame(b, h) || (started && !SameStream(stream, h)) || !Confirmed(buffer, at, h)) continue;
      if (started && (at % sector == 0 || CarriesVbrHeader(b, h))) return {end, false, shown};
      if (!started) stream = h;
      started = true;
      last = at;
      end = at + h.CalcFrameSize();
      found = true;
    }
    if (!found) return {end, false, shown};
    adjoined = false;
  }
}

uint64_t FileMP3Analyser::ReadId3v1(RawFileBuffer& buffer, uint64_t at) {
  const uint8_t* tag = buffer.Get(at, 128);
  if (tag != nullptr) {
    auto field = [&](std::string& out, size_t offset, size_t length) {
      if (out.empty())
        out = FilterRawFileName(UpToNul(std::string(reinterpret_cast<const char*>(tag + offset), length)));
    };
    field(m_name, 3, 30);
    field(m_artist, 33, 30);
    field(m_time, 93, 4);
  }
  return at + 128;
}

uint64_t ApeTagEnd(RawFileBuffer& buffer, uint64_t at) {
  // The header gives the length of the items and the footer behind them.
  constexpr uint32_t kHasHeader = 1u << 31, kIsHeader = 1u << 29;
  constexpr uint32_t kMaxTag = 16u << 20;
  const uint8_t* head = buffer.Get(at, 32);
  if (head == nullptr || !IsApeHead(head)) return at;
  const uint32_t size = ondisk::Le32(head + 12), flags = ondisk::Le32(head + 20);
  if ((flags & (kHasHeader | kIsHeader)) != (kHasHeader | kIsHeader) || size < 32 || size > kMaxTag) return at;
  const uint64_t end = at + 32 + size;
  const uint8_t* footer = buffer.Get(end - 32, 32);
  if (footer == nullptr || std::memcmp(footer, "APETAGEX", 8) != 0) return at;
  return end;
}

uint64_t FileMP3Analyser::ApeTail(RawFileBuffer& buffer, uint64_t at) {
  // An ID3v1 tag may follow the APE tag.
  const uint64_t end = ApeTagEnd(buffer, at);
  if (end == at) return at;
  const uint8_t* after = buffer.Get(end, 3);
  return after != nullptr && IsTagHead(after) ? ReadId3v1(buffer, end) : end;
}

uint32_t FileMP3Analyser::GetRawFileSizeXING(CRawFileInfo& info, IStorageDevice* device) {
  if (g_clearLast.exchange(false)) {
    m_lastStart = -1;
    m_lastCount = 0;
  }
  RawFileBuffer buffer(device, info.m_startSector);
  const uint8_t* h = buffer.Get(0, 64);
  if (h == nullptr) return 0;
  const uint64_t bytes = Be32(h + 48);
  const uint8_t* at = buffer.Get(bytes, 3);
  if (at == nullptr) return 0;
  info.m_type = RAW_TYPE_MP3;
  info.m_size = IsTagHead(at) ? bytes + 128 : bytes;
  // The count is the encoder's word; the file is whole when its frames
  // lead there too (the count then shows where the last one ends).
  bool met = false;
  const AudioEnd walked = FollowFrames(buffer, 0, kFrameWalkLimit, true, EncoderCountEnd(buffer, 0), &met);
  info.m_whole = walked.end == info.m_size;
  info.m_provenTo = walked.proven;
  // Its frames are no new files.
  m_lastStart = static_cast<int64_t>(info.m_startSector);
  m_lastCount = static_cast<int64_t>((info.m_size + buffer.SectorSize() - 1) / buffer.SectorSize());
  HoldToEncoder(info, buffer, 0, walked.limited, met);
  return 1;
}

uint32_t FileMP3Analyser::GetRawFileSizeFromFrame(CRawFileInfo& info, IStorageDevice* device) {
  if (g_clearLast.exchange(false)) {
    m_lastStart = -1;
    m_lastCount = 0;
  }
  const int64_t start = static_cast<int64_t>(info.m_startSector);
  if (m_lastStart >= 0 && start > m_lastStart && start < m_lastStart + m_lastCount) return 0;
  RawFileBuffer buffer(device, info.m_startSector);
  bool met = false;
  const AudioEnd audio = FollowFrames(buffer, 0, kFrameWalkLimit, true, EncoderCountEnd(buffer, 0), &met);
  const uint64_t size = audio.end;
  if (size == 0 || (!audio.limited && size < kMinFrameWalkSize)) return 0;
  const uint32_t sector = buffer.SectorSize();
  const int64_t count = static_cast<int64_t>((size + sector - 1) / sector);
  if (m_lastStart >= 0 && start + count >= m_lastStart && start + count <= m_lastStart + m_lastCount) return 0;
  // Told by its first frame's sync alone, unless that frame carries a VBR
  // header.
  CMPAHeader first;
  const uint8_t* head = buffer.Get(0, kFrameLook);
  info.m_weakHead = head == nullptr || !IsMPAFrame(head, first) || !CarriesVbrHeader(head, first);
  m_lastStart = start;
  m_lastCount = count;
  info.m_type = RAW_TYPE_MP3;
  info.m_size = size;
  info.m_whole = !audio.limited && audio.proven == size;
  info.m_provenTo = audio.proven;
  HoldToEncoder(info, buffer, 0, audio.limited, met);
  return 1;
}
