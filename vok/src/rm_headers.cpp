#include "rm_headers.h"

#include <cstring>

#include "be_bytes.h"

namespace {

constexpr uint32_t kPropSize = 50;

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

// MDPR: the fixed fields, then a length-prefixed name and mime type, then the
// type-specific data. Anything running past the chunk is damage.
bool read_mdpr(Reader& in, uint64_t off, uint32_t size, Stream& s, std::string& mime) {
  const uint8_t* p = in.at(off, size < Reader::kMaxSpan ? size : Reader::kMaxSpan);
  if (!p || size < 41) return false;
  size_t avail = size < Reader::kMaxSpan ? size : Reader::kMaxSpan;
  s.chunk = off;
  s.number = be::u16(p + 10);
  s.max_bit_rate = be::u32(p + field::kMdprMaxBitRate);
  s.avg_bit_rate = be::u32(p + field::kMdprAvgBitRate);
  s.max_packet = be::u32(p + field::kMdprMaxPacket);
  s.avg_packet = be::u32(p + field::kMdprAvgPacket);
  s.duration = be::u32(p + field::kMdprDuration);
  size_t pos = 40 + 1 + p[40];
  if (pos >= avail) return false;
  size_t mime_len = p[pos];
  if (pos + 1 + mime_len + 4 > avail) return false;
  mime.assign(reinterpret_cast<const char*>(p + pos + 1), mime_len);
  pos += 1 + mime_len;
  uint32_t ts_len = be::u32(p + pos);
  pos += 4;
  if (ts_len > avail - pos) return false;
  s.physical = !starts_with(mime, "logical-");
  if (s.physical) read_codec(p + pos, ts_len, s.codec);
  s.video = s.physical && (s.codec.kind == CodecKind::Video || starts_with(mime, "video/"));
  return true;
}

void read_prop(const uint8_t* p, uint64_t off, Prop& prop) {
  prop.chunk = off;
  prop.max_bit_rate = be::u32(p + field::kPropMaxBitRate);
  prop.avg_bit_rate = be::u32(p + field::kPropAvgBitRate);
  prop.max_packet = be::u32(p + field::kPropMaxPacket);
  prop.avg_packet = be::u32(p + field::kPropAvgPacket);
  prop.num_packets = be::u32(p + field::kPropNumPackets);
  prop.duration = be::u32(p + field::kPropDuration);
  prop.index_offset = be::u32(p + field::kPropIndexOffset);
  prop.data_offset = be::u32(p + field::kPropDataOffset);
  prop.flags = be::u16(p + field::kPropFlags);
}

}  // namespace

int physical_stream(const Headers& h, uint16_t number) {
  for (size_t i = 0; i < h.streams.size(); ++i)
    if (h.streams[i].physical && h.streams[i].number == number) return int(i);
  return -1;
}

HeaderVerdict read_headers(Reader& in, Headers& h, std::string& why) {
  const uint8_t* p = in.at(0, 18);
  if (p && be::tag_is(p, ".RMP")) return why = "64-bit RealMedia variant (.RMP)", HeaderVerdict::Variant64;
  if (!p || !be::tag_is(p, ".RMF")) return why = "not a RealMedia file", HeaderVerdict::NotRealMedia;
  uint32_t rmf_size = be::u32(p + 4);
  if (rmf_size < 18 || rmf_size > in.size()) return why = "damaged file header", HeaderVerdict::Damaged;
  h.num_headers = be::u32(p + field::kRmfNumHeaders);
  bool have_prop = false;
  for (uint64_t off = rmf_size;;) {
    p = in.at(off, 10);
    if (!p) return why = "no DATA chunk", HeaderVerdict::Damaged;
    uint32_t size = be::u32(p + 4);
    uint16_t version = be::u16(p + 8);
    if (be::tag_is(p, "DATA")) {
      if (version == 2) return why = "64-bit DATA chunk", HeaderVerdict::Variant64;
      p = in.at(off, field::kDataHeaderSize);
      if (!p || version != 0 || !have_prop) return why = "damaged headers", HeaderVerdict::Damaged;
      h.data = off;
      h.data_size = size;
      h.data_num_packets = be::u32(p + field::kDataNumPackets);
      h.data_next = be::u32(p + field::kDataNext);
      return HeaderVerdict::Ok;
    }
    if (size < 10 || size > in.size() - off) return why = "damaged headers", HeaderVerdict::Damaged;
    ++h.header_chunks;
    if (be::tag_is(p, "PROP")) {
      if (version == 2) return why = "64-bit PROP chunk", HeaderVerdict::Variant64;
      if (version != 0 || size < kPropSize || have_prop || !(p = in.at(off, kPropSize)))
        return why = "damaged PROP chunk", HeaderVerdict::Damaged;
      read_prop(p, off, h.prop);
      have_prop = true;
    } else if (be::tag_is(p, "MDPR")) {
      Stream s;
      std::string mime;
      if (!read_mdpr(in, off, size, s, mime)) return why = "damaged MDPR chunk", HeaderVerdict::Damaged;
      if (s.physical && physical_stream(h, s.number) >= 0)
        return why = "two streams with one number", HeaderVerdict::Damaged;
      if (mime.find("multirate") != std::string::npos) h.multirate = true;
      h.streams.push_back(s);
    }
    off += size;
  }
}
