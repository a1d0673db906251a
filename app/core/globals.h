// Process-wide variables of the program.
//
// `pcat` holds the checklist chosen for printing, as wide as a checklist name
// (STRING(40): space padded, no terminator). A selection window fills it and
// the report it starts reads it through the filter "ITE:ChecklistName=pcat".
// Only the GUI thread touches it (every window context runs there).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace ravelin {

// A fixed-width text field: N bytes padded with spaces.
template <size_t N>
class FixedText {
 public:
  FixedText() { bytes_.fill(' '); }

  // Longer texts are cut to N bytes; shorter ones padded with spaces.
  void assign(std::string_view text) {
    bytes_.fill(' ');
    std::copy_n(text.begin(), std::min(text.size(), N), bytes_.begin());
  }
  FixedText& operator=(std::string_view text) {
    assign(text);
    return *this;
  }

  // The whole field, padding included.
  std::string_view view() const { return {bytes_.data(), N}; }
  // The text without its trailing padding.
  std::string trimmed() const {
    std::string_view v = view();
    while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
    return std::string(v);
  }
  static constexpr size_t size() { return N; }

 private:
  std::array<char, N> bytes_;
};

inline FixedText<40> pcat;

}  // namespace ravelin
