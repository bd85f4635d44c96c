#include "check.hpp"
#include "fft/transform.hpp"
#include "mul/detail.hpp"
#include "mul/mult.hpp"

namespace mul::detail {

double* ReuseState::write(double* view, int len) {
  for (Held& h : held_) {
    if (h.view != nullptr && view < h.view + h.len && h.view < view + len) h = Held{};
  }
  return view;
}

double* ReuseState::take(double* view, const HeldSpectrum& held, int unit, int n) {
  DIGITMILL_CHECK(holds_spectrum(view, held, unit, n));
  return view;
}

HeldSpectrum ReuseState::leave(double* view, int len, int unit, int n) {
  DIGITMILL_CHECK(view >= fft::transform_buffer &&
                  view + len <= fft::transform_buffer + fft::transform_length);
  for (const Held& h : held_) {
    if (h.view == view && h.len == len && h.unit == unit && h.n == n) return HeldSpectrum(h.serial);
  }
  write(view, len);
  Held* free = &held_[0];
  if (held_[0].view != nullptr) free = &held_[1];
  *free = Held{view, len, unit, n, ++spectra_left_};
  return HeldSpectrum(free->serial);
}

bool ReuseState::holds_spectrum(const double* view, const HeldSpectrum& held, int unit, int n) const {
  for (const Held& h : held_) {
    if (h.view == view && h.serial == held.serial_ && h.unit == unit && h.n == n) return held.serial_ != 0;
  }
  return false;
}

void ReuseState::result_written(int unit) {
  for (Held& h : held_) {
    if (h.unit == unit) h = Held{};
  }
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

bool ReuseState::holds_pieces(int file, int unit, int count) const {
  const Slots& s = slots_of(file);
  return count <= 0 || (s.unit == unit && s.count >= count);
}

}  // namespace mul::detail
