// The outcome of an inner operation: done, or the one cause of its failure. Each layer has its
// own cause enum; the exported result codes are made from it only where the library answers
// (the exports, and the worker's own result), so a failure's cause is named, traced and tested
// in one place, and no layer compares its codes with another's.
#pragma once

#include <optional>

namespace kel {

template <class Cause>
class [[nodiscard]] Result {
  public:
    constexpr Result() = default;                     // done
    constexpr Result(Cause cause) : cause_(cause) {}  // NOLINT: a cause is a failed result

    constexpr bool ok() const { return !cause_; }
    // The cause of a failed result; asking a successful one is a fault of the caller's, raised
    // (std::bad_optional_access) rather than answered with a cause it never had.
    constexpr Cause cause() const { return cause_.value(); }

    friend constexpr bool operator==(const Result&, const Result&) = default;

  private:
    std::optional<Cause> cause_;
};

}  // namespace kel
