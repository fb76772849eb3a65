// Bounded copies into the fixed-size text fields of the records. A field
// either receives the whole text or is left untouched: an over-long MAC or
// key must never be cut into a different, valid-looking identity.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

// Whole copy or refusal: false (field unchanged) when `src` with its
// terminator does not fit in N bytes.
template <size_t N>
inline bool orvi_field_set(char (&dst)[N], std::string_view src) {
    if (src.size() >= N) return false;
    std::memcpy(dst, src.data(), src.size());
    std::memset(dst + src.size(), 0, N - src.size());
    return true;
}
inline bool orvi_field_set(char (&dst)[1], std::string_view) = delete;

// Copy cut to the field's width, for the few fields whose readers expect a
// cut value (for example a stored string loaded "cut to the given width").
template <size_t N>
inline void orvi_field_copy_cut(char (&dst)[N], std::string_view src) {
    size_t n = src.size() < N - 1 ? src.size() : N - 1;
    std::memcpy(dst, src.data(), n);
    std::memset(dst + n, 0, N - n);
}

// Length of a field's text, never reading past the field.
template <size_t N>
inline size_t orvi_field_len(const char (&f)[N]) {
    return strnlen(f, N);
}
template <size_t N>
inline std::string_view orvi_field_view(const char (&f)[N]) {
    return std::string_view(f, strnlen(f, N));
}
