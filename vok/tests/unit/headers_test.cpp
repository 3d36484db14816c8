// Damage before the first packet: what can be rebuilt is, every packet
// survives and the result reads as sound; what cannot be rebuilt is named.
#include <gtest/gtest.h>

#include <functional>

#include "messages.h"
#include "pipeline.h"
#include "rm_builder.h"

namespace {

const Note kNoNote = Note(255);

void zero(BuiltFile& f, uint64_t at, uint64_t n) { std::fill_n(f.bytes.begin() + long(at), n, 0); }

void prepend(BuiltFile& f, const std::string& junk) {
  f.bytes.insert(f.bytes.begin(), junk.begin(), junk.end());
}

// The name and type bytes of stream 0's MDPR, their lengths kept.
void zero_texts(BuiltFile& f) {
  uint64_t at = f.mdpr[0] + 40;
  uint8_t name = f.bytes[at];
  zero(f, at + 1, name);
  zero(f, at + 2 + name, f.bytes[at + 1 + name]);
}

struct HeaderCase {
  const char* name;
  std::function<void(BuiltFile&)> damage;
  HeaderVerdict verdict;
  Note note;  // what the summary names, where the verdict is Ok
  HeaderProblem problem = HeaderProblem::None;
  bool keeps_bytes = false;  // only fields are set anew: no backup
};

const HeaderCase kCases[] = {
    {"sound", [](BuiltFile&) {}, HeaderVerdict::Ok, kNoNote},
    {"junk before the file header", [](BuiltFile& f) { prepend(f, std::string(512, '\x5A')); },
     HeaderVerdict::Ok, Note::JunkBefore},
    {"an HTTP response before it",
     [](BuiltFile& f) {
       prepend(f, "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.rn-realmedia\r\n\r\n");
     },
     HeaderVerdict::Ok, Note::JunkBefore},
    {"file header tag lost", [](BuiltFile& f) { f.bytes[0] = 'X'; }, HeaderVerdict::Ok,
     Note::FileHeaderRebuilt},
    {"PROP zeroed", [](BuiltFile& f) { zero(f, f.prop, 50); }, HeaderVerdict::Ok, Note::PropRebuilt},
    {"PROP size garbage", [](BuiltFile& f) { put32(f.bytes, f.prop + 4, 0x7A3B19C5); }, HeaderVerdict::Ok,
     Note::ChunkSizeFixed, HeaderProblem::None, true},
    // A resumed download, an appending writer: the PROP after the first goes.
    {"PROP written twice",
     [](BuiltFile& f) {
       std::vector<uint8_t> prop(f.bytes.begin() + long(f.prop), f.bytes.begin() + long(f.prop + 50));
       f.bytes.insert(f.bytes.begin() + long(f.prop + 50), prop.begin(), prop.end());
       put32(f.bytes, f.prop + 42, get32(f.bytes, f.prop + 42) + 50);
     },
     HeaderVerdict::Ok, Note::SecondPropDropped},
    {"CONT zeroed", [](BuiltFile& f) { zero(f, f.cont, 23); }, HeaderVerdict::Ok, Note::ContRebuilt},
    {"MDPR size 4 too large",
     [](BuiltFile& f) { put32(f.bytes, f.mdpr[0] + 4, get32(f.bytes, f.mdpr[0] + 4) + 4); },
     HeaderVerdict::Ok, Note::ChunkSizeFixed, HeaderProblem::None, true},
    {"MDPR size 4 too small",
     [](BuiltFile& f) { put32(f.bytes, f.mdpr[1] + 4, get32(f.bytes, f.mdpr[1] + 4) - 4); },
     HeaderVerdict::Ok, Note::ChunkSizeFixed, HeaderProblem::None, true},
    {"MDPR name and type zeroed", zero_texts, HeaderVerdict::Ok, Note::MdprMended},
    {"MDPR type runs past its chunk", [](BuiltFile& f) { f.bytes[f.mdpr[0] + 45] = 250; }, HeaderVerdict::Ok,
     Note::MdprMended},
    {"DATA header zeroed", [](BuiltFile& f) { zero(f, f.data, 18); }, HeaderVerdict::Ok,
     Note::DataHeaderRebuilt},
    {"DATA header overwritten", [](BuiltFile& f) { std::fill_n(f.bytes.begin() + long(f.data), 18, 0xC3); },
     HeaderVerdict::Ok, Note::DataHeaderRebuilt},
    {"codec data damaged",
     [](BuiltFile& f) { f.bytes[get32(f.bytes, f.mdpr[1] + 4) + f.mdpr[1] - 86 + 5] = 9; },
     HeaderVerdict::Damaged, kNoNote, HeaderProblem::CodecDamaged},
    {"a stream's header lost", [](BuiltFile& f) { zero(f, f.mdpr[1], get32(f.bytes, f.mdpr[1] + 4)); },
     HeaderVerdict::Damaged, kNoNote, HeaderProblem::StreamLost},
    {"two streams numbered alike", [](BuiltFile& f) { f.bytes[f.mdpr[1] + 11] = 0; }, HeaderVerdict::Damaged,
     kNoNote, HeaderProblem::DuplicateStream},
    {"64-bit file tag", [](BuiltFile& f) { f.bytes[3] = 'P'; }, HeaderVerdict::Variant64, kNoNote,
     HeaderProblem::Variant64},
    {"64-bit DATA", [](BuiltFile& f) { f.bytes[f.data + 9] = 2; }, HeaderVerdict::Variant64, kNoNote,
     HeaderProblem::Variant64},
    {"a bare RealAudio stream",
     [](BuiltFile& f) {
       f.bytes.assign({'.', 'r', 'a', 0xFD, 0, 4, 0, 0});
     },
     HeaderVerdict::NotRealMedia, kNoNote, HeaderProblem::RealAudio},
    {"text", [](BuiltFile& f) { f.bytes.assign(400, 'x'); }, HeaderVerdict::NotRealMedia, kNoNote,
     HeaderProblem::NotRealMedia},
};

TEST(Headers, RebuiltWhereThePacketsSayHow) {
  for (const HeaderCase& c : kCases) {
    SCOPED_TRACE(c.name);
    BuiltFile f = build_rm();
    c.damage(f);
    Pipeline p = run_pipeline(f.bytes);
    ASSERT_EQ(p.verdict, c.verdict);
    EXPECT_EQ(p.h.problem, c.problem);
    if (c.verdict != HeaderVerdict::Ok) continue;
    bool named = c.note == kNoNote;
    for (const Finding& found : p.plan.found) named = named || found.note == c.note;
    EXPECT_TRUE(named) << findings_text(Lang::En, p.plan.found);
    EXPECT_EQ(p.s.packets, f.packets.size()) << "no packet is lost to header damage";
    if (c.note == kNoNote) continue;
    EXPECT_EQ(p.plan.removes_bytes, !c.keeps_bytes) << "the backup follows the bytes the repair leaves out";
    Pipeline again = run_pipeline(p.out);
    EXPECT_EQ(again.verdict, HeaderVerdict::Ok);
    EXPECT_TRUE(again.h.intact());
    EXPECT_FALSE(again.plan.changes) << findings_text(Lang::En, again.plan.found);
    EXPECT_EQ(again.s.packets, f.packets.size());
  }
}

TEST(Headers, StreamsAndTheirKinds) {
  BuildOptions o;
  o.logical_mime = "logical-fileinfo";
  o.audio_mime = "logical-audio/x-pn-multirate-realaudio";
  BuiltFile f = build_rm(o);
  Pipeline p = run_pipeline(f.bytes);
  ASSERT_EQ(p.verdict, HeaderVerdict::Ok);
  ASSERT_EQ(p.h.streams.size(), 3u);
  EXPECT_TRUE(p.h.streams[0].physical && p.h.streams[0].video);
  EXPECT_FALSE(p.h.streams[1].physical);
  EXPECT_FALSE(p.h.streams[2].physical);
  EXPECT_TRUE(p.h.multirate);
  EXPECT_EQ(p.h.data, f.data);
  EXPECT_EQ(physical_stream(p.h, 1), -1);
}

}  // namespace
