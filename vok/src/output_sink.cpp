#include "output_sink.h"

void Sink::drain() {
  if (ok_ && !buf_.empty()) ok_ = fileio::write_at(*file_, pos_, buf_.data(), buf_.size());
  pos_ += buf_.size();
  buf_.clear();
  written(false);
}

// The disk takes what is written while more is: the flush at the end then
// has little left to wait for.
void Sink::written(bool all) {
  if (all || pos_ >= kicked_ + kKick) fileio::start_flush(*file_), kicked_ = pos_;
  if (on_drain_) on_drain_(pos_);
}

void Sink::write(const uint8_t* p, size_t n) {
  if (mem_) {
    mem_->insert(mem_->end(), p, p + n);
    pos_ += n;
    return;
  }
  if (buf_.size() + n > kBuffer) drain();
  if (n >= kBuffer) {
    if (ok_) ok_ = fileio::write_at(*file_, pos_, p, n);
    pos_ += n;
    return;
  }
  buf_.insert(buf_.end(), p, p + n);
}

bool Sink::copy(Reader& in, uint64_t from, uint64_t n) {
  constexpr uint64_t kStep = 16 << 20;  // a progress report between steps
  while (file_ && in.file() && ok_ && n > 0) {
    drain();
    uint64_t done = fileio::copy_inside(*in.file(), from, *file_, pos_, n < kStep ? n : kStep);
    if (done == 0) break;
    pos_ += done, from += done, n -= done;
    written(false);
  }
  return in.each_span(from, n, [&](const uint8_t* p, size_t k) {
    write(p, k);
    return true;
  });
}

bool Sink::finish() {
  if (file_) drain(), written(true);
  return ok_;
}
