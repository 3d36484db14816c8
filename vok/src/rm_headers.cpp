// A demuxer reads the header chunks field after field and takes the next
// chunk to start where the fields end, so a chunk whose fields do not fill
// it exactly is damage even where its size field is right. Damage is
// mended where the rest of the file says what the bytes were: a size from
// the fields and the next chunk's tag, a stream type from its codec data;
// PROP, CONT and DATA's header are made anew from the packets.
#include "rm_headers.h"

#include <algorithm>
#include <cstring>

#include "be_bytes.h"
#include "chunks.h"

namespace {

constexpr uint64_t kSearch = 1 << 20;      // how far junk before the file header may reach
constexpr uint64_t kHeaderGap = 64 << 10;  // how far a damaged header chunk may reach
constexpr uint32_t kMaxMdpr = 1 << 18;     // larger is not a stream header

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

bool printable(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return !s.empty();
}

bool known_chunk_at(Reader& in, uint64_t off) { return chunk_at(in, off).header(); }

// Where a header chunk may end: the next chunk, or the end of the file.
bool boundary_at(Reader& in, uint64_t off) { return off == in.size() || known_chunk_at(in, off); }

uint64_t find_header_chunk(Reader& in, uint64_t from, uint64_t limit) {
  return find_chunk(in, from, limit, "PMCD", [](const ChunkAt& c) { return c.header(); });
}

void read_prop(const uint8_t* p, uint64_t off, Prop& prop) {
  prop.chunk = off;
  prop.found = true;
  prop.num_packets = be::u32(p + field::kPropNumPackets);
  prop.index_offset = be::u32(p + field::kPropIndexOffset);
  prop.data_offset = be::u32(p + field::kPropDataOffset);
  prop.num_streams = be::u16(p + field::kPropNumStreams);
}

// CONT: four strings, each with a two-byte length. The size its fields
// fill, or 0 when they run past `limit`.
uint64_t cont_fields_end(Reader& in, uint64_t off, uint64_t limit) {
  uint64_t at = off + 10;
  for (int i = 0; i < 4; ++i) {
    uint8_t b[2];
    if (at + 2 > limit || !in.peek(at, b, 2)) return 0;
    at += 2 + be::u16(b);
  }
  return at <= limit ? at - off : 0;
}

// MDPR: fixed fields, a name and a type each after a length byte, then the
// codec data after a four-byte length. Fills `s`; gives the size the fields
// fill, or 0 when they run past `avail` bytes.
uint32_t read_mdpr(const uint8_t* p, size_t avail, uint64_t off, Stream& s) {
  if (avail < 46) return 0;
  s.chunk = off;
  s.number = be::u16(p + field::kMdprNumber);
  s.preroll = be::u32(p + field::kMdprPreroll);
  size_t at = field::kMdprName;
  if (at + 1 + p[at] > avail) return 0;
  s.name.assign(reinterpret_cast<const char*>(p + at + 1), p[at]);
  at += 1 + p[at];
  if (at + 1 > avail || at + 1 + p[at] + 4 > avail) return 0;
  s.mime.assign(reinterpret_cast<const char*>(p + at + 1), p[at]);
  at += 1 + p[at];
  uint32_t len = be::u32(p + at);
  at += 4;
  if (len > avail - at) return 0;
  s.codec_at = off + at;
  s.codec_len = len;
  return uint32_t(at + len);
}

// Where a stream's codec data starts inside a damaged MDPR: its tag.
bool find_codec(const uint8_t* p, size_t n, Stream& s) {
  for (size_t i = field::kMdprName; i + 8 <= n; ++i) {
    size_t at = be::tag_is(p + i, ".ra\xFD") ? i : be::tag_is(p + i, "VIDO") && i >= 4 ? i - 4 : SIZE_MAX;
    if (at == SIZE_MAX || at < 4) continue;
    uint32_t len = be::u32(p + at - 4);
    if (len == 0 || len > n - at) len = uint32_t(n - at);
    s.codec_at = s.chunk + at;
    s.codec_len = len;
    return true;
  }
  return false;
}

// What the codec data makes of a stream, and whether its type says the
// same. A lost type comes back from the codec data. False when the codec
// data is damaged.
bool check_stream(Reader& in, Stream& s) {
  const uint8_t* c = in.at(s.codec_at, s.codec_len < Reader::kMaxSpan ? s.codec_len : Reader::kMaxSpan);
  bool codec_ok = c && read_codec(c, s.codec_len, s.codec);
  bool type_ok = printable(s.mime);
  s.physical = !(type_ok && starts_with(s.mime, "logical-"));
  if (!s.physical) return true;
  if (!codec_ok) return false;
  bool video = s.codec.kind == CodecKind::Video, audio = s.codec.kind == CodecKind::Audio;
  if (type_ok && ((starts_with(s.mime, "video/") && !video) || (starts_with(s.mime, "audio/") && !audio)))
    type_ok = false;
  s.video = video || (type_ok && starts_with(s.mime, "video/"));
  if (type_ok && s.name.find('\0') == std::string::npos) return true;
  if (!video && !audio) return type_ok;
  if (!type_ok) s.mime = video ? "video/x-pn-realvideo" : "audio/x-pn-realaudio";
  if (s.name.find('\0') != std::string::npos) s.name = video ? "Video Stream" : "Audio Stream";
  s.rewrite = true;
  return true;
}

class HeaderReader {
 public:
  HeaderReader(Reader& in, Headers& h) : in_(in), h_(h) {}
  HeaderVerdict run(uint64_t from);

