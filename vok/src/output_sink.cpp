#include "output_sink.h"

void Sink::drain() {
  if (ok_ && !buf_.empty()) ok_ = fileio::write_at(*file_, pos_, buf_.data(), buf_.size());
  pos_ += buf_.size();
  buf_.clear();
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

bool Sink::finish() {
  if (file_) drain();
  return ok_;
}
