// The file a run works on: opened the way its mode needs, analysed, and
// looked at again before anything is written.
#include <algorithm>
#include <cstring>
#include <memory>

#include "header_rebuild.h"
#include "packet_frame.h"
#include "reference_search.h"
#include "run.h"

int open_file(Run& r, Source& src) {
  fileio::Info info = fileio::stat(r.target);
  switch (info.kind) {
    case fileio::Kind::Missing:
      return fail(r, Msg::NoSuchFile, kUnreadable);
    case fileio::Kind::Folder:
      return fail(r, Msg::Folder, kUnreadable);
    case fileio::Kind::Regular:
      break;
    case fileio::Kind::Unreadable:
      return fail(r, Msg::CannotOpen, kUnreadable, {fileio::last_error()});
    default:
      return fail(r, Msg::NotRegular, kUnreadable);
  }
  if (info.size == 0) return fail(r, Msg::Empty, kUnreadable);
  src.size = info.size;
  r.info = info;
  if (r.a.mode == Mode::Check)
    return fileio::open_read(r.target, src.f) ? -1
                                              : fail(r, Msg::CannotOpen, kUnreadable, {fileio::last_error()});
  if (info.read_only) return fail(r, Msg::ReadOnly, kWriteFailed);
  switch (fileio::open_source(r.target, r.a.mode == Mode::Index, src.f)) {
    case fileio::Open::Ok:
      break;
    case fileio::Open::InUse:
      return fail(r, Msg::InUse, kWriteFailed);
    case fileio::Open::OtherVok:
      return fail(r, Msg::OtherVok, kWriteFailed);
    default: {
      // Not even readable is a file vok cannot read; readable, it cannot change.
      std::string why = fileio::last_error();
      bool readable = fileio::open_read(r.target, src.f);
      fileio::close(src.f);
      return fail(r, Msg::CannotOpen, readable ? kWriteFailed : kUnreadable, {why});
    }
  }
  src.id = fileio::identity(src.f);
  src.size = src.id.size;
  return -1;
}

// A reference, open for the analysis alone: the plan keeps what it takes
// from it.
struct Reference {
  fileio::File f;
  std::unique_ptr<Reader> in;
  std::string name;
  ~Reference() { fileio::close(f); }
};

namespace {

constexpr size_t kMostLooked = 16;  // files beside it read as references, at most
constexpr size_t kMostTried = 64;   // names beside it opened to find them, at most (a downloads folder)

// A regular file, open for reading.
bool open_reference(const std::string& path, Reference& ref) {
  fileio::Info info = fileio::stat(path);
  if (info.kind != fileio::Kind::Regular || !fileio::open_read(path, ref.f)) return false;
  ref.in.reset(new Reader(ref.f, info.size));
  return true;
}

// One the user named that cannot be opened reads as no RealMedia file: a
// bad reference.
void open_named(const std::string& path, Reference& ref) {
  static const uint8_t kNothing = 0;
  if (!open_reference(path, ref)) ref.in.reset(new Reader(&kNothing, 0));
  ref.name = path;
}

std::string name_of(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

size_t alike(const std::string& a, const std::string& b) {
  size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  return n;
}

// The RealMedia files beside the target, most alike in name first (the
// episode before shares most of its name), open.
std::vector<std::unique_ptr<Reference>> open_beside(const Run& r) {
  std::vector<std::string> names = fileio::siblings(r.target);
  std::string self = name_of(r.target);
  std::stable_sort(names.begin(), names.end(), [&](const std::string& x, const std::string& y) {
    size_t a = alike(name_of(x), self), b = alike(name_of(y), self);
    return a != b ? a > b : x < y;
  });
  if (names.size() > kMostTried) names.resize(kMostTried);
  std::vector<std::unique_ptr<Reference>> out;
  for (const std::string& path : names) {
    if (out.size() == kMostLooked) break;
    if (path.find(".vok-tmp") != std::string::npos) continue;
    std::unique_ptr<Reference> ref(new Reference);
    if (!open_reference(path, *ref)) continue;
    char magic[4];
    if (!ref->in->peek(0, magic, 4) || memcmp(magic, ".RMF", 4) != 0) continue;
    ref->name = name_of(path);
    out.push_back(std::move(ref));
  }
  return out;
}

// Headers lost as a reference can mend them, where the file holds packets.
bool headers_lost(Reader& in, const Analysis& a) {
  if (a.outcome != Outcome::Headers || a.h.problem == HeaderProblem::RealAudio) return false;
  if (a.verdict == HeaderVerdict::Damaged) return true;
  return a.verdict == HeaderVerdict::NotRealMedia && find_headless_packets(in) != UINT64_MAX;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

// A lender of headers for the file's packets: a file beside it made the
// same way, else headers rebuilt from the packets where they determine
// them. False, having said why, where neither can be had.
bool lend_headers(Run& r, Reader& in, std::vector<std::unique_ptr<Reference>>& beside, Rebuilt& rebuilt,
                  Lender& lender) {
  beside = open_beside(r);
  std::vector<Candidate> candidates;
  for (const auto& b : beside) candidates.push_back({b->name, b->in.get()});
  Choice c = choose_reference(in, candidates);
  if (c.taken >= 0) {
    lender.in = beside[size_t(c.taken)]->in.get(), lender.name = beside[size_t(c.taken)]->name;
    return true;
  }
  if (!c.unsure.empty()) return warn(r, Msg::UnsureBeside, {joined(c.unsure)}), false;
  if (rebuild_headers(in, rebuilt)) {
    rebuilt.reader.reset(new Reader(rebuilt.file.data(), rebuilt.file.size()));
    lender.in = rebuilt.reader.get(), lender.name = rebuilt.said, lender.rebuilt = true;
    return true;
  }
  if (!beside.empty()) warn(r, Msg::NoneBeside, {std::to_string(beside.size())});
  std::string number = std::to_string(rebuilt.unknown);
  if (rebuilt.unknown >= 0 && rebuilt.alike.empty()) warn(r, Msg::NotRebuilt, {number});
  if (rebuilt.unknown >= 0 && !rebuilt.alike.empty()) warn(r, Msg::RebuiltAlike, {number, rebuilt.alike});
  return false;
}

}  // namespace

int analyse_file(Run& r, Reader& in, Analysis& a) {
  Reference named;
  std::vector<std::unique_ptr<Reference>> beside;
  Rebuilt rebuilt;
  Lender lender;
  if (!r.a.reference.empty())
    open_named(r.a.reference, named), lender.in = named.in.get(), lender.name = named.name;
  Progress p(r, Msg::Scanning, in.size());
  in.on_window([&](uint64_t at) { p(at); });
  a = analyse(in, lender);
  if (!lender.in && headers_lost(in, a) && lend_headers(r, in, beside, rebuilt, lender))
    a = analyse(in, lender);
  in.on_window(nullptr);
  return analysis_failed(r, in, a);
}

Msg why_changed(const Run& r, const Source& src) {
  if (fileio::unchanged(r.target, src.f, src.id))
    return fileio::in_use_elsewhere(src.f) ? Msg::InUse : Msg::kCount;
  return fileio::identity(src.f).size > src.id.size ? Msg::StillWritten : Msg::Changed;
}