 private:
  HeaderVerdict fail(HeaderVerdict v, HeaderProblem p, uint64_t at = 0) {
    h_.problem = p;
    h_.problem_at = at;
    return v;
  }
  bool locate(uint64_t from);
  bool chunk(uint64_t off, uint64_t& next);
  bool add_mdpr(uint64_t off, uint32_t size, bool exact);
  HeaderVerdict finish();

  Reader& in_;
  Headers& h_;
  uint32_t lost_ = 0;              // damaged regions that may have held a stream header
  uint32_t dropped_ = 0;           // headers of streams without packets, damaged and left out
  std::vector<uint16_t> damaged_;  // streams whose codec data is damaged
  // The stream numbers of the first packets; false when too few chain to tell.
  bool packet_streams(std::vector<uint16_t>& numbers);
  bool cont_lost_ = false;
};

// The file header, where junk (an HTTP response, a lost first piece of a
// download) does not hide it; else the first header chunk.
bool HeaderReader::locate(uint64_t from) {
  uint64_t limit = from + kSearch < in_.size() ? from + kSearch : in_.size();
  uint64_t q = find_chunk(in_, from, limit, ".", [](const ChunkAt& c) { return c.tag == Tag::File; });
  if (q != UINT64_MAX) {
    h_.start = q;
    h_.num_headers = be::u32(in_.at(q, field::kRmfSize) + field::kRmfNumHeaders);
    return true;
  }
  q = find_header_chunk(in_, from, limit);
  if (q == UINT64_MAX || chunk_at(in_, q).tag == Tag::Data) return false;
  h_.start = q;
  h_.rmf_found = false;
  add_finding(h_.recovered, Note::FileHeaderRebuilt);
  return true;
}

bool HeaderReader::add_mdpr(uint64_t off, uint32_t size, bool exact) {
  const uint8_t* p = in_.at(off, size);
  if (!p) return false;
  Stream s;
  uint32_t filled = read_mdpr(p, size, off, s);
  if (!exact || filled != size) {
    // Its fields are damaged: the codec data's own tag says where it is.
    s.rewrite = true;
    Stream found = s;
    if (find_codec(p, size, found))
      s.codec_at = found.codec_at, s.codec_len = found.codec_len;
    else if (filled == 0)
      return false;
  }
  if (!check_stream(in_, s)) {
    damaged_.push_back(s.number);
    return true;
  }
  if (s.rewrite) add_finding(h_.recovered, Note::MdprMended, s.number);
  h_.chunks.push_back({ChunkKind::Mdpr, off, size, int(h_.streams.size())});
  if (s.mime.find("multirate") != std::string::npos) h_.multirate = true;
  h_.streams.push_back(s);
  return true;
}

// The header chunk at `off`; false when the bytes there are no chunk at
// all. `next` is where the following chunk starts.
bool HeaderReader::chunk(uint64_t off, uint64_t& next) {
  ChunkAt c = chunk_at(in_, off);
  // A chunk a reader would skip by its size: any tag of printable letters.
  if (!c.header() && !(c.tag != Tag::None && c.fits())) return false;
  uint64_t size = c.size, room = c.room;
  ChunkKind kind = !c.header()          ? ChunkKind::Other
                   : c.tag == Tag::Prop ? ChunkKind::Prop
                   : c.tag == Tag::Mdpr ? ChunkKind::Mdpr
                   : c.tag == Tag::Cont ? ChunkKind::Cont
                                        : ChunkKind::Other;
  if (kind == ChunkKind::Other) {
    next = off + size;
    h_.chunks.push_back({kind, off, uint32_t(size), -1});
    return true;
  }
  // The size the fields fill; where it and the size field differ, the
  // next chunk's tag tells which is right.
  uint64_t filled = field::kPropSize;
  if (kind == ChunkKind::Cont)
    filled = cont_fields_end(in_, off, off + (room < kHeaderGap ? room : kHeaderGap));
  if (kind == ChunkKind::Mdpr) {
    size_t n = size_t(room < kMaxMdpr ? room : kMaxMdpr);
    const uint8_t* m = in_.at(off, n);
    Stream probe;
    filled = m ? read_mdpr(m, n, off, probe) : 0;
  }
  uint64_t use = size;
  bool fields_ok = filled && filled == size;
  if (!fields_ok && filled && boundary_at(in_, off + filled)) {
    use = filled, fields_ok = true;
  } else if (!fields_ok && (size < 10 || size > room || !boundary_at(in_, off + size))) {
    uint64_t q = find_header_chunk(in_, off + 10, off + kHeaderGap);
    if (q == UINT64_MAX) return false;
    use = q - off;
  }
  if (use != size) add_finding(h_.recovered, Note::ChunkSizeFixed, off);
  next = off + use;
  if (kind == ChunkKind::Prop) {
    const uint8_t* fields = in_.at(off, field::kPropSize);
    if (h_.prop.found) add_finding(h_.recovered, Note::SecondPropDropped, off);
    if (h_.prop.found || use < field::kPropSize || !fields) return true;
    read_prop(fields, off, h_.prop);
    h_.chunks.push_back({kind, off, uint32_t(use), -1});
  } else if (kind == ChunkKind::Mdpr) {
    if (!add_mdpr(off, uint32_t(use), fields_ok)) ++lost_;
  } else if (fields_ok) {
    h_.cont_found = true;
    h_.chunks.push_back({kind, off, uint32_t(use), -1});
  } else {
    cont_lost_ = true;
  }
  return true;
}

HeaderVerdict HeaderReader::run(uint64_t from) {
  const uint8_t* p = in_.at(from, 4);
  if (p && be::tag_is(p, ".RMP")) return fail(HeaderVerdict::Variant64, HeaderProblem::Variant64);
  if (p && be::tag_is(p, ".ra\xFD")) return fail(HeaderVerdict::NotRealMedia, HeaderProblem::RealAudio);
  if (!locate(from)) return fail(HeaderVerdict::NotRealMedia, HeaderProblem::NotRealMedia);
  if (h_.start > from) add_finding(h_.recovered, Note::JunkBefore, h_.start - from);
  uint64_t off = h_.start + (h_.rmf_found ? field::kRmfSize : 0);
  for (;;) {
    ChunkAt c = chunk_at(in_, off);
    if ((c.tag == Tag::Data || c.tag == Tag::Prop) && c.version == 2)
      return fail(HeaderVerdict::Variant64, HeaderProblem::Variant64);
    if (c.tag == Tag::Data && c.header()) {
      p = in_.at(off, field::kDataHeaderSize);
      h_.data = off;
      h_.data_size = be::u32(p + field::kDataSize);
      h_.data_num_packets = be::u32(p + field::kDataNumPackets);
      h_.data_next = be::u32(p + field::kDataNext);
      h_.packets = off + field::kDataHeaderSize;
      return finish();
    }
    uint64_t next = 0;
    if (chunk(off, next)) {
      off = next;
      continue;
    }
    // Not a chunk: damage between two chunks, or DATA's header itself.
    uint64_t q = find_header_chunk(in_, off + 1, off + kHeaderGap);
    if (q != UINT64_MAX) {
      ++lost_;
      off = q;
      continue;
    }
    if (h_.streams.empty())
      return fail(lost_ ? HeaderVerdict::Damaged : HeaderVerdict::NotRealMedia,
                  lost_ ? HeaderProblem::StreamLost : HeaderProblem::NotRealMedia);
    // The packets start here or a DATA header's length later.
    h_.data = off;
    h_.data_found = false;
    h_.packets = off;
    add_finding(h_.recovered, Note::DataHeaderRebuilt);
    return finish();
  }
}

// The first packets, chained by their lengths alone.
bool HeaderReader::packet_streams(std::vector<uint16_t>& numbers) {
  constexpr int kLook = 1024, kEnough = 16;
  uint64_t at = h_.packets + (h_.data_found ? 0 : field::kDataHeaderSize);
  int seen = 0;
  for (; seen < kLook; ++seen) {
    const uint8_t* b = in_.at(at, 12);
    if (!b || be::u16(b) > 1 || be::u16(b + 2) < 12 + be::u16(b)) break;
    uint16_t number = be::u16(b + 4);
    if (std::find(numbers.begin(), numbers.end(), number) == numbers.end()) numbers.push_back(number);
    at += be::u16(b + 2);
  }
  return seen >= kEnough || at == in_.size();
}

// A damaged header of a stream that carries no packets was the metadata's
// (or a stream of nothing): it is left out. One that packets need, or where
// too few packets chain to tell, cannot be rebuilt.
HeaderVerdict HeaderReader::finish() {
  std::vector<uint16_t> used;
  bool told = packet_streams(used);
  for (uint16_t n : damaged_) {
    if (!told || std::find(used.begin(), used.end(), n) != used.end())
      return fail(HeaderVerdict::Damaged, HeaderProblem::CodecDamaged, n);
    add_finding(h_.recovered, Note::MetadataDropped);
    ++dropped_;
  }
  size_t physical = 0;
  for (size_t i = 0; i < h_.streams.size(); ++i) {
    physical += h_.streams[i].physical;
    for (size_t j = 0; j < i; ++j)
      if (h_.streams[i].number == h_.streams[j].number)
        return fail(HeaderVerdict::Damaged, HeaderProblem::DuplicateStream, h_.streams[i].number);
  }
  // A lost region that held a stream's header cannot be rebuilt from the
  // packets, their codec being unknown; one that held PROP or CONT can.
  bool prop_lost = !h_.prop.found;
  uint32_t unexplained = lost_ - (prop_lost && lost_ ? 1 : 0);
  bool stream_lost = h_.prop.found ? h_.prop.num_streams > h_.streams.size() + dropped_
                                   : unexplained > (h_.cont_found ? 0u : 1u);
  // Where every packet is of a stream whose header is here, what was lost
  // was the header of a stream without packets: the metadata's.
  bool all_known = told;
  for (uint16_t n : used) all_known = all_known && physical_stream(h_, n) >= 0;
  if (stream_lost && !all_known) return fail(HeaderVerdict::Damaged, HeaderProblem::StreamLost);
  if (stream_lost) add_finding(h_.recovered, Note::MetadataDropped), ++dropped_;
  if (physical == 0) return fail(HeaderVerdict::Damaged, HeaderProblem::NoStreams);
  if (prop_lost) add_finding(h_.recovered, Note::PropRebuilt);
  if (h_.prop.found && h_.prop.num_streams != h_.streams.size() + dropped_)
    add_finding(h_.recovered, Note::WrongStreamCount);
  if (cont_lost_ || (!h_.cont_found && unexplained)) add_finding(h_.recovered, Note::ContRebuilt);
  return HeaderVerdict::Ok;
}

}  // namespace

