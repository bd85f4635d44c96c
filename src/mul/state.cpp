#include "check.hpp"
#include "mul/detail.hpp"

namespace mul::detail {

double* ReuseState::write(double* view, int len) {
  for (Held& h : held_) {
    if (h.view != nullptr && view < h.view + h.len && h.view < view + len) h = Held{};
  }
  return view;
}

bool ReuseState::holds_spectrum(const double* view, int len, unsigned serial) const {
  for (const Held& h : held_) {
    if (h.view == view && h.len == len && h.serial == serial) return serial != 0;
  }
  return false;
}

unsigned ReuseState::leave(double* view, int len, unsigned taken_serial) {
  if (taken_serial != 0 && holds_spectrum(view, len, taken_serial)) return taken_serial;
  write(view, len);
  Held* free = &held_[0];
  if (held_[0].view != nullptr) free = &held_[1];
  *free = Held{view, len, ++spectra_left_};
  return free->serial;
}

ReuseState::Slots& ReuseState::slots_of(int file) {
  DIGITMILL_CHECK(file == spectrum_file_a || file == spectrum_file_b);
  return slots_[file == spectrum_file_a ? 0 : 1];
}

const ReuseState::Slots& ReuseState::slots_of(int file) const {
  DIGITMILL_CHECK(file == spectrum_file_a || file == spectrum_file_b);
  return slots_[file == spectrum_file_a ? 0 : 1];
}

void ReuseState::store_pieces(int file, int unit, int from, int to) {
  DIGITMILL_CHECK(from >= 1);
  Slots& s = slots_of(file);
  if (to < from) return;
  if (from == 1 || (s.unit == unit && s.count >= from - 1)) {
    s.count = s.unit == unit && s.count > to ? s.count : to;
    s.unit = unit;
  } else if (from <= s.count) {
    s.count = from - 1;  // another number's pieces end the run of this one's
  }
}

int ReuseState::pieces_of(int file, int unit) const {
  const Slots& s = slots_of(file);
  return s.unit == unit ? s.count : 0;
}

}  // namespace mul::detail
