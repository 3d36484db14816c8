// The file a run works on: opened the way its mode needs, analysed, and
// looked at again before anything is written.
#include <memory>

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

// The reference the user named, open for the analysis alone: the plan
// keeps what it takes from it.
struct Reference {
  fileio::File f;
  std::unique_ptr<Reader> in;
  ~Reference() { fileio::close(f); }
};

int analyse_file(Run& r, Reader& in, Analysis& a) {
  Reference ref;
  if (!r.a.reference.empty()) {
    // One that cannot be opened reads as no RealMedia file: a bad reference.
    static const uint8_t kNothing = 0;
    fileio::Info info = fileio::stat(r.a.reference);
    bool opened = info.kind == fileio::Kind::Regular && fileio::open_read(r.a.reference, ref.f);
    ref.in.reset(opened ? new Reader(ref.f, info.size) : new Reader(&kNothing, 0));
  }
  {
    Progress p(r, Msg::Scanning, in.size());
    in.on_window([&](uint64_t at) { p(at); });
    a = analyse(in, ref.in.get());
    in.on_window(nullptr);
  }
  return analysis_failed(r, in, a);
}

Msg why_changed(const Run& r, const Source& src) {
  if (fileio::unchanged(r.target, src.f, src.id))
    return fileio::in_use_elsewhere(src.f) ? Msg::InUse : Msg::kCount;
  return fileio::identity(src.f).size > src.id.size ? Msg::StillWritten : Msg::Changed;
}
