// Whole runs of vok on an in-memory file system: what a repair leaves in the
// folder when every step works, when one fails, when the file changes or
// another program holds it, when the run dies at any call; and what the user
// is told in a console window that closes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "console_mem.h"
#include "memfs.h"
#include "pipeline.h"
#include "rm_builder.h"
#include "vok_run.h"

namespace {

const std::string kFile = "/m/a.rm";

std::string text(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

// Packets lost at the end: a repair removes bytes.
std::string damaged() {
  BuiltFile f = build_rm();
  f.bytes.resize(f.bytes.size() * 3 / 5);
  return text(f.bytes);
}

std::string unindexed() { return text(build_rm().bytes); }

// A file followed by another of different streams: the second goes beside.
std::string two_files() {
  BuildOptions other;
  other.seconds = 2;
  other.audio_mime = "audio/x-pn-realaudio-plugin";
  return text(build_rm().bytes) + text(build_rm(other).bytes);
}

// Only a field is wrong: a repair removes nothing.
std::string field_wrong() {
  BuiltFile f = build_rm();
  put32(f.bytes, f.prop + 30, 0);
  return text(f.bytes);
}

// Everything before the packets zeroed: a download that lost its first piece.
std::string head_lost() {
  BuiltFile f = build_rm();
  std::fill(f.bytes.begin(), f.bytes.begin() + long(f.packets[0].offset), 0);
  return text(f.bytes);
}

// Files beside it: a shorter one made the same way, and one made otherwise.
void episode(const std::string& name, int seconds = 5, const char* audio = "audio/x-pn-realaudio") {
  BuildOptions o;
  o.seconds = seconds;
  o.audio_mime = audio;
  memfs::put("/m/" + name, text(build_rm(o).bytes));
}
void other_making() { memfs::put("/m/b.rm", text(build_helix().bytes)); }

std::string repaired(const std::string& bytes) {
  return text(run_pipeline(std::vector<uint8_t>(bytes.begin(), bytes.end())).out);
}

bool sound(const std::string& bytes) {
  Pipeline p = run_pipeline(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  return p.verdict == HeaderVerdict::Ok && !p.plan.changes;
}

std::string all(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

struct SafetyCase {
  const char* name;
  std::string (*input)();
  std::function<void()> setup;
  std::vector<std::string> args;
  int code;
  std::vector<std::string> left;  // names in /m afterwards
  const char* file;               // what a.rm holds: "original", "repaired" or "other"
  const char* said;               // a phrase in what vok printed
};

const SafetyCase kSafety[] = {
    {"bytes removed: a backup first",
     damaged,
     [] {},
     {"-f"},
     0,
     {"a.rm", "a.rm.bak"},
     "repaired",
     "backup /m/a.rm.bak"},
    {"a field mended: no backup", field_wrong, [] {}, {"-f"}, 0, {"a.rm"}, "repaired", "wrong duration"},
    {"--no-backup", damaged, [] {}, {"-f", "--no-backup"}, 0, {"a.rm"}, "repaired", "repaired:"},
    {"an older backup stays",
     damaged,
     [] { memfs::put("/m/a.rm.bak", "older"); },
     {"-f"},
     0,
     {"a.rm", "a.rm.bak", "a.rm.bak.2"},
     "repaired",
     "a.rm.bak.2"},
    {"no hard links: the backup is a copy",
     damaged,
     [] { memfs::no_hard_links(true); },
     {"-f"},
     0,
     {"a.rm", "a.rm.bak"},
     "repaired",
     "backup"},
    {"a player holds it",
     damaged,
     [] { memfs::hold(kFile, true); },
     {"-f"},
     5,
     {"a.rm"},
     "original",
     "in use by another program"},
    {"a player holds it, -i",
     field_wrong,
     [] { memfs::hold(kFile, true); },
     {"-i"},
     5,
     {"a.rm"},
     "original",
     "in use"},
    {"replaced by a new version while vok writes",
     damaged,
     [] { memfs::on("create_temp", [] { memfs::put(kFile, "the new version"); }); },
     {"-f"},
     5,
     {"a.rm"},
     "other",
     "changed while vok worked"},
    {"still being written",
     damaged,
     [] { memfs::on("create_temp", [] { memfs::append(kFile, "more"); }); },
     {"-f"},
     5,
     {"a.rm"},
     "other",
     "still being written"},
    {"the disk fills up",
     damaged,
     [] { memfs::quota(damaged().size() + 1000); },
     {"-f"},
     5,
     {"a.rm"},
     "original",
     "cannot write"},
    {"the backup copy cannot be flushed",
     damaged,
     [] {
       memfs::no_hard_links(true);
       memfs::fail("flush_dir");
     },
     {"-f"},
     5,
     {"a.rm"},
     "original",
     "cannot make a backup"},
    {"the replace fails",
     damaged,
     [] { memfs::fail("replace"); },
     {"-f"},
     5,
     {"a.rm"},
     "original",
     "cannot replace"},
    {"the replace takes the original away and fails: the repair takes its place",
     damaged,
     [] {
       memfs::fail("replace_losing");
       memfs::fail("replace");
     },
     {"-f"},
     0,
     {"a.rm", "a.rm.bak"},
     "repaired",
     "backup /m/a.rm.bak"},
    {"the folder flush after the replace fails",
     field_wrong,
     [] { memfs::fail("flush_dir"); },
     {"-f"},
     5,
     {"a.rm"},
     "repaired",
     "may not survive a power cut"},
    {"a second file after the packets is saved beside",
     two_files,
     [] {},
     {"-f"},
     0,
     {"a (2).rm", "a.rm", "a.rm.bak"},
     "repaired",
     "second file saved as /m/a (2).rm"},
    {"never over a file of that name",
     two_files,
     [] { memfs::put("/m/a (2).rm", "someone else's"); },
     {"-f"},
     0,
     {"a (2).rm", "a (3).rm", "a.rm", "a.rm.bak"},
     "repaired",
     "second file saved as /m/a (3).rm"},
    {"the second file cannot be given its name",
     two_files,
     [] { memfs::fail("keep_temp"); },
     {"-f"},
     5,
     {"a.rm"},
     "original",
     "cannot write"},
    {"attributes the replace could not keep are said",
     damaged,
     [] { memfs::fail("attributes"); },
     {"-f"},
     0,
     {"a.rm", "a.rm.bak"},
     "repaired",
     "not all the original's attributes are kept: user.xdg.origin.url"},
    {"a stale temporary file goes",
     field_wrong,
     [] { memfs::put("/m/a.rm.vok-tmp", "left by a crash"); },
     {"-f"},
     0,
     {"a.rm"},
     "repaired",
     "removed a stale temporary file /m/a.rm.vok-tmp"},
    {"headers lost: a file beside it made the same way lends them, one made otherwise does not",
     head_lost,
     [] { episode("a1.rm"), other_making(); },
     {"-f"},
     0,
     {"a.rm", "a.rm.bak", "a1.rm", "b.rm"},
     "repaired",
     "repaired: headers taken from a1.rm; packets kept"},
    {"headers lost: --check says which file would lend them",
     head_lost,
     [] { episode("a1.rm"); },
     {"--check"},
     1,
     {"a.rm", "a1.rm"},
     "original",
     "needs repair: headers taken from a1.rm"},
    {"headers lost: of two made the same way, the one most alike in name",
     head_lost,
     [] { episode("a2.rm", 6), episode("0.rm"); },
     {"-f"},
     0,
     {"0.rm", "a.rm", "a.rm.bak", "a2.rm"},
     "repaired",
     "headers taken from a2.rm"},
    {"headers lost: none beside it made the same way",
     head_lost,
     [] { other_making(), memfs::put("/m/notes.txt", "not RealMedia"); },
     {"-f"},
     3,
     {"a.rm", "b.rm", "notes.txt"},
     "original",
     "no RealMedia file beside it was made the same way (1 looked at)"},
    {"headers lost: two made otherwise fit as well, and are named",
     head_lost,
     [] { episode("a1.rm"), episode("a2.rm", 5, "audio/x-pn-realaudio-plugin"); },
     {"-f"},
     3,
     {"a.rm", "a1.rm", "a2.rm"},
     "original",
     "more than one file beside it, or none fits it well: a1.rm, a2.rm"},
    {"-i fails midway",
     unindexed,
     [] { memfs::fail("truncate"); },
     {"-i"},
     5,
     {"a.rm"},
     "original",
     "run vok -i again"},
};

TEST(Run, WhatARepairLeavesBehind) {
  for (const SafetyCase& c : kSafety) {
    SCOPED_TRACE(c.name);
    memfs::reset();
    console_mem::reset();
    std::string original = c.input();
    memfs::put(kFile, original);
    c.setup();
    std::map<std::string, std::string> beside;  // vok only reads what it leaves
    for (const std::string& name : memfs::list("/m"))
      if ("/m/" + name != kFile) beside[name] = memfs::get("/m/" + name);
    std::vector<std::string> args = c.args;
    args.push_back(kFile);
    EXPECT_EQ(run_vok(args), c.code);
    EXPECT_EQ(memfs::list("/m"), c.left);
    std::string now = memfs::get(kFile);
    if (!strcmp(c.file, "original")) {
      EXPECT_EQ(now, original);
    }
    if (!strcmp(c.file, "repaired")) {
      EXPECT_TRUE(sound(now));
    }
    if (!strcmp(c.file, "other")) {
      EXPECT_NE(now, original);
    }
    for (const std::string& name : c.left) {
      std::string kept = name.rfind("a.rm.bak", 0) == 0 ? memfs::get("/m/" + name) : original;
      EXPECT_TRUE(kept == original || kept == "older") << name;
    }
    for (const auto& b : beside)
      if (memfs::exists("/m/" + b.first)) {
        EXPECT_EQ(memfs::get("/m/" + b.first), b.second) << b.first;
      }
    std::string said = all(console_mem::record().out) + all(console_mem::record().err);
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
  }
}

TEST(Run, BackupsHoldTheOriginal) {
  for (bool links : {true, false}) {
    memfs::reset();
    console_mem::reset();
    memfs::no_hard_links(!links);
    memfs::put(kFile, damaged());
    ASSERT_EQ(run_vok({"-f", kFile}), 0);
    EXPECT_EQ(memfs::get("/m/a.rm.bak"), damaged()) << (links ? "link" : "copy");
    EXPECT_EQ(memfs::get(kFile), repaired(damaged()));
  }
}

// The second -i after one that died finishes the job.
TEST(Run, ASecondIndexFinishesWhatOneLeftHalfDone) {
  memfs::reset();
  console_mem::reset();
  memfs::put(kFile, text(build_rm().bytes));
  memfs::fail("truncate");
  ASSERT_EQ(run_vok({"-i", kFile}), 5);
  EXPECT_EQ(run_vok({"-i", kFile}), 0);
  console_mem::reset();
  EXPECT_EQ(run_vok({"--check", kFile}), 0) << all(console_mem::record().out);
  EXPECT_EQ(run_vok({"-i", kFile}), 0);
  EXPECT_NE(all(console_mem::record().out).find("index already right"), std::string::npos);
}

// Wherever the run dies, the file is the old one or the new one, a backup
// holds the old one, and the next run ends the job with nothing left over.
TEST(Run, DyingAtAnyCall) {
  std::string want = repaired(damaged());
  for (int k = 1;; ++k) {
    SCOPED_TRACE(k);
    memfs::reset();
    console_mem::reset();
    memfs::put(kFile, damaged());
    memfs::crash_at(k);
    bool died = false;
    try {
      run_vok({"-f", kFile});
    } catch (const memfs::Crash&) {
      died = true;
    }
    memfs::crash_at(0);
    std::string now = memfs::get(kFile);
    EXPECT_TRUE(now == damaged() || now == want);
    if (memfs::exists("/m/a.rm.bak")) {
      EXPECT_EQ(memfs::get("/m/a.rm.bak"), damaged());
    }
    EXPECT_EQ(run_vok({"-f", kFile}), 0);
    EXPECT_EQ(memfs::get(kFile), want);
    for (const std::string& name : memfs::list("/m")) {
      EXPECT_TRUE(name == "a.rm" || name.rfind("a.rm.bak", 0) == 0) << name;
    }
    if (!died) break;
  }
}

std::string indexed() {
  memfs::reset();
  console_mem::reset();
  memfs::put(kFile, unindexed());
  run_vok({"-i", kFile});
  return memfs::get(kFile);
}

// What follows the packets: -i replaces an index cut short by the end of
// the file, as an interrupted -i leaves it, and nothing else.
TEST(Run, IndexWritesOnlyOverAnIndex) {
  std::string whole = indexed();
  uint64_t at = get32(std::vector<uint8_t>(whole.begin(), whole.end()), 18 + 38);
  struct Case {
    const char* name;
    std::string file;
    int code;
  } cases[] = {
      {"cut 20 bytes into the index", whole.substr(0, at + 20), 0},
      {"cut 30 bytes in", whole.substr(0, at + 30), 0},
      {"cut halfway", whole.substr(0, at + (whole.size() - at) / 2), 0},
      {"a wrong count, then more chunks and a second file", "", 4},
  };
  std::string& miscounted = cases[3].file;
  miscounted = whole;
  miscounted[size_t(at) + 13] = char(miscounted[size_t(at) + 13] + 1);
  miscounted += std::string("RJMD\0\0\0\x0e\0\0ABCD", 14) + unindexed();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    memfs::reset();
    console_mem::reset();
    memfs::put(kFile, c.file);
    EXPECT_EQ(run_vok({"-i", kFile}), c.code);
    if (c.code) {
      EXPECT_EQ(memfs::get(kFile), c.file) << "left as it was";
      continue;
    }
    EXPECT_EQ(run_vok({"--check", kFile}), 0);
    EXPECT_EQ(memfs::get(kFile), whole);
  }
}

// An -i that fails after it began leaves the header pointing at no index,
// never at bytes past the end of the file.
TEST(Run, AFailedIndexPointsAtNothing) {
  std::string whole = indexed();
  uint64_t at = get32(std::vector<uint8_t>(whole.begin(), whole.end()), 18 + 38);
  memfs::reset();
  console_mem::reset();
  memfs::put(kFile, whole.substr(0, at + 30));
  memfs::fail("truncate");
  EXPECT_EQ(run_vok({"-i", kFile}), 5);
  std::string now = memfs::get(kFile);
  uint32_t pointer = get32(std::vector<uint8_t>(now.begin(), now.end()), 18 + 38);
  EXPECT_TRUE(pointer == 0 || (pointer + 4 <= now.size() && now.compare(pointer, 4, "INDX") == 0))
      << "index_offset " << pointer << " in a file of " << now.size();
}

// A second vok on the file while the first works on it is turned away;
// one that starts once the first let go of the original backs up what it
// found there.
TEST(Run, TwoRunsAtOnce) {
  for (const char* when : {"create_temp", "replace"}) {
    SCOPED_TRACE(when);
    memfs::reset();
    console_mem::reset();
    memfs::put(kFile, damaged());
    int second = -1;
    memfs::on(when, [&] { second = run_vok({"-f", kFile}); });
    EXPECT_EQ(run_vok({"-f", kFile}), 0);
    EXPECT_EQ(second, std::string(when) == "replace" ? 0 : 5);
    for (const std::string& name : memfs::list("/m")) {
      if (name != "a.rm") {
        EXPECT_EQ(memfs::get("/m/" + name), damaged()) << name;
      }
    }
    EXPECT_EQ(memfs::get(kFile), repaired(damaged()));
  }
}

TEST(Run, ALinkStaysALinkAndItsTargetIsRepaired) {
  memfs::reset();
  console_mem::reset();
  memfs::put("/t/a.rm", damaged());
  memfs::symlink("/m/link.rm", "/t/a.rm");
  EXPECT_EQ(run_vok({"-f", "/m/link.rm"}), 0);
  EXPECT_TRUE(memfs::is_link("/m/link.rm"));
  EXPECT_EQ(memfs::get("/t/a.rm"), repaired(damaged()));
  EXPECT_EQ(memfs::get("/t/a.rm.bak"), damaged());
  EXPECT_EQ(run_vok({"-i", "/m/link.rm"}), 0);
  EXPECT_TRUE(memfs::is_link("/m/link.rm"));
}

// In a console that closes when vok ends, the last step sums up and waits;
// -i after a -f that failed and said so adds nothing.
TEST(Run, AConsoleThatCloses) {
  struct Case {
    const char* name;
    bool closes, held;
    size_t f_waits, i_waits;
    const char* said;  // in what -i printed
  } cases[] = {
      {"repaired", true, false, 0, 1, "已建立索引"},
      {"a player holds the file", true, true, 1, 0, ""},
      {"a terminal", false, false, 0, 0, "已建立索引"},
      {"repaired, the folder not flushed", true, false, 0, 1, "已建立索引"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    memfs::reset();
    memfs::put(kFile, damaged());
    memfs::hold(kFile, c.held);
    if (strstr(c.name, "flushed")) memfs::fail("flush_dir", 2);  // the backup's folder first, then the file's
    console_mem::reset(Lang::Zh, c.closes);
    int f = run_vok({"-f", kFile});
    EXPECT_EQ(console_mem::record().waits.size(), c.f_waits);
    console_mem::reset(Lang::Zh, c.closes);
    int i = run_vok({"-i", kFile});
    const console_mem::Record& rec = console_mem::record();
    EXPECT_EQ(rec.waits.size(), c.i_waits);
    for (const std::string& w : rec.waits) {
      EXPECT_EQ(w, "按任意键关闭");
    }
    EXPECT_NE(all(rec.out).find(c.said), std::string::npos) << all(rec.out);
    if (c.held) {
      EXPECT_EQ(i, f) << "-i says the -f failure, nothing of its own";
    }
    if (c.held) {
      EXPECT_TRUE(rec.out.empty() && rec.err.empty()) << all(rec.out) << all(rec.err);
    }
    if (c.closes && !c.held) {
      EXPECT_NE(all(rec.out).find("原文件已备份为 /m/a.rm.bak"), std::string::npos);
    }
  }
}

}  // namespace
