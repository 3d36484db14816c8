// Whole units on a file laid out as Helix Producer writes it (RealVideo 3
// frames in slices and packed, cook blocks with a time on every packet):
// each kind of damage leaves out the packets it touched and the rest of
// their frame or block, nothing else, and the repair reads as sound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "be_bytes.h"
#include "messages.h"
#include "pipeline.h"
#include "rm_builder.h"

namespace {

struct Lost {
  std::set<int> units;    // frames and blocks that must go whole
  std::set<int> packets;  // packets that go on their own (a whole frame, say)
};

// The index of the first packet of `stream` at or after `from` that
// satisfies `want`.
size_t find_packet(const BuiltFile& f, uint16_t stream, size_t from,
                   std::function<bool(const BuiltPacket&)> want) {
  for (size_t i = from; i < f.packets.size(); ++i)
    if (f.packets[i].stream == stream && want(f.packets[i])) return i;
  ADD_FAILURE() << "no such packet";
  return 0;
}

// The packets of one frame or block.
std::vector<size_t> packets_of(const BuiltFile& f, int unit) {
  std::vector<size_t> out;
  for (size_t i = 0; i < f.packets.size(); ++i)
    if (f.packets[i].unit == unit) out.push_back(i);
  return out;
}
constexpr int kKeyInThree = 30;  // build_helix's second keyframe: three slices

void set_stream(BuiltFile& f, size_t i, uint16_t stream) {
  be::put16(&f.bytes[f.packets[i].offset + 4], stream);
}

// Bytes put in at `at`, the packets after moved on.
void insert_at(BuiltFile& f, uint64_t at, const Bytes& b) {
  f.bytes.insert(f.bytes.begin() + long(at), b.begin(), b.end());
  for (BuiltPacket& p : f.packets) p.offset += p.offset >= at ? b.size() : 0;
}

void append_packets(Bytes& to, const BuiltFile& f, size_t from, size_t n) {
  to.insert(to.end(), f.bytes.begin() + long(f.packets[from].offset),
            f.bytes.begin() + long(f.packets[from + n].offset));
}

// Garbage over [at, at + n): the units of the packets it touches go.
Lost garbage(BuiltFile& f, uint64_t at, uint64_t n) {
  Lost lost;
  uint32_t seed = 99;
  for (uint64_t i = at; i < at + n; ++i) f.bytes[i] = uint8_t((seed = seed * 1664525 + 1013904223) >> 24);
  for (const BuiltPacket& p : f.packets)
    if (p.offset < at + n && p.offset + p.length > at) lost.units.insert(p.unit);
  return lost;
}

// Bytes that are no packet after the second packet of a block: nothing is
// lost, the packets around them being whole.
Lost junk_in_block(BuiltFile& f) {
  size_t i = find_packet(f, 1, f.packets.size() / 2, [](const BuiltPacket& p) { return (p.flags & 2); });
  size_t next = find_packet(f, 1, i + 1, [](const BuiltPacket&) { return true; });
  insert_at(f, f.packets[next].offset + f.packets[next].length, Bytes(700, 0xA5));
  return Lost{};
}

// A cook packet's time knocked back to the start, garbage after the next
// one (a block's, so kept though nothing chains after it), then the file's
// opening written again: whether the knocked-back packet's own stream keeps
// to the past is seen in the packet after it, as a rescan sees it.
Lost knocked_back_before_garbage(BuiltFile& f) {
  size_t first = find_packet(f, 1, 0, [](const BuiltPacket&) { return true; });
  size_t i = find_packet(f, 1, f.packets.size() / 2, [](const BuiltPacket& p) { return (p.flags & 2); });
  size_t j = find_packet(f, 1, i + 1, [](const BuiltPacket&) { return true; });
  size_t k = find_packet(f, 1, j + 1, [](const BuiltPacket&) { return true; });
  be::put32(&f.bytes[f.packets[j].offset + 6], f.packets[first].ts);
  Bytes again(700, 0xA5);
  append_packets(again, f, first, 8);
  insert_at(f, f.packets[k].offset + f.packets[k].length, again);
  return Lost{{f.packets[j].unit}, {}};
}

// Two pieces of a download written again before the last block, back to
// back: the opening and a stretch from the second block. Each starts and
// ends on a packet, so nothing is cut and only their bytes tell.
Lost written_twice(BuiltFile& f) {
  auto flagged = [](const BuiltPacket& p) { return (p.flags & 2) != 0; };
  size_t second = find_packet(f, 1, find_packet(f, 1, 0, flagged) + 1, flagged);
  size_t last = find_packet(f, 1, second + 1, flagged);
  Bytes again;
  append_packets(again, f, 0, 8);
  append_packets(again, f, second, 8);
  insert_at(f, f.packets[last].offset, again);
  return Lost{};
}

// The piece of a download before a cook packet's middle written again: as
// well as its own, where it comes again right after (inserted), or in the
// place of a later piece (overwriting it). Either way the packet it starts
// in has a tail that is not its own.
constexpr uint64_t kPiece = 3000;

// The last packet of the first block that starts at or after `from`.
size_t cook_packet(const BuiltFile& f, size_t from) {
  size_t i = find_packet(f, 1, from, [](const BuiltPacket& p) { return (p.flags & 2) != 0; });
  for (int k = 1; k < 9; ++k) i = find_packet(f, 1, i + 1, [](const BuiltPacket&) { return true; });
  return i;
}

uint64_t middle(const BuiltPacket& p) { return p.offset + p.length / 2; }

Lost piece_again_after(BuiltFile& f) {
  size_t i = cook_packet(f, f.packets.size() / 3);
  uint64_t end = middle(f.packets[i]);
  insert_at(f, end, Bytes(f.bytes.begin() + long(end - kPiece), f.bytes.begin() + long(end)));
  f.packets[i].offset += kPiece;  // whole where the copy of its head runs on into its tail
  return Lost{};
}

Lost piece_again_over_a_later(BuiltFile& f) {
  size_t i = find_packet(f, 1, f.packets.size() * 2 / 3, [](const BuiltPacket& p) { return !(p.flags & 2); });
  uint64_t at = middle(f.packets[i]), from = at - 3 * kPiece;
  Lost lost;
  for (const BuiltPacket& p : f.packets)
    if (p.offset < at + kPiece && p.offset + p.length > at) lost.units.insert(p.unit);
  std::copy(f.bytes.begin() + long(from), f.bytes.begin() + long(from + kPiece), f.bytes.begin() + long(at));
  return lost;
}

struct UnitCase {
  const char* name;
  std::function<Lost(BuiltFile&)> damage;
  const char* found;  // a phrase the summary must hold; null: the file is sound
  bool silence = false;
  bool shared = false;  // every packet of a block stamped with its time
};

const UnitCase kCases[] = {
    {"as Helix writes it", [](BuiltFile&) { return Lost{}; }, nullptr},
    {"a middle slice's stream number flipped to none: its frame goes, the slice before stays",
     [](BuiltFile& f) {
       std::vector<size_t> key = packets_of(f, kKeyInThree);
       set_stream(f, key[1], 0x40);
       return Lost{{f.packets[key[0]].unit}, {}};
     },
     "1 incomplete video frame dropped"},
    {"a first slice relabelled as audio",
     [](BuiltFile& f) {
       std::vector<size_t> key = packets_of(f, 0);
       set_stream(f, key[0], 1);
       return Lost{{f.packets[key[0]].unit}, {}};
     },
     "1 packet not of its stream dropped"},
    {"a cook packet relabelled as video: its block goes",
     [](BuiltFile& f) {
       size_t i =
           find_packet(f, 1, f.packets.size() / 3, [](const BuiltPacket& p) { return !(p.flags & 2); });
       set_stream(f, i, 0);
       return Lost{{f.packets[i].unit}, {}};
     },
     "2.1 s of sound in incomplete blocks dropped"},
    {"a packed frame relabelled as audio goes alone",
     [](BuiltFile& f) {
       size_t i = find_packet(f, 0, 5, [](const BuiltPacket& p) { return !(p.flags & 2); });
       set_stream(f, i, 1);
       return Lost{{}, {int(i)}};
     },
     "1 packet not of its stream dropped"},
    {"the last slice's payload zeroed to its end, the next packet whole",
     [](BuiltFile& f) {
       const BuiltPacket& p = f.packets[packets_of(f, kKeyInThree).back()];
       std::fill(f.bytes.begin() + long(p.offset + p.length / 2), f.bytes.begin() + long(p.offset + p.length),
                 0);
       return Lost{{p.unit}, {}};
     },
     "1 incomplete video frame dropped"},
    {"cut inside the last block: it goes, the video before the cut stays",
     [](BuiltFile& f) {
       size_t last_block = find_packet(
           f, 1, 0, [&](const BuiltPacket& p) { return (p.flags & 2) && p.unit == f.packets.back().unit; });
       size_t cut = last_block + 3;
       Lost lost{{f.packets[last_block].unit}, {}};
       for (size_t i = cut; i < f.packets.size(); ++i) lost.packets.insert(int(i));
       f.bytes.resize(f.packets[cut].offset + 5);
       return lost;
     },
     "truncated tail"},
    // Bytes that are no packet between two packets of a block lose nothing;
    // the packet after them shares nothing with those before but the block.
    // Four letters and a size that fits the file are no chunk that ends the
    // packets when no chunks follow it: the scan goes on after the garbage.
    {"garbage opening like a chunk right after a packet",
     [](BuiltFile& f) {
       size_t i = find_packet(f, 1, f.packets.size() / 3, [](const BuiltPacket&) { return true; });
       uint64_t at = f.packets[i].offset + f.packets[i].length;
       Lost lost = garbage(f, at, 3000);
       memcpy(&f.bytes[at], "RJMD", 4);
       put32(f.bytes, at + 4, 10000);
       return lost;
     },
     "1 damaged region"},
    {"a time knocked back before garbage and a repeated opening", knocked_back_before_garbage,
     "1 packet with a timestamp out of order dropped"},
    {"two pieces written twice on packet boundaries", written_twice, "16 repeated packets dropped"},
    {"a piece inserted again, ending inside a cook packet", piece_again_after, "repeated packet"},
    {"a piece written over a later one, ending inside a cook packet", piece_again_over_a_later,
     "repeated packet"},
    {"a piece inserted again inside a cook packet whose block shares one time", piece_again_after,
     "repeated packet", false, true},
    {"a cook packet stamped past its block, within the film: nothing goes",
     [](BuiltFile& f) {
       const BuiltPacket& p = f.packets[cook_packet(f, 0)];
       be::put32(&f.bytes[p.offset + 6], p.ts + 2500);
       return Lost{};
     },
     nullptr},
    {"junk between two packets of a block", [](BuiltFile& f) { return junk_in_block(f); },
     "1 damaged region"},
    // The packets of a silent block are alike and share its time: after
    // damage they are no copies of each other.
    {"junk between two packets of a silent block", [](BuiltFile& f) { return junk_in_block(f); },
     "1 damaged region", true},
};

std::vector<int> kept_packets(const BuiltFile& f, const Pipeline& p) {
  std::map<uint64_t, int> at;
  for (size_t i = 0; i < f.packets.size(); ++i) at[f.packets[i].offset] = int(i);
  std::vector<int> kept;
  for (const Range& r : p.s.kept)
    for (uint64_t q = r.offset; q < r.offset + r.length; q += be::u16(&f.bytes[q + 2]))
      kept.push_back(at.count(q) ? at[q] : -1);  // -1: bytes that were put in
  return kept;
}

TEST(Units, DamageTakesItsWholeUnitAndNothingElse) {
  for (const UnitCase& c : kCases) {
    SCOPED_TRACE(c.name);
    BuiltFile f = build_helix(60, 30, c.silence, c.shared);
    Lost lost = c.damage(f);
    Pipeline p = run_pipeline(f.bytes);
    ASSERT_EQ(p.verdict, HeaderVerdict::Ok);
    std::vector<int> want;
    for (size_t i = 0; i < f.packets.size(); ++i)
      if (!lost.units.count(f.packets[i].unit) && !lost.packets.count(int(i))) want.push_back(int(i));
    EXPECT_EQ(kept_packets(f, p), want);
    EXPECT_EQ(p.plan.changes, c.found != nullptr);
    if (!c.found) continue;
    std::string said = findings_text(Lang::En, p.plan.found);
    EXPECT_NE(said.find(c.found), std::string::npos) << said;
    Pipeline again = run_pipeline(p.out);
    EXPECT_FALSE(again.plan.changes) << findings_text(Lang::En, again.plan.found);
    EXPECT_EQ(again.s.packets, want.size());
  }
}

// Where a stream ends after a cut: at its last whole unit. The statistics
// that change are counted as the writer counts them.
TEST(Units, ACutFileEndsAtItsLastWholeUnit) {
  BuiltFile f = build_helix();
  size_t last_block = find_packet(
      f, 1, 0, [&](const BuiltPacket& p) { return (p.flags & 2) && p.unit == f.packets.back().unit; });
  f.bytes.resize(f.packets[last_block + 3].offset + 5);
  Pipeline p = run_pipeline(f.bytes);
  const Codec& cook = p.h.streams[1].codec;
  EXPECT_NEAR(p.s.stats[1].end_ms(cook), f.packets[last_block].ts, 1)
      << "the block before ends where the cut one starts";
  uint32_t duration = get32(p.out, f.prop + 30);
  EXPECT_LE(duration, std::max(p.s.stats[0].end_ms(p.h.streams[0].codec), p.s.stats[1].end_ms(cook)));
  for (uint64_t at : {f.prop + 10, f.mdpr[0] + 12, f.mdpr[1] + 12}) {
    EXPECT_NE(get32(p.out, at + 4), get32(f.bytes, at + 4)) << "the average bit rate is counted anew";
    EXPECT_EQ(get32(p.out, at), get32(p.out, at + 4)) << "the maximum given as the average stays so";
  }
}

// The codec data the builder copies is Helix Producer's own.
TEST(Units, HelixCodecDataIsTheRealOne) {
  std::ifstream in(VOK_REALDATA "/helix11-rv30-cook.rm", std::ios::binary);
  if (!in) GTEST_SKIP() << "no " VOK_REALDATA;
  Bytes file((std::istreambuf_iterator<char>(in)), {});
  for (const Bytes& ours : {helix_rv30_vido(), helix_cook_ra5()})
    EXPECT_NE(std::search(file.begin(), file.end(), ours.begin(), ours.end()), file.end());
}

}  // namespace