// RealProducer, Helix and FFmpeg count the header chunks, DATA and one for
// the index, whether they write one or not; librmff counts every chunk.
uint32_t header_count(const Headers& h, size_t after_was, size_t headers, size_t after) {
  size_t was = h.chunks.size();
  bool every_chunk = h.num_headers != was + 2 && h.num_headers == was + 1 + after_was;
  return uint32_t(every_chunk ? headers + 1 + after : headers + 2);
}

int physical_stream(const Headers& h, uint16_t number) {
  for (size_t i = 0; i < h.streams.size(); ++i)
    if (h.streams[i].physical && h.streams[i].number == number) return int(i);
  return -1;
}

bool same_making(Reader& in_a, const Headers& a, Reader& in_b, const Headers& b) {
  if (a.streams.size() != b.streams.size()) return false;
  std::vector<uint8_t> x, y;
  for (size_t i = 0; i < a.streams.size(); ++i) {
    const Stream &s = a.streams[i], &t = b.streams[i];
    if (s.number != t.number || s.mime != t.mime || s.name != t.name || s.codec_len != t.codec_len)
      return false;
    x.resize(s.codec_len), y.resize(t.codec_len);
    if (!in_a.peek(s.codec_at, x.data(), x.size()) || !in_b.peek(t.codec_at, y.data(), y.size()) || x != y)
      return false;
  }
  return true;
}

HeaderVerdict read_headers(Reader& in, Headers& h, uint64_t from) {
  h = Headers();
  HeaderReader r(in, h);
  return r.run(from);
}
