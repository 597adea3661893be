// Failure values of table construction and growth, and the internal-failure
// stop.
//
// The tables never throw for an ordinary failure: construction returns a
// `TryBuildError` (or a `TryReserveError` from the sizing and allocation
// helpers) as a value. Paths that cannot report a value (growth inside an
// insertion, `reserve`) throw `AllocFailure`, always before the table has been
// touched, so the binding layer can raise MemoryError and the collection stays
// as it was. A broken internal invariant throws `Panic`, which the binding
// layer turns into its BaseException-derived error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quarlex {

// Internal-failure stop. Carries the fixed message of the invariant that
// broke; never caught inside the core.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Out of line and cold: invariant checks sit on hot paths, where only the
// test and a call may stay inline.
[[noreturn, gnu::cold, gnu::noinline]] inline void panic(std::string message) {
  throw Panic(std::move(message));
}
[[noreturn, gnu::cold, gnu::noinline]] inline void panic(const char* message) {
  throw Panic(message);
}

enum class TryReserveError : std::uint8_t {
  CapacityOverflow = 0,
  AllocError = 1,
};

constexpr std::string_view debug_text(TryReserveError e) noexcept {
  return e == TryReserveError::CapacityOverflow ? "CapacityOverflow" : "AllocError";
}

constexpr std::string_view display_text(TryReserveError e) noexcept {
  return e == TryReserveError::CapacityOverflow ? "capacity overflow" : "memory allocation failed";
}

// Thrown by the paths that must grow or rebuild and cannot return a value.
// `size` is the byte size that could not be had (0 when unknown).
class AllocFailure : public std::exception {
 public:
  explicit AllocFailure(TryReserveError kind, std::size_t size = 0) noexcept
      : kind_(kind), size_(size) {}
  const char* what() const noexcept override {
    return kind_ == TryReserveError::CapacityOverflow ? "capacity overflow"
                                                      : "memory allocation failed";
  }
  TryReserveError kind() const noexcept { return kind_; }
  std::size_t size() const noexcept { return size_; }

 private:
  TryReserveError kind_;
  std::size_t size_;
};

// Geometry configuration error. It never reaches Python as a value of its
// own: the geometry code reports it inside an internal-failure stop.
struct ConfigError {
  enum class Kind : std::uint8_t { NTooSmall = 0, ExponentZero = 1 };
  Kind kind;
  std::size_t n = 0;

  static constexpr ConfigError too_small(std::size_t n) noexcept { return {Kind::NTooSmall, n}; }
  static constexpr ConfigError exponent_zero() noexcept { return {Kind::ExponentZero, 0}; }

  std::string debug() const {
    if (kind == Kind::ExponentZero) return "ExponentZero";
    return "NTooSmall { n: " + std::to_string(n) + " }";
  }
};

enum class ReserveIssue : std::uint8_t {
  ExponentNotPositive = 0,
  FractionNotFinite = 1,
  FractionNotPositive = 2,
  FractionNotBelowOne = 3,
  FractionNotInversePowerOfTwo = 4,
};

constexpr std::string_view display_text(ReserveIssue issue) noexcept {
  switch (issue) {
    case ReserveIssue::ExponentNotPositive: return "reserve exponent must be positive";
    case ReserveIssue::FractionNotFinite: return "reserve fraction must be finite";
    case ReserveIssue::FractionNotPositive: return "reserve fraction must be positive";
    case ReserveIssue::FractionNotBelowOne: return "reserve fraction must be less than one";
    case ReserveIssue::FractionNotInversePowerOfTwo:
      return "reserve fraction must be an exact inverse power of two";
  }
  return "";
}

// Failure of a fallible table constructor.
class TryBuildError {
 public:
  struct InvalidReserve {
    ReserveIssue issue;
  };
  struct FunnelReserveBelowMinimum {
    std::uint32_t exponent;
    std::uint32_t minimum;
  };
  struct Reserve {
    TryReserveError error;
  };

  TryBuildError(InvalidReserve v) noexcept : value_(v) {}
  TryBuildError(FunnelReserveBelowMinimum v) noexcept : value_(v) {}
  TryBuildError(Reserve v) noexcept : value_(v) {}
  TryBuildError(TryReserveError e) noexcept : value_(Reserve{e}) {}

  const std::variant<InvalidReserve, FunnelReserveBelowMinimum, Reserve>& value() const noexcept {
    return value_;
  }

  std::string display() const {
    if (auto* r = std::get_if<InvalidReserve>(&value_)) return std::string(display_text(r->issue));
    if (auto* f = std::get_if<FunnelReserveBelowMinimum>(&value_)) {
      return "Funnel reserve exponent " + std::to_string(f->exponent) + " is below the minimum " +
             std::to_string(f->minimum);
    }
    return std::string(display_text(std::get<Reserve>(value_).error));
  }

  friend bool operator==(const TryBuildError& a, const TryBuildError& b) noexcept {
    return a.display() == b.display() && a.value_.index() == b.value_.index();
  }

 private:
  std::variant<InvalidReserve, FunnelReserveBelowMinimum, Reserve> value_;
};

// A value or an error, for the fallible constructors and sizing helpers.
template <class T, class E>
class Result {
 public:
  Result(T value) : value_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : value_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return value_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(value_); }
  T&& value() && { return std::get<0>(std::move(value_)); }
  const T& value() const& { return std::get<0>(value_); }
  const E& error() const { return std::get<1>(value_); }

 private:
  std::variant<T, E> value_;
};

inline constexpr std::uint32_t kDefaultReserveExponent = 3;
inline constexpr std::uint32_t kFunnelMinReserveExponent = 3;
inline constexpr std::string_view kFunnelReserveMessage =
    "Funnel reserve must be at most 1/8 (reserve_exponent >= 3)";

// Validates the optional reserve exponent argument: absent means the default,
// zero is refused, any other value is taken as given (no upper bound here; the
// tables decide what they can build).
inline Result<std::uint32_t, TryBuildError> parse_reserve(bool present, std::uint32_t value) {
  if (!present) return kDefaultReserveExponent;
  if (value == 0) return TryBuildError(TryBuildError::InvalidReserve{ReserveIssue::ExponentNotPositive});
  return value;
}

// The funnel classes refuse exponents below three before any table is built.
inline bool funnel_reserve_acceptable(std::uint32_t exponent) noexcept {
  return exponent >= kFunnelMinReserveExponent;
}

}  // namespace quarlex
