// Comma-separated float texts: the plain loop, and the choice of routine.
#include "storage/json/json_float.h"

namespace velmoradb::json {

char* write_f32_list_plain(char* buf, const float* values, std::size_t n) {
  char* p = buf;
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) *p++ = ',';
    p += format_f32(p, values[i]);
  }
  return p;
}

char* write_f32_list(char* buf, const float* values, std::size_t n) {
  static const F32ListWriter chosen = [] {
    F32ListWriter wide = f32_list_writer_avx512();
    return wide != nullptr ? wide : &write_f32_list_plain;
  }();
  return chosen(buf, values, n);
}

}  // namespace velmoradb::json
